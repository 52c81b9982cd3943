// The transfer progress window against the real library: a scanner played on
// a pseudo-terminal ships an image slowly while the window polls it from
// inside the blocking receive, as the program runs it.
#include <QTemporaryDir>
#include <QtTest>
#include <thread>
#include <vector>

#include "app_start.h"
#include "binding.h"
#include "common.h"
#include "frm_progress.h"
#include "pty_peer.h"

using namespace tavorin;
using test::Bytes;

namespace {

constexpr int kCom = 221;

// The image reply's head: SYN, a byte, the length least significant byte
// first, a byte, then a 40-byte sub-header ending in GS.
Bytes imageHead(std::uint32_t length) {
    Bytes b{0x16,
            0x30,
            static_cast<unsigned char>(length & 0xff),
            static_cast<unsigned char>((length >> 8) & 0xff),
            static_cast<unsigned char>((length >> 16) & 0xff),
            static_cast<unsigned char>(length >> 24),
            0x30};
    for (int i = 0; i < 39; ++i) b.push_back('h');
    b.push_back(0x1d);
    return b;
}

}  // namespace

class ProgressWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<test::PortDirectory> ports;
    std::unique_ptr<test::PtyPeer> peer;
    Common common;
    std::int32_t handle = -1;
    std::thread scanner;

    // Plays the scanner on its own thread: `steps` of bytes, each after the
    // pause before it.
    void ship(std::vector<std::pair<int, Bytes>> steps) {
        scanner = std::thread([this, steps = std::move(steps)] {
            for (const auto& [pauseMs, bytes] : steps) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                peer->send(bytes);
            }
        });
    }
    // Every transfer follows its command, as in the program; the send also
    // lowers a cancel flag that an earlier cancel left raised.
    void sendCommand() { QCOMPARE(SendCommand(handle, QStringLiteral("IMGSHP")), 0); }
    void joinScanner() {
        if (scanner.joinable()) scanner.join();
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        ports = std::make_unique<test::PortDirectory>();
        peer = std::make_unique<test::PtyPeer>(*ports, kCom);
        installPump();
        handle = PortOpen(kCom, 5, 1, 0, 0, 0);
        QVERIFY2(handle >= 0, qPrintable(QString::number(handle)));
    }

    void cleanupTestCase() {
        joinScanner();
        if (handle >= 0) PortClose(handle);
        PumpSet(nullptr);
        peer.reset();
        ports.reset();
    }

    void withoutAPortOnlyTheMessageAndTheButtonShow() {
        common.WaitState = Wait::None;
        FrmProgress p(common);
        p.ComId = -1;
        p.load();
        p.show();
        QVERIFY(QTest::qWaitForWindowExposed(&p));
        QCOMPARE(p.windowTitle(), kProgressCaption);
        QVERIFY(p.windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!p.ProgressBar1->isVisible());
        QVERIFY(!p.Label1->isVisible());
        QVERIFY(p.LblMessage->isVisible());
        QCOMPARE(p.LblMessage->text(), kTriggerPrompt);
        QVERIFY(!p.Timer1.isActive());
        QVERIFY(p.BtnWaitCancel->isEnabled());

        // The user's close box does nothing; the program's unload goes through.
        p.windowHandle()->close();
        p.close();
        QVERIFY(p.isVisible());
        // Escape is the user's close too, not a dialog's rejection.
        QTest::keyClick(&p, Qt::Key_Escape);
        QVERIFY(p.isVisible());
        QVERIFY(p.isLoaded());
        QTest::mouseClick(p.BtnWaitCancel, Qt::LeftButton);
        QVERIFY(common.WaitState == Wait::CancelRequested);
        p.unloadByProgram();
        QVERIFY(!p.isVisible());
        QVERIFY(!p.isLoaded());
    }

    void theBarRisesWithTheTransferAndStopsShortOfTheSubHeader() {
        // L = 4096 of which 40 are the sub-header: 4056 bytes of data in
        // slices, so that the window sees every chunk arrive.
        std::vector<std::pair<int, Bytes>> steps{{100, imageHead(4096)}};
        for (int i = 0; i < 8; ++i)
            steps.push_back({80, Bytes(507, static_cast<unsigned char>(i))});
        steps.push_back({250, test::bytes("\x06.")});

        common.WaitState = Wait::Transfer;
        FrmProgress p(common);
        p.ComId = handle;
        p.load();
        p.show();
        QVERIFY(p.Timer1.isActive());
        QVERIFY(!p.BtnWaitCancel->isEnabled());

        std::vector<double> seen;
        bool cancelEverEnabled = false;
        bool closeTried = false;
        bool closeRefused = false;
        QTimer sample;
        sample.setInterval(5);
        connect(&sample, &QTimer::timeout, [&] {
            if (seen.empty() || seen.back() != p.barValue()) seen.push_back(p.barValue());
            cancelEverEnabled = cancelEverEnabled || p.BtnWaitCancel->isEnabled();
            // The user's close box in the middle of the transfer.
            if (!closeTried && p.barValue() > 0) {
                closeTried = true;
                p.windowHandle()->close();
                closeRefused = p.isVisible() && p.Timer1.isActive();
            }
        });
        sample.start();
        sendCommand();
        ship(std::move(steps));
        QString reply;
        const std::int16_t r =
            RecvImage(handle, dir.filePath(QStringLiteral("shp.jpg")), reply, 2046, 2);
        sample.stop();
        joinScanner();
        p.unloadByProgram();

        QCOMPARE(r, std::int16_t{2});
        QCOMPARE(reply, QStringLiteral("\x06."));
        QVERIFY(!cancelEverEnabled);
        QVERIFY(closeTried);
        QVERIFY(closeRefused);
        // Rising through the chunks, never falling, and ending at 4056/4096.
        QVERIFY2(seen.size() >= 4, qPrintable(QString::number(seen.size())));
        for (std::size_t i = 1; i < seen.size(); ++i) QVERIFY(seen[i] > seen[i - 1]);
        QVERIFY(qAbs(seen.back() - 4056.0 / 4096.0 * 100.0) < 0.01);
        QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("shp.jpg"))).size(), qint64{4056});
    }

    void aCancelledTransferShowsTheClearingMessage() {
        // The scanner keeps shipping at its own pace; a cancel once the first
        // chunk is in makes the library empty the line while the rest still
        // comes, and the window tells the user so.
        std::vector<std::pair<int, Bytes>> steps{{50, imageHead(4096)}};
        for (int i = 0; i < 4056 / 24; ++i) steps.push_back({5, Bytes(24, 'd')});

        common.WaitState = Wait::Transfer;
        FrmProgress p(common);
        p.ComId = handle;
        p.load();
        p.show();
        double atCancel = -1;
        QTimer watch;
        watch.setInterval(5);
        connect(&watch, &QTimer::timeout, [&] {
            // The drain may be over within one 20 ms period, so the
            // window's tick is also run the moment the library is in it.
            if (ImageProgress(handle, nullptr, nullptr) == OMBRIX_IMAGE_FAILED) {
                p.Timer1_Timer();
            }
            if (atCancel < 0 && p.barValue() > 0) {
                atCancel = p.barValue();
                ComCancel(handle);
            }
        });
        watch.start();
        sendCommand();
        ship(std::move(steps));
        QString reply;
        const std::int16_t r =
            RecvImage(handle, dir.filePath(QStringLiteral("cut.jpg")), reply, 2046, 2);
        watch.stop();
        joinScanner();
        QCOMPARE(r, std::int16_t{OMBRIX_E_CANCELLED});
        QCOMPARE(p.LblMessage->text(), kClearingMessage);
        // The bar keeps what the transfer had reached, short of the end.
        QVERIFY(atCancel > 0);
        QVERIFY(p.barValue() >= atCancel);
        QVERIFY(p.barValue() < 99);
        // No truncated picture under the name asked for.
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("cut.jpg"))));

        // Loaded again for the next command, it starts from its design.
        p.unloadByProgram();
        p.load();
        QCOMPARE(p.LblMessage->text(), kTriggerPrompt);
        QCOMPARE(p.barValue(), 0.0);
        p.unloadByProgram();
    }

    void cancelWhileWaitingForTheTrigger() {
        common.WaitState = Wait::None;
        FrmProgress p(common);
        p.ComId = handle;
        p.load();
        p.show();
        QVERIFY(p.BtnWaitCancel->isEnabled());
        QTimer::singleShot(200, &p, [&] { QTest::mouseClick(p.BtnWaitCancel, Qt::LeftButton); });

        sendCommand();
        const auto start = std::chrono::steady_clock::now();
        QString reply;
        const std::int16_t r =
            RecvImage(handle, dir.filePath(QStringLiteral("never.jpg")), reply, 2046, 2);
        QCOMPARE(r, std::int16_t{OMBRIX_E_CANCELLED});
        QVERIFY(test::msSince(start) < 3000);
        QVERIFY(common.WaitState == Wait::CancelRequested);
        p.unloadByProgram();
    }
};

QTEST_MAIN(ProgressWindowTest)
#include "progress_window_test.moc"
