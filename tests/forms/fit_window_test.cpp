// What a user meets in the windows around the image tabs: the terminal's
// Enter key and window state, the slot button's caption, the time-out box,
// Qt's own buttons in Japanese, and windows whose captions can all be read.
#include <QFile>
#include <QMessageBox>
#include <QtTest>
#include <memory>

#include "app_start.h"
#include "binding.h"
#include "common.h"
#include "comsetting_logic.h"
#include "dialog.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "frm_progress.h"
#include "frm_terminal.h"
#include "layout_check.h"
#include "program_fixture.h"
#include "qt_dialog.h"
#include "vscanner/scanner.h"

using namespace tavorin;

class FitWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;
    RecordingDialog& boxes = program.boxes;
    std::unique_ptr<Common>& common = program.common;
    std::unique_ptr<FrmImage>& main = program.main;

    void openSlot(int com, const QString& timeout = "1000") { program.openSlotOn(com, timeout); }

  private slots:
    void initTestCase() {
        applyProgramFont(*qApp);
        QVERIFY(installTranslations(*qApp));
        QVERIFY(program.start());
        installPump();
    }
    void cleanupTestCase() { program.stop(); }
    void init() {
        QFile::remove(kSettingsFile);
        program.freshProgram();
    }
    void cleanup() { program.closeProgram(); }

    void enterSendsNothingWhileACommandAwaitsItsReply() {
        vscanner::Options o;
        o.fault = vscanner::Fault::Slow;
        o.slowMs = 1500;
        vscanner::Scanner scanner(o);
        openSlot(scanner.com());
        FrmTerminal& t = *main->TermForm[0];
        t.SerialCmnd->setText("BEPLVL?");
        QTest::keyClick(t.SerialCmnd, Qt::Key_Return);
        QTRY_COMPARE(scanner.commandsServed(), std::uint64_t(2));  // greeting, command
        QVERIFY(!t.BtnSend->isEnabled());
        t.SerialCmnd->setText("BEPLVL2");
        QTest::keyClick(t.SerialCmnd, Qt::Key_Return);
        QTest::qWait(300);
        QCOMPARE(scanner.commandsServed(), std::uint64_t(2));
        QVERIFY(t.RecvMode == terminal::RecvMode::Response);
        QTRY_VERIFY_WITH_TIMEOUT(t.BtnSend->isEnabled(), 5000);
    }

    void theSlotButtonKeepsItsTerminalsStateAndShowsTheComNumber() {
        vscanner::Scanner scanner({});
        openSlot(scanner.com());
        QPushButton* button = main->BtnComSetting[0];
        const QString full = common->ComCaption[0];
        const QString end = QString("(COM%1)").arg(scanner.com());
        QVERIFY(full.endsWith(end));
        QVERIFY2(button->text().endsWith(end), qPrintable(button->text()));
        QCOMPARE(button->toolTip(), full);
        QVERIFY(button->fontMetrics().horizontalAdvance(button->text()) < button->width());

        FrmTerminal& t = *main->TermForm[0];
        t.showMaximized();
        main->BtnComSetting_Click(0);  // the current slot: bring its terminal back
        QVERIFY(t.isMaximized());
        t.showMinimized();
        main->BtnComSetting_Click(0);
        QVERIFY(!t.isMinimized());
    }

    void aTimeOutTheBoxCannotShowIsNotUsed() {
        vscanner::Scanner scanner({});
        openSlot(scanner.com(), "1e6");
        QCOMPARE(boxes.messages, QStringList{localized(comsetting::kTimeoutNotNumber)});
        QCOMPARE(common->ComHandle[0], -1);
        QVERIFY(common->ComSetting[0].isEmpty());
    }

    void qtsOwnButtonsSpeakJapaneseWithoutIcons() {
        QtDialog real;
        bool checked = false;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            QCOMPARE(box->windowTitle(), kProgramTitle);
            QCOMPARE(box->button(QMessageBox::Cancel)->text(), QString("キャンセル"));
            QVERIFY(box->button(QMessageBox::Ok)->icon().isNull());
            QVERIFY(box->button(QMessageBox::Cancel)->icon().isNull());
            QVERIFY(box->iconPixmap().isNull());
            checked = true;
            box->button(QMessageBox::Cancel)->click();
        });
        QVERIFY(!real.question(QStringLiteral("通信を終了しますか？")));
        QVERIFY(checked);

        // A box with a short text still leaves its title bar room for the
        // title beside the frame's buttons.
        int width = 0, need = 0;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            width = box->width();
            need = box->fontMetrics().horizontalAdvance(kProgramTitle) +
                   3 * box->style()->pixelMetric(QStyle::PM_TitleBarHeight);
            box->button(QMessageBox::Ok)->click();
        });
        real.message(QStringLiteral("通信エラー"));
        QVERIFY2(width >= need, qPrintable(QString("%1 < %2").arg(width).arg(need)));
    }

    void everyWindowShowsEveryCaptionWhole() {
        vscanner::Scanner scanner({});
        openSlot(scanner.com());
        QVERIFY(QTest::qWaitForWindowExposed(main.get()));
        QStringList faults;
        auto check = [&](const QString& name, QWidget* w) {
            QCoreApplication::processEvents();
            for (const QString& f : test::layoutFaults(w)) faults << name + ": " + f;
        };
        check("main window", main.get());

        FrmComSetting& d = *main->ComSetForm[1];
        d.Form_Load();
        d.show();
        check("connection dialog", &d);
        d.hide();

        FrmTerminal& t = *main->TermForm[0];
        t.showNormal();
        check("terminal", &t);

        FrmProgress& p = main->progressWindow();
        p.showFor(-1, kPleaseWait);
        check("progress window", &p);
        p.unloadByProgram();
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join("\n")));
    }
};

QTEST_MAIN(FitWindowTest)
#include "fit_window_test.moc"
