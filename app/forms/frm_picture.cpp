#include "frm_picture.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <algorithm>

namespace tavorin {

namespace {

using picture::kBarTwips;
using picture::toPixels;

// The formats the viewer shows. A file is recognised by its contents, not
// its name: the terminal saves every picture it receives as .jpg whatever
// format the scanner shipped, so a bitmap under that name must still show,
// while a TIFF (or anything else) under it must not.
bool showable(const QByteArray& format) {
    return format == "jpeg" || format == "bmp";
}

int barPixels() {
    return toPixels(kBarTwips);
}

}  // namespace

FrmPicture::FrmPicture(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(kPictureCaption);
    // The design's client area, replaced when a picture loads.
    resize(toPixels(6855), toPixels(4500));

    Image1 = new QLabel(this);
    Image1->move(0, 0);
    // The change handlers hand the focus to the picture, away from the bar.
    Image1->setFocusPolicy(Qt::ClickFocus);

    HScroll1 = new QScrollBar(Qt::Horizontal, this);
    VScroll1 = new QScrollBar(Qt::Vertical, this);
    HScroll1->setGeometry(0, 0, toPixels(4000), barPixels());
    VScroll1->setGeometry(0, 0, barPixels(), toPixels(3000));
    HScroll1->hide();
    VScroll1->hide();

    LblHidden = new QLabel(this);
    LblHidden->setAutoFillBackground(true);
    LblHidden->setBackgroundRole(QPalette::Button);
    LblHidden->resize(barPixels(), barPixels());
    LblHidden->hide();

    connect(HScroll1, &QScrollBar::valueChanged, this, &FrmPicture::HScroll1_Change);
    connect(VScroll1, &QScrollBar::valueChanged, this, &FrmPicture::VScroll1_Change);
}

FrmPicture::~FrmPicture() = default;

bool FrmPicture::load() {
    if (!loaded_) Form_Load();
    return imageOK_;
}

void FrmPicture::showPicture() {
    if (loaded_) unloadByProgram();
    if (!load()) return;
    show();
    raise();
}

void FrmPicture::unloadByProgram() {
    hide();
    unload();
}

void FrmPicture::unload() {
    loaded_ = false;
    Image1->clear();
    Image1->resize(0, 0);
    view_ = picture::View{};
}

picture::Frame FrmPicture::measureFrame() const {
    QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);

    // The window manager draws the frame, so its size is known only from a
    // window already shown. Any shown top-level window of the program
    // tells it (all have the same decorations); with none, the caption is
    // guessed from the style and the side frames taken as nothing.
    int side = 0;
    int bottom = 0;
    int caption = style()->pixelMetric(QStyle::PM_TitleBarHeight);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w == this || !w->isVisible() || w->isMinimized()) continue;
        const QRect outer = w->frameGeometry();
        const QRect inner = w->geometry();
        side = std::max(0, inner.left() - outer.left());
        bottom = std::max(0, outer.bottom() - inner.bottom());
        caption = std::max(0, (inner.top() - outer.top()) - bottom);
        break;
    }
    // The full-screen client area: what a maximised window's client gets.
    return picture::frameFromPixels(side, bottom, caption, avail.width(),
                                    std::max(0, avail.height() - caption));
}

bool FrmPicture::readPicture() {
    QImageReader reader(DispImage);
    reader.setDecideFormatFromContent(true);
    if (!showable(reader.format())) return false;
    const QImage image = reader.read();
    if (image.isNull()) return false;
    const std::optional<std::int32_t> w = picture::toTwips(image.width());
    const std::optional<std::int32_t> h = picture::toTwips(image.height());
    if (!w || !h) return false;
    const QPixmap pixmap = QPixmap::fromImage(image);
    if (pixmap.isNull()) return false;
    Image1->setPixmap(pixmap);
    Image1->resize(pixmap.size());
    view_.picture = {*w, *h};
    return true;
}

void FrmPicture::Form_Load() {
    loaded_ = true;
    imageOK_ = true;
    view_ = picture::View{};
    frame_ = frameOverride_ ? *frameOverride_ : measureFrame();

    for (QScrollBar* bar : {HScroll1, VScroll1}) {
        const QSignalBlocker quiet(bar);
        bar->setRange(picture::kBarMin, picture::kBarMax);
        bar->setSingleStep(picture::kSmallChange);
        bar->setPageStep(picture::kLargeChange);
    }
    Image1->move(0, 0);

    std::optional<picture::Size> size;
    if (readPicture()) size = picture::openingSize(view_.picture, frame_);
    if (!size) {
        imageOK_ = false;
        if (ImageOK) *ImageOK = false;
        unload();
        // Loaded but empty: the window is never shown this way.
        loaded_ = true;
        return;
    }
    if (ImageOK) *ImageOK = true;

    // The window manager must not offer a client area larger than the
    // picture; the resize handler would snap it back anyway, but letting it
    // grow first makes the window flicker while the user drags its edge.
    setMaximumSize(Image1->size());
    resizeClient(*size);
    {
        const QSignalBlocker quietH(HScroll1);
        const QSignalBlocker quietV(VScroll1);
        HScroll1->setValue(picture::kBarMin);
        VScroll1->setValue(picture::kBarMin);
    }
    centre();
    // Laid out now as well as on the first show, so that an opener sees the
    // window as it will appear.
    Form_Resize();
}

picture::Size FrmPicture::windowTwips() const {
    return {width() * picture::kTwipsPerPixel + frame_.borderW,
            height() * picture::kTwipsPerPixel + frame_.borderH};
}

void FrmPicture::resizeClient(picture::Size window) {
    resize(std::max(0, toPixels(window.width - frame_.borderW)),
           std::max(0, toPixels(window.height - frame_.borderH)));
}

void FrmPicture::centre() {
    QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect avail = screen->availableGeometry();
    const QSize outer(width() + toPixels(frame_.borderW), height() + toPixels(frame_.borderH));
    const QPoint centre =
        parentWidget() ? parentWidget()->frameGeometry().center() : avail.center();
    QPoint topLeft(centre.x() - outer.width() / 2, centre.y() - outer.height() / 2);
    // A window as large as the screen, centred on a small owner near an
    // edge, would open partly off the screen; keep it inside.
    topLeft.setX(std::max(avail.left(), std::min(topLeft.x(), avail.right() + 1 - outer.width())));
    topLeft.setY(std::max(avail.top(), std::min(topLeft.y(), avail.bottom() + 1 - outer.height())));
    move(topLeft);
}

void FrmPicture::Form_Resize() {
    if (!loaded_ || !imageOK_ || inResize_) return;
    inResize_ = true;
    const picture::Size window = windowTwips();
    const picture::Size snapped = picture::resize(view_, window, frame_);
    place();
    // Setting the size runs this handler again for the new size, where it
    // changes nothing; the guard just saves that second run.
    if (!(snapped == window)) resizeClient(snapped);
    inResize_ = false;
}

void FrmPicture::place() {
    Image1->move(toPixels(view_.left), toPixels(view_.top));

    const int bar = barPixels();
    const QSignalBlocker quietH(HScroll1);
    const QSignalBlocker quietV(VScroll1);
    HScroll1->setValue(view_.h.value);
    VScroll1->setValue(view_.v.value);
    HScroll1->setGeometry(0, toPixels(view_.h.offset), toPixels(view_.h.length), bar);
    VScroll1->setGeometry(toPixels(view_.v.offset), 0, bar, toPixels(view_.v.length));
    HScroll1->setVisible(view_.h.visible);
    VScroll1->setVisible(view_.v.visible);
    if (view_.corner) {
        LblHidden->setGeometry(toPixels(view_.cornerLeft), toPixels(view_.cornerTop), bar, bar);
        LblHidden->show();
    } else {
        LblHidden->hide();
    }
    // The bars and the corner lie over the picture.
    HScroll1->raise();
    VScroll1->raise();
    LblHidden->raise();
}

void FrmPicture::HScroll1_Change() {
    if (!loaded_ || !imageOK_) return;
    view_.h.value = HScroll1->value();
    view_.left = picture::scrolledLeft(view_, windowTwips().width, frame_);
    Image1->move(toPixels(view_.left), toPixels(view_.top));
    Image1->setFocus();
}

void FrmPicture::VScroll1_Change() {
    if (!loaded_ || !imageOK_) return;
    view_.v.value = VScroll1->value();
    view_.top = picture::scrolledTop(view_, windowTwips().height, frame_);
    Image1->move(toPixels(view_.left), toPixels(view_.top));
    Image1->setFocus();
}

void FrmPicture::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void FrmPicture::closeEvent(QCloseEvent* event) {
    // Closing the viewer unloads it, whoever closes it.
    event->accept();
    unload();
}

}  // namespace tavorin
