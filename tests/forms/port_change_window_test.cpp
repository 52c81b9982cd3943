// Scanners that go and come back: a terminal whose device hangs up ends its
// slot and keeps quiet, the slot opens again on a new device, and the
// connection dialog's list follows the ports while it is open.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <chrono>
#include <cstdio>
#include <memory>

#include "app_start.h"
#include "binding.h"
#include "common.h"
#include "dialog.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "frm_terminal.h"
#include "portget.h"
#include "program_fixture.h"

using namespace tavorin;

namespace {

constexpr int kCom = 211;

// The share of one core the process used while its event loop ran for
// `ms` with nothing to do but what the program itself keeps doing.
double cpuShareWhileIdle(int ms) {
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    getrusage(RUSAGE_SELF, &after);
    auto us = [](const timeval& t) { return t.tv_sec * 1000000.0 + t.tv_usec; };
    const double used =
        us(after.ru_utime) - us(before.ru_utime) + us(after.ru_stime) - us(before.ru_stime);
    return used / (test::msSince(start) * 1000.0);
}

}  // namespace

class PortChangeWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;
    RecordingDialog& boxes = program.boxes;
    std::unique_ptr<Common>& common = program.common;
    std::unique_ptr<FrmImage>& main = program.main;

    static int selectedCom(FrmComSetting& d) {
        const int at = FrmComSetting::position(d.CmbPortNo);
        return at < 0 ? 0 : d.CmbPortNo->itemData(at).toInt();
    }

  private slots:
    void initTestCase() {
        QVERIFY(program.start());
        installPump();
    }
    void cleanupTestCase() { program.stop(); }
    void init() {
        QFile::remove(kSettingsFile);
        program.freshProgram();
    }
    void cleanup() {
        program.closeProgram();
        PortGet::resetSources();
    }

    void anIdleTerminalWhoseScannerHangsUpEndsItsSlotOnce() {
        auto peer = std::make_unique<test::PtyPeer>(*program.ports, kCom);
        program.openSlotOn(kCom, "100");
        FrmTerminal& t = *main->TermForm[0];
        QVERIFY(common->ComHandle[0] >= 0);
        const QString setting = common->ComSetting[0];
        const QString description = t.LblSetting->text();
        const qsizetype shown = boxes.messages.size();

        peer->hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(common->ComHandle[0] < 0, 2000);
        QCOMPARE(boxes.messages.mid(shown), QStringList{QStringLiteral("通信エラー")});
        QCOMPARE(main->BtnComSetting[0]->text(), kIdleCaption);
        QVERIFY(!t.isVisible());
        QVERIFY(!t.RecvTimer.isActive());

        // Nothing keeps looking at the dead port afterwards.
        const double share = cpuShareWhileIdle(1000);
        qInfo("CPU while idle after the hang-up: %.3f %% of a core", share * 100);
        QVERIFY2(share < 0.01, qPrintable(QString("%1 % of a core").arg(share * 100)));
        QCOMPARE(boxes.messages.size(), shown + 1);

        // The scanner comes back (a new device under the same number): the
        // dialog offers it with everything the slot had, and it works.
        peer.reset();
        peer = std::make_unique<test::PtyPeer>(*program.ports, kCom);
        program.openSlot(0, {});
        QVERIFY(common->ComHandle[0] >= 0);
        QCOMPARE(common->ComSetting[0], setting);
        QCOMPARE(t.LblSetting->text(), description);
        QVERIFY(t.isVisible());
        peer->send("ABC\r");
        QTRY_VERIFY_WITH_TIMEOUT(t.RecvText->toPlainText().contains("ABC<CR>"), 5000);
        QCOMPARE(boxes.messages.size(), shown + 1);
    }

    void aScannerThatHangsUpInTheMiddleOfAReplyIsToldOnce() {
        auto peer = std::make_unique<test::PtyPeer>(*program.ports, kCom);
        // The reply starts and then the line goes dead.
        peer->setResponder([](const std::string& text, char) -> test::Bytes {
            if (text == "BEPBEP?") return test::PtyPeer::standardGreeting();
            return test::bytes("P1");
        });
        program.openSlotOn(kCom, "100");
        FrmTerminal& t = *main->TermForm[0];
        QVERIFY(common->ComHandle[0] >= 0);
        const qsizetype shown = boxes.messages.size();
        // The hang-up comes through the event loop that the library runs
        // while the terminal waits for the rest of the reply (up to a
        // second of silence), so that it lands inside the read.
        bool duringRead = false;
        QTimer::singleShot(400, [&] {
            duringRead = !t.RecvTimer.isActive() && t.RecvMode == terminal::RecvMode::Response;
            peer->hangUp();
        });
        t.SerialCmnd->setText("BEPLVL?");
        t.BtnSend_Click();
        QTRY_VERIFY_WITH_TIMEOUT(common->ComHandle[0] < 0, 3000);
        QVERIFY(duringRead);
        QTest::qWait(300);
        QCOMPARE(boxes.messages.mid(shown), QStringList{QStringLiteral("通信エラー")});
        QCOMPARE(main->BtnComSetting[0]->text(), kIdleCaption);
    }

    void theDialogsListFollowsAliasesWhileItIsOpen() {
        test::PtyPeer first(*program.ports, kCom);
        FrmComSetting& d = *main->ComSetForm[0];
        d.Form_Load();
        QVERIFY(test::ProgramFixture::entryFor(d, kCom) >= 0);
        // The user picks the scanner; the list then changes under the choice.
        d.CmbPortNo->setCurrentIndex(test::ProgramFixture::entryFor(d, kCom));

        auto second = std::make_unique<test::PtyPeer>(*program.ports, kCom + 1);
        QTRY_VERIFY_WITH_TIMEOUT(test::ProgramFixture::entryFor(d, kCom + 1) >= 0, 500);
        QCOMPARE(selectedCom(d), kCom);
        QFile::remove(QString::fromStdString(program.ports->aliasPath(kCom + 1)));
        QTRY_VERIFY_WITH_TIMEOUT(test::ProgramFixture::entryFor(d, kCom + 1) < 0, 500);
        QCOMPARE(selectedCom(d), kCom);

        // The chosen port goes away for a while and comes back chosen.
        QFile::remove(QString::fromStdString(program.ports->aliasPath(kCom)));
        QTRY_VERIFY_WITH_TIMEOUT(test::ProgramFixture::entryFor(d, kCom) < 0, 500);
        program.ports->alias(kCom, first.slavePath());
        QTRY_VERIFY_WITH_TIMEOUT(test::ProgramFixture::entryFor(d, kCom) >= 0, 500);
        QCOMPARE(selectedCom(d), kCom);

        // Closed, the dialog watches nothing: the list stays as it was.
        d.CmdCancel_Click();
        const int entries = d.CmbPortNo->count();
        second = std::make_unique<test::PtyPeer>(*program.ports, kCom + 2);
        QTest::qWait(300);
        QCOMPARE(d.CmbPortNo->count(), entries);

        // A port directory others may write to counts for nothing, and the
        // dialog says why under everything else; it looks as always again
        // once the directory is private.
        const QSize size = d.size();
        const QByteArray folder = QFile::encodeName(PortFolder());
        QCOMPARE(chmod(folder.constData(), 0777), 0);
        d.Form_Load();
        QCOMPARE(test::ProgramFixture::entryFor(d, kCom), -1);
        QVERIFY(d.LblPortFolder->isVisibleTo(&d));
        QVERIFY(d.LblPortFolder->text().contains(
            QStringLiteral("%1 は他のユーザーも書き込めるため使用しません").arg(PortFolder())));
        QVERIFY(d.height() > size.height());
        QVERIFY(d.LblPortFolder->geometry().bottom() < d.height());
        QCOMPARE(chmod(folder.constData(), 0700), 0);
        d.Form_Load();
        QVERIFY(test::ProgramFixture::entryFor(d, kCom) >= 0);
        QVERIFY(!d.LblPortFolder->isVisibleTo(&d));
        QCOMPARE(d.size(), size);
        d.CmdCancel_Click();
    }

    void theDialogsListFollowsDeviceNodes() {
        // A device folder of the test's own: a node made there appears in
        // the list as the kernel's would.
        QTemporaryDir root;
        QVERIFY(QDir().mkpath(root.filePath("dev")));
        QVERIFY(QDir().mkpath(root.filePath("sys")));
        PortGet::Sources s;
        s.devRoot = root.path();
        s.sysRoot = root.filePath("sys");
        s.pathOf = [](int com) {
            return com >= 33 && com <= 64 ? QString("/dev/ttyUSB%1").arg(com - 33) : QString();
        };
        PortGet::setSources(s);
        FrmComSetting& d = *main->ComSetForm[0];
        d.Form_Load();
        QCOMPARE(d.CmbPortNo->count(), 0);

        // A real character node where the test may make one, else a plain
        // file, which the fake tree takes for one.
        const QByteArray node = QFile::encodeName(root.filePath("dev/ttyUSB1"));
        if (mknod(node.constData(), S_IFCHR | 0600, makedev(188, 1)) != 0) {
            QFile f(QString::fromLocal8Bit(node));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QTRY_COMPARE_WITH_TIMEOUT(d.CmbPortNo->count(), 1, 500);
        QCOMPARE(d.CmbPortNo->itemText(0), QString("USB serial port (ttyUSB1) (COM34)"));
        QCOMPARE(selectedCom(d), 34);
        QVERIFY(QFile::remove(QString::fromLocal8Bit(node)));
        QTRY_COMPARE_WITH_TIMEOUT(d.CmbPortNo->count(), 0, 500);
        d.CmdCancel_Click();
    }
};

QTEST_MAIN(PortChangeWindowTest)
#include "port_change_window_test.moc"
