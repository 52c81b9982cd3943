// The picture viewer as a window: what it loads, how it opens against the
// screen, and the bars, picture and corner it lays out in pixels.
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include "frm_picture.h"

using namespace tavorin;

namespace {

// A 1000 x 700 pixel working area with 4-pixel frames and a 23-pixel caption:
// the client area can be at most 992 x 646 pixels.
const picture::Frame kFrame = picture::frameFromPixels(4, 4, 23, 1000, 700 - 23);
constexpr int kMaxClientW = 992;
constexpr int kMaxClientH = 646;
constexpr int kBar = 17;  // 250 twips on the pixel grid

// The smallest baseline TIFF: one grey pixel, little-endian.
QByteArray tinyTiff() {
    QByteArray t("II\x2a\x00\x08\x00\x00\x00", 8);
    auto put16 = [&](quint16 v) { t.append(char(v & 0xff)).append(char(v >> 8)); };
    auto put32 = [&](quint32 v) { put16(quint16(v & 0xffff)), put16(quint16(v >> 16)); };
    const quint16 entries[][3] = {{256, 3, 1}, {257, 3, 1},   {258, 3, 8}, {259, 3, 1},
                                  {262, 3, 1}, {273, 4, 110}, {278, 3, 1}, {279, 4, 1}};
    put16(8);
    for (const auto& e : entries) {
        put16(e[0]);
        put16(e[1]);
        put32(1);
        put32(e[2]);
    }
    put32(0);
    t.append('\x80');
    return t;
}

}  // namespace

class PictureWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString picture(const char* name, int w, int h, const char* format) {
        QImage image(w, h, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        const QString path = dir.filePath(QString::fromLatin1(name));
        if (!image.save(path, format)) return {};
        return path;
    }

    // A viewer loaded on `file` with the fixed frame, and the opener's flag.
    struct Opened {
        std::unique_ptr<FrmPicture> viewer = std::make_unique<FrmPicture>();
        bool ok = false;
    };
    std::unique_ptr<Opened> open(const QString& file) {
        auto o = std::make_unique<Opened>();
        o->viewer->setFrameOverride(kFrame);
        o->viewer->ImageOK = &o->ok;
        o->viewer->DispImage = file;
        o->viewer->load();
        return o;
    }

  private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void smallPictureOpensAtItsSizeWithoutBars() {
        auto o = open(picture("small.jpg", 200, 150, "JPG"));
        QVERIFY(o->ok);
        FrmPicture& v = *o->viewer;
        QCOMPARE(v.size(), QSize(200, 150));
        QCOMPARE(v.windowTwips(), (picture::Size{200 * 15 + 120, 150 * 15 + 465}));
        v.show();
        QVERIFY(QTest::qWaitForWindowExposed(&v));
        QCOMPARE(v.windowTitle(), kPictureCaption);
        QVERIFY(!v.HScroll1->isVisible());
        QVERIFY(!v.VScroll1->isVisible());
        QVERIFY(!v.LblHidden->isVisible());
        QCOMPARE(v.Image1->geometry(), QRect(0, 0, 200, 150));
    }

    void largePictureOpensAtTheScreenWithBothBars() {
        auto o = open(picture("large.bmp", 1500, 1200, "BMP"));
        QVERIFY(o->ok);
        FrmPicture& v = *o->viewer;
        QCOMPARE(v.size(), QSize(kMaxClientW, kMaxClientH));
        v.show();
        QVERIFY(QTest::qWaitForWindowExposed(&v));
        QTRY_COMPARE(v.size(), QSize(kMaxClientW, kMaxClientH));
        QVERIFY(v.HScroll1->isVisible());
        QVERIFY(v.VScroll1->isVisible());
        QCOMPARE(v.HScroll1->value(), 0);
        QCOMPARE(v.VScroll1->value(), 0);
        QCOMPARE(v.HScroll1->maximum(), 100);
        QCOMPARE(v.HScroll1->singleStep(), 10);
        QCOMPARE(v.HScroll1->pageStep(), 20);
        QCOMPARE(v.Image1->pos(), QPoint(0, 0));
        // Bars along the bottom and the right, the corner square where they
        // meet, all inside the client area.
        QCOMPARE(v.HScroll1->geometry(), QRect(0, kMaxClientH - kBar, kMaxClientW - kBar, kBar));
        QCOMPARE(v.VScroll1->geometry(), QRect(kMaxClientW - kBar, 0, kBar, kMaxClientH - kBar));
        QVERIFY(v.LblHidden->isVisible());
        QCOMPARE(v.LblHidden->geometry(),
                 QRect(kMaxClientW - kBar, kMaxClientH - kBar, kBar, kBar));

        // Bar 100: the picture's right edge meets the vertical bar; back at
        // 0 the left edge shows again. The same downwards.
        v.HScroll1->setValue(100);
        QCOMPARE(v.Image1->geometry().right() + 1, v.VScroll1->x());
        v.VScroll1->setValue(100);
        QCOMPARE(v.Image1->geometry().bottom() + 1, v.HScroll1->y());
        v.HScroll1->setValue(0);
        QCOMPARE(v.Image1->x(), 0);
        // A step of the arrow moves a tenth of the hidden part.
        v.HScroll1->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(v.HScroll1->value(), 10);
        QCOMPARE(v.Image1->x(), -qRound((1500 - (kMaxClientW - 250.0 / 15)) / 10));
    }

    void shrinkingShowsBothBarsAndEnlargingSnapsBack() {
        auto o = open(picture("fit.jpg", 300, 200, "JPG"));
        QVERIFY(o->ok);
        FrmPicture& v = *o->viewer;
        v.show();
        QVERIFY(QTest::qWaitForWindowExposed(&v));

        // Narrower only: the height still fits, but both bars appear.
        v.resize(250, 200);
        QTRY_COMPARE(v.size(), QSize(250, 200));
        QTRY_VERIFY(v.HScroll1->isVisible());
        QVERIFY(v.VScroll1->isVisible());
        QVERIFY(v.LblHidden->isVisible());

        // Scrolled to the right end, then made wide again: back to the
        // picture's size, no bars, the picture at its corner.
        v.HScroll1->setValue(100);
        QVERIFY(v.Image1->x() < 0);
        v.resize(600, 500);
        QTRY_COMPARE(v.size(), QSize(300, 200));
        QTRY_VERIFY(!v.HScroll1->isVisible());
        QVERIFY(!v.VScroll1->isVisible());
        QVERIFY(!v.LblHidden->isVisible());
        QCOMPARE(v.Image1->pos(), QPoint(0, 0));
        QCOMPARE(v.HScroll1->value(), 0);
    }

    void unreadableFilesAreNeverShown() {
        QFile tiff(dir.filePath(QStringLiteral("really_a_tiff.jpg")));
        QVERIFY(tiff.open(QIODevice::WriteOnly));
        tiff.write(tinyTiff());
        tiff.close();
        QFile text(dir.filePath(QStringLiteral("text.bmp")));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not a picture\r\n");
        text.close();

        for (const QString& file :
             {tiff.fileName(), text.fileName(), dir.filePath(QStringLiteral("missing.jpg"))}) {
            auto o = open(file);
            o->ok = true;
            QVERIFY2(!o->viewer->load(), qPrintable(file));
            QVERIFY(!o->viewer->imageOK());
            // Loaded, hidden, and showPicture() will not show it either.
            QVERIFY(o->viewer->isLoaded());
            o->viewer->ImageOK = &o->ok;
            o->viewer->showPicture();
            QVERIFY(!o->viewer->imageOK());
            QVERIFY(!o->ok);
            QVERIFY(!o->viewer->isVisible());
        }
    }

    void theContentsDecideTheFormat() {
        // The terminal saves every picture as .jpg: a bitmap under that name
        // still shows, in whatever letter case the name is.
        auto bmpAsJpg = open(picture("bitmap_named.jpg", 40, 30, "BMP"));
        QVERIFY(bmpAsJpg->ok);
        QCOMPARE(bmpAsJpg->viewer->Image1->size(), QSize(40, 30));
        auto upper = open(picture("UPPER.JPG", 40, 30, "JPG"));
        QVERIFY(upper->ok);
        // Formats other than JPEG and BMP never show, whatever the name.
        auto ppm = open(picture("portable.jpg", 40, 30, "PPM"));
        QVERIFY(QFileInfo::exists(dir.filePath("portable.jpg")));
        QVERIFY(!ppm->ok);
        QVERIFY(!ppm->viewer->isVisible());
    }

    void showPictureReplacesTheOpenPicture() {
        FrmPicture v;
        v.setFrameOverride(kFrame);
        v.DispImage = picture("first.jpg", 120, 90, "JPG");
        v.showPicture();
        QVERIFY(v.imageOK());
        QVERIFY(QTest::qWaitForWindowExposed(&v));
        QCOMPARE(v.size(), QSize(120, 90));

        v.DispImage = picture("second.bmp", 160, 100, "BMP");
        v.showPicture();
        QVERIFY(v.imageOK());
        QVERIFY(v.isVisible());
        QTRY_COMPARE(v.size(), QSize(160, 100));
        QCOMPARE(v.Image1->size(), QSize(160, 100));

        // The user's close box unloads it; the program's unload too.
        v.close();
        QVERIFY(!v.isVisible());
        QVERIFY(!v.isLoaded());
        v.showPicture();
        QVERIFY(v.isVisible());
        v.unloadByProgram();
        QVERIFY(!v.isVisible());
        QVERIFY(!v.isLoaded());
    }
};

QTEST_MAIN(PictureWindowTest)
#include "picture_window_test.moc"
