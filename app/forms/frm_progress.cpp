#include "frm_progress.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "binding.h"
#include "twips.h"

namespace tavorin {

namespace {

// The bar counts in hundredths of a per cent, so that the fraction the timer
// computes is drawn as it is instead of in whole per cent.
constexpr int kBarScale = 100;

constexpr int kClientWidth = 4680;
constexpr int kClientHeight = 1680;

}  // namespace

FrmProgress::FrmProgress(Common& common, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      c_(common) {
    setWindowTitle(kProgressCaption);
    setFixedSize(px(kClientWidth), px(kClientHeight));

    Label1 = new QLabel(this);
    Label1->setGeometry(twipRect(120, 180, 1095, 255));
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setGeometry(twipRect(1215, 150, 3345, 300));
    ProgressBar1->setTextVisible(false);
    LblMessage = new QLabel(this);
    LblMessage->setGeometry(twipRect(120, 660, 4440, 255));
    BtnWaitCancel = new QPushButton(this);
    BtnWaitCancel->setGeometry(twipRect(1800, 1140, 1095, 375));

    Timer1.setInterval(20);
    connect(&Timer1, &QTimer::timeout, this, &FrmProgress::Timer1_Timer);
    connect(BtnWaitCancel, &QPushButton::clicked, this, &FrmProgress::BtnWaitCancel_Click);
    restoreDesign();
    // The designed label boxes are (with their design texts in) a little lower than a line of
    // Japanese in the program's face.
    for (QLabel* l : {Label1, LblMessage}) {
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->resize(l->width(), std::max(l->height(), l->sizeHint().height()));
    }
}

FrmProgress::~FrmProgress() {
    Timer1.stop();
}

void FrmProgress::restoreDesign() {
    Label1->setText(QStringLiteral("受信状況"));
    ProgressBar1->setRange(0, 100 * kBarScale);
    ProgressBar1->setValue(0);
    LblMessage->setText(kTriggerPrompt);
    BtnWaitCancel->setText(QStringLiteral("中止"));
    Label1->show();
    ProgressBar1->show();
}

void FrmProgress::load() {
    if (!loaded_) Form_Load();
}

void FrmProgress::showFor(std::int32_t port, const QString& message) {
    ComId = port;
    load();
    LblMessage->setText(message);
    show();
}

void FrmProgress::unloadByProgram() {
    Timer1.stop();
    unloading_ = true;
    close();
    unloading_ = false;
    // A refused close (none is expected) must still leave the window gone.
    hide();
    loaded_ = false;
    restoreDesign();
}

void FrmProgress::Form_Load() {
    loaded_ = true;
    // Topmost without moving or resizing. Changing the flags of a visible
    // window would hide it, so they are only asserted while it is hidden.
    if (!isVisible()) setWindowFlag(Qt::WindowStaysOnTopHint, true);
    if (QWidget* owner = parentWidget(); owner && !isVisible()) {
        QRect area = owner->frameGeometry();
        if (QScreen* screen = owner->screen()) {
            // Keep the whole window on the owner's screen.
            QRect r(area.center() - rect().center(), size());
            const QRect avail = screen->availableGeometry();
            r.moveLeft(std::max(avail.left(), std::min(r.left(), avail.right() - r.width())));
            r.moveTop(std::max(avail.top(), std::min(r.top(), avail.bottom() - r.height())));
            move(r.topLeft());
        }
    }

    if (ComId < 0) {
        ProgressBar1->hide();
        Label1->hide();
        Timer1.stop();
    } else {
        ProgressBar1->setRange(0, 100 * kBarScale);
        ProgressBar1->setValue(0);
        ProgressBar1->show();
        Label1->show();
        Timer1.start();
    }
    BtnWaitCancel->setEnabled(c_.WaitState == Wait::None);
}

void FrmProgress::Timer1_Timer() {
    if (ComId < 0) return;
    BtnWaitCancel->setEnabled(c_.WaitState == Wait::None);
    // Off for the length of the tick, so that no tick can ever run inside
    // another should anything below dispatch messages.
    Timer1.stop();
    std::int32_t length = 0;
    std::int32_t received = 0;
    const std::int32_t state = ImageProgress(ComId, &length, &received);
    if (state == OMBRIX_IMAGE_FAILED) {
        // The transfer failed and the library is emptying the line; the bar
        // keeps what it showed.
        LblMessage->setText(kClearingMessage);
    } else if (state == OMBRIX_IMAGE_RUNNING && length > 0 && received > 0) {
        setBarValue(static_cast<double>(received) / length * 100.0);
    } else {
        setBarValue(0);
    }
    // Unloaded from inside the tick (the blocking call ended meanwhile): the
    // polling stays off.
    if (loaded_) Timer1.start();
}

void FrmProgress::BtnWaitCancel_Click() {
    if (ComId >= 0) ComCancel(ComId);
    c_.WaitState = Wait::CancelRequested;
}

bool FrmProgress::Form_QueryUnload() const {
    return unloading_;
}

void FrmProgress::closeEvent(QCloseEvent* event) {
    // The close box, the window menu and any other close from outside are
    // refused: the window lives exactly as long as the command it belongs
    // to, which unloads it.
    if (Form_QueryUnload()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void FrmProgress::reject() {
    if (Form_QueryUnload()) QDialog::reject();
}

void FrmProgress::setBarValue(double value) {
    if (value < 0) value = 0;
    if (value > 100) value = 100;
    ProgressBar1->setValue(static_cast<int>(value * kBarScale));
}

double FrmProgress::barValue() const {
    return static_cast<double>(ProgressBar1->value()) / kBarScale;
}

}  // namespace tavorin
