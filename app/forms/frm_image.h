// The main window: the three connection slots, the terminal-minimised
// check box and the place of the image tabs. Closing it ends the program.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "common.h"

namespace tavorin {

class FrmComSetting;
class FrmTerminal;
class FrmProgress;
class FrmPicture;

inline const QString kIdleCaption = QStringLiteral("開始待ち");

class FrmImage : public QWidget {
    Q_OBJECT
  public:
    explicit FrmImage(Common& common);
    ~FrmImage() override;

    short CurIdx = 0;
    bool ImageOK = false;

    QGroupBox* scannerGroup;
    std::array<QPushButton*, kSlotCount> BtnComSetting{};
    QCheckBox* ChkTermMinimum;
    QTabWidget* SSTabImage;
    QTimer ImgRecvTimer;
    std::array<FrmComSetting*, kSlotCount> ComSetForm{};
    std::array<FrmTerminal*, kSlotCount> TermForm{};

    FrmProgress& progressWindow();
    FrmPicture& pictureWindow();

    void Form_Load();
    void BtnComSetting_Click(int index);
    void Form_Unload();
    // Closes as the user's close box does (0) or as the program does (1).
    void requestClose(int unloadMode);

    // A terminal unloaded: its slot is idle again.
    void slotClosed(int slot);

    // The modal run of a slot's dialog; tests replace it to work the dialog
    // while it would be open.
    std::function<void(FrmComSetting&)> runDialog;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void setBold(QPushButton* button, bool bold);

    Common& c_;
    std::unique_ptr<FrmProgress> progress_;
    std::unique_ptr<FrmPicture> picture_;
    int unloadMode_ = -1;
    bool unloaded_ = false;
};

}  // namespace tavorin
