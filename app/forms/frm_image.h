// The main window: the three connection slots, the terminal-minimised
// check box and the three image tabs, whose run buttons send the image
// commands. Closing it ends the program.
//
// The tabs are built from the tables of image_tabs.h; composing, checking
// and remembering their fields is done by image_logic.h. This window only
// moves values between its widgets and those functions.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "common.h"
#include "image_logic.h"

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
    // The running command's image file and whether to show it afterwards.
    QString ImageFile;
    bool ShowImage = false;

    QGroupBox* scannerGroup;
    std::array<QPushButton*, kSlotCount> BtnComSetting{};
    QCheckBox* ChkTermMinimum;
    QTabWidget* SSTabImage;
    QTimer ImgRecvTimer;

    // The image tabs' controls, under their array names and indexes.
    std::array<QComboBox*, 5> CmbImgSnp{};
    std::array<QLineEdit*, 5> TxtImgSnp{};
    std::array<QComboBox*, 11> CmbImgShp{};
    std::array<QLineEdit*, 9> TxtImgShp{};
    std::array<QComboBox*, 2> CmbImgBox{};
    std::array<QLineEdit*, 7> TxtImgBox{};
    std::array<QLineEdit*, 6> TxtImgBoxmm{};
    std::array<QLabel*, 10> LblSnp{};
    std::array<QLabel*, 21> LblShp{};  // index 10 does not exist
    std::array<QLabel*, 15> LblBox{};
    // Tabs 1 and 2 only: index 0 stays empty.
    std::array<QCheckBox*, 3> ChkImageDisp{};
    std::array<QLabel*, 3> LblFname{};
    std::array<QLineEdit*, 3> TxtImageFile{};
    std::array<QPushButton*, 3> BtnRefFile{};
    std::array<QPushButton*, 3> CmdImgExec{};
    std::array<QPushButton*, 3> CmdCancel{};
    QPushButton* BtnCompute = nullptr;
    QLabel* LblCompute = nullptr;
    QLabel* LblPositionNote = nullptr;

    // A field's widget; null for a list asked as a text box and the reverse.
    QComboBox* listOf(image::FieldId id) const;
    QLineEdit* textOf(image::FieldId id) const;
    // The label array of a tab, by label index (null where none exists).
    QLabel* labelOf(image::Tab tab, int index) const;
    // A tab's values as its widgets hold them, and back.
    image::Values values(image::Tab tab) const;
    void setValues(image::Tab tab, const image::Values& values);
    std::array<FrmComSetting*, kSlotCount> ComSetForm{};
    std::array<FrmTerminal*, kSlotCount> TermForm{};

    FrmProgress& progressWindow();
    FrmPicture& pictureWindow();

    void Form_Load();
    void BtnComSetting_Click(int index);

    // Appends an item with its item data to a list.
    static void AddListItem(QComboBox* list, std::int16_t itemData, const QString& text);
    // Selects the stored position (or the default, or the first item) and
    // runs the list's selection handler even when the position stays.
    void SetListIndexOrDefault(QComboBox* list, const QString& stored, std::int16_t defaultIndex);
    // Shows the stored text (or the default) whole, even past the box's
    // length limit, which then holds only against making it longer.
    static void SetTextOrDefault(QLineEdit* box, const QString& stored, const QString& fallback);
    void LoadImgSnpFields();
    void LoadImgShpFields();
    void LoadImgBoxFields();
    void StoreImgSnpFields();
    void StoreImgShpFields();
    void StoreImgBoxFields();
    void CmbImgShp_Click(int index);
    void CmbImgBox_Click(int index);
    void SetImageControlsEnabled(bool enabled);
    void CmdCancel_Click(int index);
    void BtnCompute_Click();

    // The checks that run as the user leaves a number field; cancel keeps
    // the focus in it.
    void TxtImgSnp_Validate(int index, bool& cancel);
    void TxtImgShp_Validate(int index, bool& cancel);
    void TxtImgBox_Validate(int index, bool& cancel);
    void TxtImgBoxmm_Validate(int index, bool& cancel);
    void Form_Unload();
    // Closes as the user's close box does or as the program does.
    void requestClose(UnloadMode mode);

    // A terminal unloaded: its slot is idle again.
    void slotClosed(int slot);

    // Runs the tab's image command against the current slot.
    void CmdImgExec_Click(int index);
    // One poll of an IMGSNP command's wait for its reply.
    void ImgRecvTimer_Timer();
    // Chooses the save file of tab 1 or 2 in the save-as dialog.
    void BtnRefFile_Click(int index);

    // The modal run of a slot's dialog; tests replace it to work the dialog
    // while it would be open.
    std::function<void(FrmComSetting&)> runDialog;

  protected:
    void closeEvent(QCloseEvent* event) override;
    // Runs a number field's check before the focus may leave it for another
    // control of this window (a click, Tab, a mnemonic).
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void setBold(QPushButton* button, bool bold);
    // An open slot's caption: the port's name, shortened in the middle when
    // the button is too narrow, so that its end "(COMn)" always shows.
    void showSlotCaption(QPushButton* button, const QString& name);
    // The control arrays of the tab fields, as spans to fill or to read.
    std::span<QComboBox*> listSlots(image::Control control);
    std::span<QLineEdit*> textSlots(image::Control control);
    std::span<QLabel*> labelSlots(image::Tab tab);
    // Selects a list's item and runs its selection handler, also when the
    // item was selected already; an index outside the list does nothing.
    void selectListItem(QComboBox* list, int index);
    void buildTabs();
    QWidget* buildTab(image::Tab tab);
    void fillLists();
    void loadTab(image::Tab tab, const QString& stored, const QString& file);
    void storeTab(image::Tab tab, QString& stored, QString* file);
    void validate(image::FieldId id, bool& cancel);
    // The number field `w` is (null for any other widget).
    std::optional<image::FieldId> numberField(const QObject* w) const;
    // Checks the focused number field before `target` takes the focus;
    // false when the field refused and keeps it.
    bool leaveFocusedField(QWidget* target);
    void displayRule(int format, QCheckBox* check);

    Common& c_;
    std::unique_ptr<FrmProgress> progress_;
    std::unique_ptr<FrmPicture> picture_;
    std::optional<UnloadMode> unloadMode_;
    bool unloaded_ = false;
    // A check is on screen; focus moves it causes are not checks of their own.
    bool validating_ = false;
    // A number field the focus has just left, whose check is still due.
    std::optional<image::FieldId> leaving_;
};

}  // namespace tavorin
