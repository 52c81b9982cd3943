#include "screenshots.h"

#include <QCoreApplication>
#include <QDir>
#include <QFont>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include "comsetting_logic.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "frm_netport.h"
#include "frm_picture.h"
#include "frm_progress.h"
#include "frm_terminal.h"
#include "terminal_logic.h"
#include "twips.h"

namespace tavorin {
namespace {

void settle() {
    // Let the window system map and paint the window before it is grabbed.
    for (int i = 0; i < 10; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
}

// With TAVORIN_SCREENSHOTS_FRAMES set, a window is taken from the screen
// with the frame the window system drew around it (a desktop of Wine's, say),
// as a person sees it; otherwise as the widget paints itself.
bool save(QWidget& w, const QDir& dir, const char* name) {
    settle();
    const QString file = dir.filePath(QString::fromLatin1(name));
    if (qEnvironmentVariableIsSet("TAVORIN_SCREENSHOTS_FRAMES") && w.screen()) {
        const QRect frame = w.frameGeometry();
        return w.screen()
            ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
            .save(file);
    }
    return w.grab().save(file);
}

// The scanner's port: the number TAVORIN_SCREENSHOTS_PORT names, else the
// virtual scanner's own (COM200 and up).
bool isScannerPort(int com) {
    const int named = qEnvironmentVariableIntValue("TAVORIN_SCREENSHOTS_PORT");
    return named > 0 ? com == named : com >= 200;
}

}  // namespace

int takeScreenshots(const QString& directory, FrmImage& main) {
    QDir dir(directory);
    dir.mkpath(QStringLiteral("."));
    int failed = 0;

    main.show();
    failed += !save(main, dir, "main.png");
    // Each image tab in front once; the IMGSHP tab is in front at start.
    static const char* const tabs[] = {"main_imgsnp.png", "main_imgshp.png", "main_imgbox.png"};
    for (int i = 0; i < main.SSTabImage->count(); ++i) {
        main.SSTabImage->setCurrentIndex(i);
        failed += !save(main, dir, tabs[i]);
    }
    main.SSTabImage->setCurrentIndex(1);

    FrmComSetting& d = *main.ComSetForm[0];
    d.Form_Load();
    d.show();
    failed += !save(d, dir, "comsetting.png");
    // The port list's menu, and the dialog it opens to add a network port.
    {
        std::unique_ptr<QMenu> menu = d.makePortMenu();
        menu->popup(d.CmbPortNo->mapToGlobal(QPoint(40, d.CmbPortNo->height())));
        failed += !save(*menu, dir, "comsetting_menu.png");
    }
    FrmNetPort& n = *d.NetPortForm;
    n.Form_Load();
    n.TxtNetHost->setText(QStringLiteral("192.168.0.50"));
    n.TxtNetPort->setText(QStringLiteral("4001"));
    n.show();
    failed += !save(n, dir, "netport.png");
    n.hide();
    d.hide();

    FrmTerminal& t = *main.TermForm[0];
    QString port = d.CmbPortNo->count() > 0 ? d.CmbPortNo->itemText(0) : QStringLiteral("COM200");
    t.setWindowTitle(port);
    t.LblSetting->setText(QStringLiteral("9600bps,8bit,1,NONE,NONE,<>-<CR><LF>, TIMEOUT-100(ms)"));
    t.showTerminal(false);
    t.RecvTimer.stop();  // no port behind this sample: nothing to poll
    t.SerialCmnd->setText(QStringLiteral("BEPLVL?"));
    t.ResponseText->setPlainText(QStringLiteral("BEPLVL2<ACK>."));
    t.RecvText->setPlainText(QStringLiteral("TAVORIN-0001<CR>\n<02>12<03>\n"));
    failed += !save(t, dir, "terminal.png");

    // The bench tools: a block stamped, one in hex, and the data box's menu
    // open below them, in a window made taller for it. The menu is a window
    // of its own; it is painted onto the terminal's picture where it stands
    // on the screen.
    const QSize designed = t.size();
    t.resize(designed.width(), designed.height() + px(1800));
    const QTime read(10, 15, 42, 137);
    t.RecvText->setPlainText(
        QStringLiteral("TAVORIN-0001<CR>\n") +
        terminal::unsolicitedBlock(QByteArray("TAVORIN-0002\r"), {true, false}, read) +
        terminal::unsolicitedBlock(QByteArray("\x02TAVORIN-0003-A\x03\r\n"), {true, true},
                                   read.addMSecs(2504)));
    t.MnuTimestamp->setChecked(true);
    t.MnuHex->setChecked(true);
    QMenu* menu = t.showContextMenu(
        t.RecvText, t.RecvText->viewport()->mapToGlobal(QPoint(px(2400), px(1000))));
    settle();
    QImage withMenu = t.grab().toImage();
    {
        QPainter painter(&withMenu);
        painter.drawPixmap(t.mapFromGlobal(menu->pos()), menu->grab());
    }
    failed += !withMenu.save(dir.filePath(QStringLiteral("terminal_menu.png")));
    menu->close();
    t.MnuTimestamp->setChecked(false);
    t.MnuHex->setChecked(false);
    t.resize(designed);
    t.hide();

    FrmProgress& p = main.progressWindow();
    p.showFor(-1, kPleaseWait);
    failed += !save(p, dir, "progress.png");
    p.unloadByProgram();

    // A sample picture: a label such as the virtual scanner photographs.
    QImage sample(640, 480, QImage::Format_RGB32);
    sample.fill(Qt::white);
    {
        QPainter painter(&sample);
        painter.setPen(Qt::black);
        for (int x = 80; x < 560; x += 6) painter.fillRect(x, 120, (x / 6) % 3 + 1, 140, Qt::black);
        QFont f = painter.font();
        f.setPointSize(20);
        painter.setFont(f);
        painter.drawText(QRect(0, 280, 640, 60), Qt::AlignCenter, QStringLiteral("TAVORIN-0001"));
        painter.drawLine(120, 420, 520, 420);
    }
    QString picture = dir.filePath(QStringLiteral("sample.jpg"));
    sample.save(picture, "JPEG");
    FrmPicture& v = main.pictureWindow();
    v.DispImage = picture;
    v.showPicture();
    failed += !save(v, dir, "picture.png");
    v.unloadByProgram();
    QFile::remove(picture);

    // An IMGSHP command running against the virtual scanner the script
    // started (paced, so that the transfer lasts): the progress window over
    // the locked main window, then the scanner's picture in the viewer.
    main.runDialog = [](FrmComSetting& dialog) {
        dialog.Form_Load();
        for (int i = 0; i < dialog.CmbPortNo->count(); ++i) {
            if (isScannerPort(dialog.CmbPortNo->itemData(i).toInt()))
                dialog.CmbPortNo->setCurrentIndex(i);
        }
        dialog.lists[comsetting::Baud]->setCurrentIndex(9);  // 115200
        dialog.CmdOpen_Click();
    };
    main.ChkTermMinimum->setChecked(true);
    main.BtnComSetting_Click(0);
    if (!main.TermForm[0]->isLoaded()) return failed + 1;
    main.SSTabImage->setCurrentIndex(1);
    bool grabbed = false;
    QTimer during;
    during.setSingleShot(true);
    QObject::connect(&during, &QTimer::timeout, [&] {
        FrmProgress& running = main.progressWindow();
        if (!running.isVisible()) return;
        grabbed = save(running, dir, "progress_imgshp.png") && save(main, dir, "main_running.png");
    });
    during.start(800);
    main.CmdImgExec_Click(1);
    failed += !grabbed;
    FrmPicture& received = main.pictureWindow();
    failed += !received.isVisible() || !save(received, dir, "picture_imgshp.png");
    received.unloadByProgram();
    main.TermForm[0]->unloadByProgram();
    QFile::remove(MakeImageFileName(0, QStringLiteral("JPG")));

    return failed;
}

}  // namespace tavorin
