// The picture viewer: one received JPEG or BMP file in a window of its own,
// sized to the picture but never beyond the screen's working area, with two
// scroll bars that move the picture by a share of its hidden part.
//
// One instance is kept for the program's life; "loading" it reads the file
// afresh. Two ways to open it:
//
//     viewer.unloadByProgram();            // a new image replaces the old
//     viewer.DispImage = file;
//     if (viewer.load()) viewer.show(); else /* tell the user */;
//
// or showPicture(), which does the same and shows nothing when the file
// cannot be read. `ImageOK`, when set, points at the opener's flag, which
// load() sets to whether the picture could be read.
//
// The file is recognised by its contents, whatever its name says: the
// terminal saves every picture it receives under a .jpg name, so a bitmap
// may well arrive as one. Only JPEG and BMP contents are shown; anything
// else (a TIFF, a KIM file) is no picture for this window.
//
// The layout arithmetic lives in picture_layout.h; this window only turns
// its twips into pixels and back.
#pragma once

#include <QLabel>
#include <QScrollBar>
#include <QWidget>
#include <cstdint>
#include <optional>

#include "picture_layout.h"

namespace tavorin {

inline const QString kPictureCaption = QStringLiteral("受信イメージ");

class FrmPicture : public QWidget {
    Q_OBJECT
  public:
    // `parent` (may be null) is the window the viewer opens centred on; the
    // viewer stays a top-level window of its own.
    explicit FrmPicture(QWidget* parent = nullptr);
    ~FrmPicture() override;

    // The file to show; set before load().
    QString DispImage;
    // The opener's flag for "the picture could be read", or null.
    bool* ImageOK = nullptr;

    QLabel* Image1;
    QScrollBar* HScroll1;
    QScrollBar* VScroll1;
    QLabel* LblHidden;

    // Loads the window (Form_Load) unless it is loaded; true when the
    // picture could be read. A failed load leaves the window loaded and
    // hidden until it is unloaded.
    bool load();
    bool isLoaded() const { return loaded_; }
    bool imageOK() const { return imageOK_; }
    // Unloads what is loaded, loads DispImage and shows the window when the
    // picture could be read; imageOK() (and *ImageOK) tell whether it could.
    void showPicture();
    // The program's unload: hides the window and lets the picture go.
    void unloadByProgram();

    void Form_Load();
    void Form_Resize();
    void HScroll1_Change();
    void VScroll1_Change();

    // The frame and screen limits to use instead of the measured ones (tests
    // fix them so that rows do not depend on the window manager); cleared by
    // an empty value.
    void setFrameOverride(std::optional<picture::Frame> frame) { frameOverride_ = frame; }
    const picture::Frame& frame() const { return frame_; }
    // The picture's place, the bars and the corner in twips, as laid out.
    const picture::View& view() const { return view_; }
    // The window's outer size in twips: the client area plus the frame.
    picture::Size windowTwips() const;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    picture::Frame measureFrame() const;
    bool readPicture();
    void resizeClient(picture::Size window);
    void place();
    void centre();
    void unload();

    picture::Frame frame_;
    std::optional<picture::Frame> frameOverride_;
    picture::View view_;
    bool loaded_ = false;
    bool imageOK_ = false;
    bool inResize_ = false;
};

}  // namespace tavorin
