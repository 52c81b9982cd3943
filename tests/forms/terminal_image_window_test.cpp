// The terminal's image receive end to end: a typed image command shows the
// progress window while the picture arrives and opens the viewer on it.
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "app_start.h"
#include "binding.h"
#include "common.h"
#include "dialog.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "frm_picture.h"
#include "frm_progress.h"
#include "frm_terminal.h"
#include "program_fixture.h"
#include "vscanner/scanner.h"

using namespace tavorin;

class TerminalImageWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;
    RecordingDialog& boxes = program.boxes;
    std::unique_ptr<Common>& common = program.common;
    std::unique_ptr<FrmImage>& main = program.main;

    // Opens slot 0 on COM `com` at 115200 bps and returns its terminal.
    FrmTerminal& openTerminal(int com) {
        program.openSlotOn(com, "100");
        return *main->TermForm[0];
    }

    void send(FrmTerminal& t, const QString& command) {
        t.SerialCmnd->setText(command);
        t.BtnSend_Click();
    }

    // Waits for the terminal to finish the tick that handles a reply.
    static bool replyHandled(FrmTerminal& t, int ms = 20000) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (t.RecvMode == terminal::RecvMode::Unsolicited && t.BtnSend->isEnabled() &&
                t.RecvTimer.isActive())
                return true;
        }
        return false;
    }

  private slots:
    void initTestCase() {
        QVERIFY(program.start());
        installPump();
    }
    void cleanupTestCase() { program.stop(); }
    void init() {
        QFile::remove(MakeImageFileName(0, "jpg"));
        program.freshProgram();
    }
    void cleanup() { program.closeProgram(); }

    void aPacedJpegShowsProgressThenTheViewer() {
        vscanner::Options o;
        o.pace = true;
        vscanner::Scanner scanner(o);
        FrmTerminal& t = openTerminal(scanner.com());
        QVERIFY(common->ComHandle[0] >= 0);

        // Sampled while the transfer runs inside the library's waits.
        QList<double> bar;
        bool cancelEverEnabled = false;
        bool triedClose = false;
        QTimer sampler;
        sampler.setInterval(30);
        connect(&sampler, &QTimer::timeout, this, [&] {
            FrmProgress& p = main->progressWindow();
            if (common->WaitState != Wait::Transfer || !p.isVisible()) return;
            bar << p.barValue();
            cancelEverEnabled |= p.BtnWaitCancel->isEnabled();
            if (!triedClose && bar.size() > 3) {
                triedClose = true;
                t.requestClose(UnloadMode::UserClose);  // the user's close box during the transfer
            }
        });
        sampler.start();
        send(t, "IMGSHP6F2S");
        QVERIFY(t.RecvMode == terminal::RecvMode::Image);
        QVERIFY(replyHandled(t));
        sampler.stop();

        QVERIFY2(bar.size() >= 3, "the progress window polled during the transfer");
        QVERIFY(bar.last() > bar.first());
        for (int i = 1; i < bar.size(); ++i) QVERIFY(bar[i] >= bar[i - 1]);
        QVERIFY(!cancelEverEnabled);
        QVERIFY(triedClose);
        QVERIFY(t.isVisible());
        QVERIFY2(boxes.questions.isEmpty(), "refused silently, no question");
        QVERIFY(!main->progressWindow().isVisible());
        QVERIFY(common->WaitState == Wait::None);

        QVERIFY(t.ResponseText->toPlainText().contains("<ACK>"));
        FrmPicture& viewer = main->pictureWindow();
        QVERIFY(viewer.isVisible());
        QCOMPARE(viewer.DispImage, MakeImageFileName(0, "jpg"));
        QVERIFY(main->ImageOK);
        QImageReader reader(MakeImageFileName(0, "jpg"));
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        QCOMPARE(reader.size(), QSize(640, 480));
        QVERIFY(boxes.messages.isEmpty());
    }

    void closingTheProgramDuringATransferFreesThePort() {
        vscanner::Options o;
        o.pace = true;
        vscanner::Scanner scanner(o);
        FrmTerminal& t = openTerminal(scanner.com());
        bool closed = false;
        QTimer closer;
        closer.setInterval(30);
        connect(&closer, &QTimer::timeout, this, [&] {
            if (closed || common->WaitState != Wait::Transfer) return;
            closed = true;
            main->requestClose(UnloadMode::Program);  // the program ends, not the user's close box
        });
        closer.start();
        send(t, "IMGSHP6F");
        QTRY_VERIFY_WITH_TIMEOUT(closed && common->WaitState == Wait::None, 20000);
        closer.stop();
        QCOMPARE(common->ComHandle[0], -1);
        QCOMPARE(main->BtnComSetting[0]->text(), kIdleCaption);
        QVERIFY(boxes.messages.isEmpty());
        // The transfer was cancelled and the port really closed: it opens again.
        std::int32_t h = PortOpen(scanner.com(), 9, 1, 0, 0, 0);
        QVERIFY(h >= 0);
        PortClose(h);
        QVERIFY(QFile::exists(kSettingsFile));
    }

    void refusedRepliesOpenNoViewer() {
        test::PtyPeer peer(*program.ports, 230);
        // The scanner answers the first command with NAK, the second with an
        // image whose closing reply holds NAK and then ACK.
        int commands = 0;
        peer.setResponder([&](const std::string& text, char) -> test::Bytes {
            if (text == "BEPBEP?") return test::PtyPeer::standardGreeting();
            if (++commands == 1) return test::Bytes{'I', 'M', 'G', 0x15, '.'};
            // L = 14: a 3-byte sub-header and 11 data bytes.
            test::Bytes r{0x16, 0, 14, 0, 0, 0, 0, 'h', 'h', 0x1D};
            for (char c : std::string("picturedata")) r.push_back(static_cast<unsigned char>(c));
            for (unsigned char b : test::Bytes{0x15, 0x06, '.'}) r.push_back(b);
            return r;
        });
        FrmTerminal& t = openTerminal(230);
        QVERIFY(common->ComHandle[0] >= 0);
        send(t, "IMGSHP6F");
        QVERIFY(replyHandled(t));
        QCOMPARE(t.ResponseText->toPlainText(), QString("IMG<NAK>."));
        QVERIFY(!main->pictureWindow().isVisible());

        send(t, "IMGSHP6F");
        QVERIFY(replyHandled(t));
        QCOMPARE(t.ResponseText->toPlainText(), QString("<NAK><ACK>."));
        QVERIFY(!main->pictureWindow().isVisible());
        QVERIFY(QFile::exists(MakeImageFileName(0, "jpg")));
        main.reset();
    }

    void aFailedTransferShowsItsMessageAndLeavesNoTruncatedFile() {
        {
            QFile old(MakeImageFileName(0, "jpg"));
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("the previous picture");
        }
        vscanner::Options o;
        o.fault = vscanner::Fault::StopMidImage;
        vscanner::Scanner scanner(o);
        FrmTerminal& t = openTerminal(scanner.com());
        send(t, "IMGSHP6F");
        QVERIFY(replyHandled(t));
        // The line goes quiet halfway: inside a chunk that is a time-out, at
        // a chunk's border a read that delivers nothing (a communication
        // error). Either way exactly one message tells the user.
        QCOMPARE(boxes.messages.size(), 1);
        QVERIFY2(boxes.messages[0] == "受信タイムアウト" || boxes.messages[0] == "通信エラー",
                 qPrintable(boxes.messages[0]));
        QVERIFY(!main->pictureWindow().isVisible());
        QFile file(MakeImageFileName(0, "jpg"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("the previous picture"));
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).filter("Tavorin_Image").size(), 1);
        main.reset();
    }
};

QTEST_MAIN(TerminalImageWindowTest)
#include "terminal_image_window_test.moc"
