#include "frm_image.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QStyle>

#include "dialog.h"
#include "frm_comsetting.h"
#include "frm_picture.h"
#include "frm_progress.h"
#include "frm_terminal.h"
#include "twips.h"

namespace tavorin {

FrmImage::FrmImage(Common& common)
    : QWidget(nullptr, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                           Qt::CustomizeWindowHint),
      c_(common) {
    setWindowTitle(kProgramTitle);
    setFixedSize(px(9600), px(6000));

    // The slot buttons take what the check box beside them leaves of the
    // row: a port's name is long, a network port's host and TCP port most
    // of all, and the wider the buttons the more of it stays in view.
    scannerGroup = new QGroupBox(QStringLiteral("スキャナ"), this);
    scannerGroup->setGeometry(twipRect(120, 60, 6660, 720));
    for (int i = 0; i < kSlotCount; ++i) {
        auto* b = new QPushButton(kIdleCaption, scannerGroup);
        b->setObjectName(QStringLiteral("BtnComSetting%1").arg(i));
        b->setGeometry(twipRect(120 + i * 2160, 270, 2070, 375));
        connect(b, &QPushButton::clicked, this, [this, i] { BtnComSetting_Click(i); });
        BtnComSetting[static_cast<std::size_t>(i)] = b;
    }
    ChkTermMinimum = new QCheckBox(QStringLiteral("ﾀｰﾐﾅﾙ画面　起動時最小化"), this);
    ChkTermMinimum->setGeometry(twipRect(6840, 330, 2640, 375));
    SSTabImage = new QTabWidget(this);
    SSTabImage->setObjectName(QStringLiteral("SSTabImage"));
    SSTabImage->setGeometry(twipRect(240, 1080, 9135, 4815));
    buildTabs();

    ImgRecvTimer.setInterval(100);
    connect(&ImgRecvTimer, &QTimer::timeout, this, &FrmImage::ImgRecvTimer_Timer);
    // The number fields check themselves before the focus leaves them; the
    // press that would move it must be seen before its target gets it.
    qApp->installEventFilter(this);

    runDialog = [](FrmComSetting& d) { d.run(); };

    // Centred on the screen.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
    Form_Load();
}

FrmImage::~FrmImage() {
    qApp->removeEventFilter(this);
    if (!unloaded_) Form_Unload();
    for (FrmComSetting* d : ComSetForm) delete d;
    for (FrmTerminal* t : TermForm) delete t;
}

FrmProgress& FrmImage::progressWindow() {
    if (!progress_) progress_ = std::make_unique<FrmProgress>(c_, this);
    return *progress_;
}

FrmPicture& FrmImage::pictureWindow() {
    if (!picture_) {
        picture_ = std::make_unique<FrmPicture>();
        picture_->ImageOK = &ImageOK;
    }
    return *picture_;
}

void FrmImage::setBold(QPushButton* button, bool bold) {
    QFont f = button->font();
    f.setBold(bold);
    button->setFont(f);
}

void FrmImage::Form_Load() {
    CurIdx = 0;
    ImageOK = false;
    c_.WaitState = Wait::None;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        const std::size_t s = static_cast<std::size_t>(slot);
        setBold(BtnComSetting[s], false);
        BtnComSetting[s]->setText(kIdleCaption);
        c_.ComHandle[s] = -1;
        if (!TermForm[s]) TermForm[s] = new FrmTerminal(c_, *this);
        TermForm[s]->MyIdx = static_cast<short>(slot);
        if (!ComSetForm[s]) ComSetForm[s] = new FrmComSetting(c_, *TermForm[s], this);
        ComSetForm[s]->MyIdx = static_cast<short>(slot);
        c_.ComCaption[s].clear();
        c_.ComSetting[s].clear();
    }
    LoadSettings(c_);
    fillLists();
    // An empty or missing remembered state is "not 0": the box starts checked.
    ChkTermMinimum->setChecked(c_.TermMinimum != QStringLiteral("0"));
    // Both display boxes start checked; that choice is not remembered.
    ChkImageDisp[1]->setChecked(true);
    ChkImageDisp[2]->setChecked(true);
    LoadImgSnpFields();
    LoadImgShpFields();
    LoadImgBoxFields();
}

void FrmImage::BtnComSetting_Click(int index) {
    const std::size_t i = static_cast<std::size_t>(index);
    QPushButton* button = BtnComSetting[i];
    if (button->text() == kIdleCaption) {
        runDialog(*ComSetForm[i]);
        if (c_.ComHandle[i] < 0) return;
        showSlotCaption(button, c_.ComCaption[i]);
        TermForm[i]->showTerminal(ChkTermMinimum->isChecked());
    } else if (index == CurIdx) {
        TermForm[i]->showTerminal(false);
    }
    for (QPushButton* b : BtnComSetting) setBold(b, false);
    setBold(button, true);
    CurIdx = static_cast<short>(index);
}

void FrmImage::showSlotCaption(QPushButton* button, const QString& name) {
    // Measured in the bold face the current slot gets, so that the caption
    // still fits once the button turns bold.
    QFont bold = button->font();
    bold.setBold(true);
    const QFontMetrics fm(bold);
    const int room =
        button->width() - 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin) - 4;
    button->setText(comsetting::slotCaption(
        name, room, [&fm](const QString& text) { return fm.horizontalAdvance(text); }));
    button->setToolTip(name);
}

void FrmImage::slotClosed(int slot) {
    QPushButton* button = BtnComSetting[static_cast<std::size_t>(slot)];
    setBold(button, false);
    button->setText(kIdleCaption);
    button->setToolTip(QString());
}

void FrmImage::requestClose(UnloadMode mode) {
    unloadMode_ = mode;
    close();
    unloadMode_.reset();
}

void FrmImage::closeEvent(QCloseEvent* event) {
    const UnloadMode mode =
        unloadMode_.value_or(event->spontaneous() ? UnloadMode::UserClose : UnloadMode::Program);
    if (mode == UnloadMode::UserClose && c_.WaitState != Wait::None) {
        event->ignore();
        return;
    }
    event->accept();
    if (!unloaded_) Form_Unload();
}

void FrmImage::Form_Unload() {
    unloaded_ = true;
    if (progress_) progress_->unloadByProgram();
    if (picture_) picture_->unloadByProgram();
    ImgRecvTimer.stop();
    for (FrmTerminal* t : TermForm) {
        if (t && t->isLoaded()) t->unloadByProgram();
    }
    c_.TermMinimum = ChkTermMinimum->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    SaveSettings(c_);
}

}  // namespace tavorin
