// A scanner on the network as a user reaches it: a port added in the
// connection dialog, opened through a real ser2net in front of the virtual
// scanner, a command in the terminal, and the server going away.
#include <unistd.h>

#include <QtTest>
#include <memory>

#include "app_start.h"
#include "binding.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "frm_netport.h"
#include "frm_terminal.h"
#include "portget.h"
#include "program_fixture.h"
#include "ser2net_server.h"
#include "vscanner/scanner.h"

using namespace tavorin;

class NetworkWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;
    RecordingDialog& boxes = program.boxes;
    std::unique_ptr<Common>& common = program.common;
    std::unique_ptr<FrmImage>& main = program.main;

  private slots:
    void initTestCase() {
        QVERIFY(program.start());
        installPump();
    }
    void cleanupTestCase() { program.stop(); }
    void init() { program.freshProgram(); }
    void cleanup() { program.closeProgram(); }

    void aPortAddedInTheDialogReachesTheScannerThroughSer2netUntilItStops() {
        vscanner::Options o;
        o.strictLine = vscanner::LineSettings{115200, 8, 'N', 1};
        vscanner::Scanner scanner(o);
        test::Ser2net server(scanner.devicePath(), test::Ser2net::Kind::Rfc2217);

        // The add dialog refuses a port that is no number, keeping the
        // focus there, then takes the right one.
        int added = 0;
        FrmComSetting& d = *main->ComSetForm[0];
        d.runNetPort = [&](FrmNetPort& n) {
            n.Form_Load();
            n.TxtNetHost->setText(QStringLiteral("127.0.0.1"));
            n.TxtNetPort->setText(QStringLiteral("port"));
            n.CmdOk_Click();
            if (n.addedCom() != 0 || boxes.messages.size() != 1) return 0;
            n.TxtNetPort->setText(QString::number(server.port()));
            n.CmdOk_Click();
            added = n.addedCom();
            return added;
        };
        const QString name = QString::fromStdString(server.url());
        main->ChkTermMinimum->setChecked(false);
        program.openSlot(0, [&](FrmComSetting& dialog) {
            dialog.MnuNetAdd->trigger();
            // Listed at once under the first number above the devices', and
            // chosen; only such a port may be removed.
            QCOMPARE(added, comsetting::kFirstNetworkCom);
            QCOMPARE(dialog.CmbPortNo->currentText(), name + QStringLiteral(" (COM100)"));
            QVERIFY(dialog.makePortMenu() && dialog.MnuNetRemove->isEnabled());
            dialog.lists[comsetting::Baud]->setCurrentIndex(9);
            // While another connection holds the port (a session ser2net
            // keeps after a cable pull), the server's refusal is told.
            const int holder = test::connectedTo(server.port());
            QVERIFY(holder >= 0);
            dialog.CmdOpen_Click();
            QCOMPARE(common->ComHandle[0], OMBRIX_E_NOT_OPEN);
            ::close(holder);
            QTest::qWait(100);
        });
        QCOMPARE(
            boxes.messages,
            (QStringList{QStringLiteral("ポート番号には１～６５５３５の数値を入力してください"),
                         QStringLiteral("ポートオープンエラー\nポートは他の接続が使用中です"
                                        "（サーバーの応答: Port already in use）")}));
        QVERIFY(common->ComHandle[0] >= 0);
        QCOMPARE(PortName(100), name);
        // The slot button shows the host and its TCP port, the scheme and
        // the number giving way; the tool tip the whole name.
        QPushButton* button = main->BtnComSetting[0];
        QCOMPARE(button->text(), name.mid(name.indexOf(QStringLiteral("://")) + 3));
        QCOMPARE(button->toolTip(), name + QStringLiteral(" (COM100)"));
        FrmTerminal& t = *main->TermForm[0];
        QVERIFY(t.isVisible());
        QCOMPARE(t.windowTitle(), name + QStringLiteral(" (COM100)"));

        // The strict scanner answers only at the speed the far line was set
        // to through the server.
        t.SerialCmnd->setText(QStringLiteral("BEPLVL?"));
        t.BtnSend_Click();
        QTRY_VERIFY_WITH_TIMEOUT(t.ResponseText->toPlainText().contains("BEPLVL2<ACK>."), 5000);

        // The server goes: one message, and the slot ends as for a scanner
        // that was pulled.
        const qsizetype shown = boxes.messages.size();
        server.stop();
        QTRY_VERIFY_WITH_TIMEOUT(common->ComHandle[0] < 0, 5000);
        QTest::qWait(300);
        QCOMPARE(boxes.messages.mid(shown), QStringList{QStringLiteral("通信エラー")});
        QCOMPARE(main->BtnComSetting[0]->text(), kIdleCaption);
        QVERIFY(!t.isVisible());

        // Removed from the list's menu, it is gone from the list.
        d.Form_Load();
        d.CmbPortNo->setCurrentIndex(test::ProgramFixture::entryFor(d, 100));
        d.MnuNetRemove->trigger();
        QCOMPARE(test::ProgramFixture::entryFor(d, 100), -1);
        QVERIFY(PortName(100).isEmpty() || !PortGet::isNetworkName(PortName(100)));
        d.CmdCancel_Click();
    }

    // A server that takes the connection and never answers holds the open
    // for its 5 s; the dialog's cancel ends it at once, silently.
    void theDialogsCancelEndsAnOpenThatWaitsForTheServer() {
        int port = 0;
        const int listener = test::loopbackSocket(4, port);
        QVERIFY(listener >= 0);
        const int com = PortAdd(QStringLiteral("rfc2217://127.0.0.1:%1").arg(port),
                                comsetting::kFirstNetworkCom);
        QVERIFY(com > 0);

        // Another slot holds a record, so the open takes the second one.
        vscanner::Scanner scanner{vscanner::Options{}};
        program.openSlotOn(scanner.com(), QStringLiteral("100"));
        QVERIFY(common->ComHandle[0] == 0);
        QElapsedTimer clock;
        program.openSlot(1, [&](FrmComSetting& d) {
            d.CmbPortNo->setCurrentIndex(test::ProgramFixture::entryFor(d, com));
            QTimer::singleShot(300, &d, [&d] { d.CmdCancel_Click(); });
            clock.start();
        });
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(common->ComHandle[1] < 0);
        QVERIFY(!main->ComSetForm[1]->isVisible());
        QVERIFY(boxes.messages.isEmpty());
        QVERIFY(common->ComHandle[0] == 0);
        QCOMPARE(RecvChk(0), 0);
        close(listener);
        PortRemove(com);
    }
};

QTEST_MAIN(NetworkWindowTest)
#include "network_window_test.moc"
