// The program's windows end to end: the main window, the connection dialog
// and the terminal against the real library and an in-process virtual
// scanner, every box answered through the dialog seam.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "binding.h"
#include "common.h"
#include "dialog.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "frm_terminal.h"
#include "program_fixture.h"
#include "vscanner/scanner.h"

using namespace tavorin;

class ProgramWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;
    std::unique_ptr<vscanner::Scanner> scanner;
    RecordingDialog& boxes = program.boxes;
    std::unique_ptr<Common>& common = program.common;
    std::unique_ptr<FrmImage>& main = program.main;

    void openSlot(int slot, std::function<void(FrmComSetting&)> work = {}) {
        program.openSlot(slot, std::move(work));
    }
    int scannerEntry(FrmComSetting& d) { return test::ProgramFixture::entryFor(d, scanner->com()); }

    static bool isBold(QPushButton* b) { return b->font().bold(); }

  private slots:
    void initTestCase() {
        QVERIFY(program.start());
        vscanner::Options o;
        o.barcode = "TAVORIN-0001";
        scanner = std::make_unique<vscanner::Scanner>(o);
    }

    void cleanupTestCase() {
        scanner.reset();
        program.stop();
    }

    void init() {
        QFile::remove(kSettingsFile);
        program.freshProgram();
    }

    void cleanup() { program.closeProgram(); }

    void startStateAndDialogPreselection() {
        for (QPushButton* b : main->BtnComSetting) {
            QCOMPARE(b->text(), kIdleCaption);
            QVERIFY(!isBold(b));
        }
        QCOMPARE(common->ComHandle[0], -1);
        QVERIFY(main->ChkTermMinimum->isChecked());  // no settings file: not "0"

        FrmComSetting& d = *main->ComSetForm[0];
        d.Form_Load();
        QVERIFY(scannerEntry(d) >= 0);
        QCOMPARE(d.CmbPortNo->currentIndex(), 0);
        QCOMPARE(d.lists[comsetting::Baud]->currentText(), QString("300 bps"));
        QCOMPARE(d.lists[comsetting::DataBits]->currentText(), QString("７ビット"));
        QCOMPARE(d.lists[comsetting::StopBits]->currentText(), QString("１ビット"));
        for (auto l :
             {comsetting::Parity, comsetting::Flow, comsetting::Prefix, comsetting::Postfix}) {
            QCOMPARE(d.lists[l]->currentText(), QString("なし"));
        }
        QCOMPARE(d.TxtTimeout->text(), QString("100"));
    }

    void timeoutTextsAndRefusals() {
        FrmComSetting& d = *main->ComSetForm[0];
        d.Form_Load();
        d.CmbPortNo->setCurrentIndex(scannerEntry(d));
        for (const char* bad : {"abc", ""}) {
            d.TxtTimeout->setText(bad);
            d.CmdOpen_Click();
            QCOMPARE(boxes.messages.last(), QString("タイムアウトには数値を入力してください"));
            QVERIFY(common->ComHandle[0] < 0);
        }
        d.TxtTimeout->setText("0.4");
        d.CmdOpen_Click();
        QCOMPARE(d.TxtTimeout->text(), QString("0"));
        QCOMPARE(boxes.messages.last(), QString("タイムアウトには１以上の数値を入力してください"));
        QVERIFY(common->ComHandle[0] < 0);

        // Typed text in the port list selects no port.
        d.CmbPortNo->setEditText("COM99 typed");
        d.TxtTimeout->setText("100");
        d.CmdOpen_Click();
        QCOMPARE(boxes.messages.last(), QString("ポートを選択してください"));
        QVERIFY(common->ComHandle[0] < 0);
    }

    void openShowsTheSlotAndTheTerminal() {
        main->ChkTermMinimum->setChecked(true);
        openSlot(1, [&](FrmComSetting& d) {
            d.CmbPortNo->setCurrentIndex(scannerEntry(d));
            d.lists[comsetting::Baud]->setCurrentIndex(9);
            d.lists[comsetting::DataBits]->setCurrentIndex(1);
            d.lists[comsetting::Flow]->setCurrentIndex(3);
            d.TxtTimeout->setText("1.5");
        });
        QVERIFY(common->ComHandle[1] >= 0);
        QCOMPARE(main->ComSetForm[1]->TxtTimeout->text(), QString("2"));
        QCOMPARE(main->BtnComSetting[1]->toolTip(), common->ComCaption[1]);
        QVERIFY(common->ComCaption[1].endsWith(QString("(COM%1)").arg(scanner->com())));
        QVERIFY(isBold(main->BtnComSetting[1]));
        QVERIFY(!isBold(main->BtnComSetting[0]));
        QCOMPARE(main->CurIdx, short(1));
        FrmTerminal& t = *main->TermForm[1];
        QVERIFY(t.isVisible());
        QVERIFY(t.windowState() & Qt::WindowMinimized);
        QCOMPARE(t.windowTitle(), common->ComCaption[1]);
        QCOMPARE(t.LblSetting->text(),
                 QString("115.2Kbps,8bit,1,NONE,RTS/CTS&&XON/XOFF,<>-<>, TIMEOUT-2(ms)"));
        QCOMPARE(common->ComSetting[1], QString("%1,9,1,0,0,3,0,0,2").arg(scanner->com()));

        // A second open of the same port fails in the dialog of another slot,
        // which stays as it was; the message says why.
        openSlot(2, [&](FrmComSetting& d) { d.CmbPortNo->setCurrentIndex(scannerEntry(d)); });
        QCOMPARE(boxes.messages.last(),
                 QString("ポートオープンエラー\nポートは他のプログラムが使用中です"));
        QVERIFY(common->ComHandle[2] < 0);
        QCOMPARE(main->BtnComSetting[2]->text(), kIdleCaption);
        QCOMPARE(main->CurIdx, short(1));
        main->ComSetForm[2]->CmdCancel_Click();
        QCOMPARE(common->ComHandle[2], -1);
    }

    void terminalTalksToTheScanner() {
        main->ChkTermMinimum->setChecked(false);
        openSlot(0, [&](FrmComSetting& d) { d.CmbPortNo->setCurrentIndex(scannerEntry(d)); });
        FrmTerminal& t = *main->TermForm[0];
        QVERIFY(t.isVisible());
        QVERIFY(!(t.windowState() & Qt::WindowMinimized));

        // A blank command sends nothing.
        t.SerialCmnd->setText("   ");
        t.BtnSend_Click();
        QVERIFY(t.BtnSend->isEnabled());
        QVERIFY(t.RecvMode == terminal::RecvMode::Unsolicited);

        t.SerialCmnd->setText("  BEPLVL?  ");
        t.BtnSend_Click();
        QCOMPARE(t.SerialCmnd->text(), QString("BEPLVL?"));
        QVERIFY(t.RecvMode == terminal::RecvMode::Response);
        QVERIFY(!t.BtnSend->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(t.ResponseText->toPlainText().contains("<ACK>"), 5000);
        QVERIFY(t.BtnSend->isEnabled());
        QVERIFY(t.RecvMode == terminal::RecvMode::Unsolicited);

        t.BtnTrOn_Click();
        QTRY_VERIFY_WITH_TIMEOUT(t.RecvText->toPlainText().contains("TAVORIN-0001<CR>"), 5000);
        t.BtnTrOff_Click();
        t.BtnClear_Click();
        QVERIFY(t.RecvText->toPlainText().isEmpty());

        // The close box asks: Cancel keeps the port, OK frees the slot.
        boxes.questionAnswers = {false, true};
        t.requestClose(UnloadMode::UserClose);
        QCOMPARE(boxes.questions.last(), QString("通信を終了しますか？"));
        QVERIFY(t.isVisible());
        QVERIFY(common->ComHandle[0] >= 0);
        t.requestClose(UnloadMode::UserClose);
        QVERIFY(!t.isVisible());
        QCOMPARE(common->ComHandle[0], -1);
        QCOMPARE(main->BtnComSetting[0]->text(), kIdleCaption);
        QVERIFY(!isBold(main->BtnComSetting[0]));

        // "通信終了" closes without a question; the port can be opened again.
        openSlot(0, [&](FrmComSetting& d) { d.CmbPortNo->setCurrentIndex(scannerEntry(d)); });
        QVERIFY(common->ComHandle[0] >= 0);
        int asked = boxes.questions.size();
        t.BtnComStop_Click();
        QCOMPARE(boxes.questions.size(), asked);
        QCOMPARE(common->ComHandle[0], -1);
    }

    void currentSlotRules() {
        // Slot 0 open (current), then a second scanner on slot 1.
        vscanner::Scanner second{vscanner::Options{}};
        auto entryFor = &test::ProgramFixture::entryFor;
        main->ChkTermMinimum->setChecked(true);
        openSlot(0, [&](FrmComSetting& d) {
            d.CmbPortNo->setCurrentIndex(entryFor(d, scanner->com()));
        });
        openSlot(
            1, [&](FrmComSetting& d) { d.CmbPortNo->setCurrentIndex(entryFor(d, second.com())); });
        QCOMPARE(main->CurIdx, short(1));
        FrmTerminal& t0 = *main->TermForm[0];
        QVERIFY(t0.windowState() & Qt::WindowMinimized);

        // A first click on open slot 0 only makes it current.
        main->BtnComSetting_Click(0);
        QCOMPARE(main->CurIdx, short(0));
        QVERIFY(isBold(main->BtnComSetting[0]));
        QVERIFY(!isBold(main->BtnComSetting[1]));
        QVERIFY(t0.windowState() & Qt::WindowMinimized);
        // A second click brings its terminal back.
        main->BtnComSetting_Click(0);
        QVERIFY(!(t0.windowState() & Qt::WindowMinimized));

        // Cancelling an idle slot's dialog changes nothing.
        main->runDialog = [](FrmComSetting& d) {
            d.Form_Load();
            d.CmdCancel_Click();
        };
        main->BtnComSetting_Click(2);
        QCOMPARE(main->CurIdx, short(0));
        QVERIFY(isBold(main->BtnComSetting[0]));
        QCOMPARE(main->BtnComSetting[2]->text(), kIdleCaption);
        main.reset();  // closes every port before the second scanner goes
    }

    void closingWritesSettingsAndARestartPreselectsThem() {
        main->ChkTermMinimum->setChecked(false);
        openSlot(2, [&](FrmComSetting& d) {
            d.CmbPortNo->setCurrentIndex(scannerEntry(d));
            d.lists[comsetting::Baud]->setCurrentIndex(5);
            d.lists[comsetting::Postfix]->setCurrentIndex(3);
            d.lists[comsetting::Flow]->setEditText("typed");
            d.TxtTimeout->setText("250");
        });
        QVERIFY(common->ComHandle[2] >= 0);
        QCOMPARE(main->TermForm[2]->LblSetting->text(),
                 QString("9600bps,7bit,1,NONE,FLOW-NONE,<>-<CR><LF>, TIMEOUT-250(ms)"));

        // The user's close box is refused while an image transfer runs.
        common->WaitState = Wait::Transfer;
        main->requestClose(UnloadMode::UserClose);
        QVERIFY(main->isVisible());
        common->WaitState = Wait::None;
        main->requestClose(UnloadMode::UserClose);
        QVERIFY(!main->isVisible());
        QCOMPARE(common->ComHandle[2], -1);

        QFile f(kSettingsFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.size(), 10);  // nine lines ended by CR LF
        QCOMPARE(lines[2], QByteArray("SCANNER3=") + QByteArray::number(scanner->com()) +
                               ",5,0,0,0,-1,0,3,250\r");
        QCOMPARE(lines[3], QByteArray("SYSSET=V1.00 0\r"));

        // A restart reads them back and preselects the stored positions.
        main.reset();
        common = std::make_unique<Common>();
        main = std::make_unique<FrmImage>(*common);
        QVERIFY(!main->ChkTermMinimum->isChecked());
        FrmComSetting& d = *main->ComSetForm[2];
        d.Form_Load();
        QCOMPARE(d.CmbPortNo->itemData(d.CmbPortNo->currentIndex()).toInt(), scanner->com());
        QCOMPARE(d.lists[comsetting::Baud]->currentIndex(), 5);
        QCOMPARE(d.lists[comsetting::Flow]->currentIndex(), -1);
        QCOMPARE(d.lists[comsetting::Postfix]->currentIndex(), 3);
        QCOMPARE(d.TxtTimeout->text(), QString("250"));
    }
};

QTEST_MAIN(ProgramWindowTest)
#include "program_window_test.moc"
