// The terminal's bench tools end to end, against a scanner the test plays
// on a pseudo-terminal: the command history, the session log (also into a
// full disk and across a vanished device), the display options (also where
// they cannot be saved) and the text boxes' menus.
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>
#include <memory>

#include "app_start.h"
#include "binding.h"
#include "common.h"
#include "dialog.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "frm_picture.h"
#include "frm_terminal.h"
#include "program_fixture.h"
#include "pty_peer.h"
#include "terminal_fixture.h"

using namespace tavorin;
using test::logLines;
using test::sendAndWait;

namespace {

constexpr int kCom = 231;

}  // namespace

class TerminalToolsWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;
    RecordingDialog& boxes = program.boxes;
    std::unique_ptr<Common>& common = program.common;
    std::unique_ptr<FrmImage>& main = program.main;
    std::unique_ptr<test::PtyPeer> peer;

    // A scanner that answers every command with its text, ACK and '.', an
    // IMGSHP with a small picture, and the trigger with a bar code.
    void playScanner() {
        peer = std::make_unique<test::PtyPeer>(*program.ports, kCom);
        const QByteArray jpeg = test::sampleJpeg();
        peer->setResponder([jpeg](const std::string& text, char end) -> test::Bytes {
            if (text == "BEPBEP?") return test::PtyPeer::standardGreeting();
            if (end == '\r') return text == "T" ? test::bytes("TAVORIN-0001\r") : test::Bytes{};
            if (text.rfind("IMGSHP", 0) == 0)
                return test::PtyPeer::imageReply("IMGSHP", test::Bytes(jpeg.begin(), jpeg.end()),
                                                 "IMGSHP\x06.");
            return test::bytes(text + "\x06.");
        });
    }

    FrmTerminal& openTerminal() {
        program.openSlotOn(kCom, "100");
        return *main->TermForm[0];
    }

    static bool ready(FrmTerminal& t) { return test::terminalReady(t); }
    bool unsolicited(FrmTerminal& t, const std::string& bytes) {
        return test::unsolicited(t, *peer, bytes);
    }

    // The items of the menu that `ask` opens, read while it is open (a
    // menu that runs its own loop is read from inside it); none when no
    // menu opened.
    static QStringList menuItems(const std::function<void()>& ask) {
        QStringList items;
        auto read = [&items] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu) return;
            for (QAction* a : menu->actions()) items << a->text();
            menu->close();
        };
        QTimer::singleShot(0, read);
        ask();
        read();
        QCoreApplication::processEvents();
        return items;
    }

  private slots:
    void initTestCase() {
        QVERIFY(program.start());
        installPump();
        QVERIFY2(installTranslations(*qobject_cast<QApplication*>(QCoreApplication::instance())),
                 "Qt's Japanese texts are installed");
    }
    void cleanupTestCase() { program.stop(); }
    void init() {
        QFile::remove(terminal::kDisplayOptionsFile);
        QDir().rmdir(terminal::kDisplayOptionsFile);
        program.freshProgram();
        playScanner();
    }
    void cleanup() {
        program.closeProgram();
        peer.reset();
    }

    void historyWalksTheSentCommandsLikeAShell() {
        FrmTerminal& t = openTerminal();
        for (const char* c : {"BEPLVL?", "DECHDR1", "TRGMOD?"}) QVERIFY(sendAndWait(t, c));
        t.SerialCmnd->setText("   ");
        t.BtnSend_Click();  // blank: nothing sent, nothing kept

        t.SerialCmnd->setText("IMG");  // half typed
        const QStringList walk = {"TRGMOD?", "DECHDR1", "BEPLVL?", "DECHDR1", "TRGMOD?", "IMG"};
        for (qsizetype i = 0; i < walk.size(); ++i) {  // three times Up, then Down
            QTest::keyClick(t.SerialCmnd, i < 3 ? Qt::Key_Up : Qt::Key_Down);
            QCOMPARE(t.SerialCmnd->text(), walk[i]);
        }

        // The slot's history outlives its connection.
        t.BtnComStop_Click();
        program.openSlotOn(kCom, "100");
        QVERIFY(t.SerialCmnd->text().isEmpty());
        QTest::keyClick(t.SerialCmnd, Qt::Key_Up);
        QCOMPARE(t.SerialCmnd->text(), QString("TRGMOD?"));
    }

    void theLogHoldsEveryExchangeInOrder() {
        FrmTerminal& t = openTerminal();
        const QString path = QDir::current().absoluteFilePath("session.txt");
        boxes.fileAnswers = {path};
        t.MnuLog->trigger();
        // Offered under its default name, where the program keeps its files.
        QCOMPARE(boxes.fileRequests.size(), std::size_t(1));
        const QString initial = boxes.fileRequests[0].initial;
        QVERIFY2(initial.contains(
                     QRegularExpression("^" + QRegularExpression::escape(QDir::currentPath()) +
                                        "/Tavorin_Log1_\\d{8}-\\d{6}\\.txt$")),
                 qPrintable(initial));
        QCOMPARE(t.MnuLog->text(), QString("ログ保存終了"));

        t.SerialCmnd->setText("BEPLVL?");
        t.BtnSend_Click();
        QCOMPARE(logLines(path).size(), 1);  // in the file before the reply is handled
        QVERIFY(QTest::qWaitFor([&] { return ready(t); }, 10000));
        t.BtnTrOn_Click();
        QVERIFY(QTest::qWaitFor([&] { return t.RecvText->blockCount() > 1 && ready(t); }, 10000));
        QVERIFY(sendAndWait(t, "IMGSHP6F"));
        main->pictureWindow().unloadByProgram();
        t.BtnComStop_Click();

        const QString image = QFileInfo(MakeImageFileName(0, "jpg")).absoluteFilePath();
        const QList<QStringList> expected = {
            {">", "<SYN>M<CR>BEPLVL?."},
            {"<", "BEPLVL?<ACK>."},
            {">", "<SYN>T<CR>"},
            {"<", "TAVORIN-0001<CR>"},
            {">", "<SYN>M<CR>IMGSHP6F."},
            {"<", "IMGSHP<ACK>.",
             QString("画像 %1 バイト %2").arg(QFileInfo(image).size()).arg(image)},
            {"-", "ログ終了: ターミナルを閉じました"},
        };
        const QList<QStringList> lines = logLines(path);
        QCOMPARE(lines.size(), expected.size());
        QList<QDateTime> times;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            QCOMPARE(lines[i].mid(1), QStringList{common->ComCaption[0]} + expected[i]);
            times << QDateTime::fromString(lines[i][0], "yyyy-MM-dd HH:mm:ss.zzz");
            QVERIFY2(times[i].isValid() && (i == 0 || times[i - 1] <= times[i]),
                     qPrintable(lines[i][0]));
        }
        QVERIFY(times.first() < times.last());

        // A device that goes ends the log with that reason.
        program.openSlotOn(kCom, "100");
        boxes.fileAnswers = {path};
        t.MnuLog->trigger();
        peer->hangUp();
        QVERIFY(QTest::qWaitFor([&] { return !t.isLoaded(); }, 10000));
        const QList<QStringList> ended = logLines(path);
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended[0].mid(1),
                 (QStringList{common->ComCaption[0], "-", "ログ終了: 通信エラー"}));
    }

    void aLogThatCannotBeWrittenIsToldOnceAndTheTerminalGoesOn() {
        FrmTerminal& t = openTerminal();
        boxes.fileAnswers = {"/nonexistent-folder/log.txt", "/dev/full"};
        t.MnuLog->trigger();
        QCOMPARE(boxes.messages, QStringList{"ファイルエラー"});

        t.MnuLog->trigger();
        QVERIFY(t.logRunning());
        QVERIFY(sendAndWait(t, "BEPLVL?"));
        QVERIFY(unsolicited(t, "ABC\r"));
        QVERIFY(unsolicited(t, "DEF\r"));
        QCOMPARE(boxes.messages, (QStringList{"ファイルエラー", "ファイルエラー"}));
        QCOMPARE(t.MnuLog->text(), QString("ログ保存開始…"));
        QCOMPARE(t.ResponseText->toPlainText(), QString("BEPLVL?<ACK>."));
        QCOMPARE(t.RecvText->toPlainText(), QString("ABC<CR>\nDEF<CR>\n"));
    }

    void aLogOnAFullDiskEndsWithItsLastWholeLine() {
        // A small file system of the test's own, which the log fills.
        QTemporaryDir mountPoint;
        QVERIFY(mountPoint.isValid());
        struct Mount {
            QString at;
            bool done = QProcess::execute(
                            "mount", {"-t", "tmpfs", "-o", "size=16k", "tavorin-full", at}) == 0;
            ~Mount() {
                if (done) QProcess::execute("umount", {at});
            }
        } mount{mountPoint.path()};
        QVERIFY2(mount.done, "a tmpfs can be mounted (the tests run as root)");

        FrmTerminal& t = openTerminal();
        const QString path = QDir(mountPoint.path()).filePath("log.txt");
        boxes.fileAnswers = {path};
        t.MnuLog->trigger();
        // Lines of some 1,050 bytes: the disk runs full in the middle of one.
        const std::string scan = std::string(1000, 'X') + "\r";
        for (int k = 0; k < 30 && t.logRunning(); ++k) QVERIFY(unsolicited(t, scan));
        QVERIFY(!t.logRunning());
        QTRY_COMPARE(boxes.messages, QStringList{"ファイルエラー"});

        QFile log(path);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(text.endsWith('\n'));
        const QList<QStringList> lines = logLines(path);
        QVERIFY(lines.size() > 5);
        for (const QStringList& line : lines)
            QCOMPARE(line.mid(2), (QStringList{"<", QString(1000, 'X') + "<CR>"}));
    }

    void aDisplayChoiceThatCannotBeSavedIsToldOnce() {
        // A folder stands where the options file would.
        QVERIFY(QDir().mkdir(terminal::kDisplayOptionsFile));
        FrmTerminal& t = openTerminal();
        t.MnuTimestamp->trigger();
        t.MnuHex->trigger();
        QCOMPARE(boxes.messages.size(), 1);
        QVERIFY(
            boxes.messages[0].contains(QDir::current().absoluteFilePath("Tavorin_Terminal.ini")));
        QVERIFY(boxes.messages[0].contains("保存できません"));
        // The choice still holds for this connection.
        QVERIFY(unsolicited(t, "A"));
        QVERIFY(t.RecvText->toPlainText().contains(QRegularExpression("^\\[[0-9:.]{12}\\] 41\n$")));
        QVERIFY(QDir().rmdir(terminal::kDisplayOptionsFile));
    }

    void displayOptionsChangeOnlyNewBlocksAndAreRemembered() {
        FrmTerminal& t = openTerminal();
        auto settings = [] {
            QFile f(kSettingsFile);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("none");
        };
        const QByteArray settingsBefore = settings();
        // Everything off: the box shows what it always showed.
        QVERIFY(!t.MnuTimestamp->isChecked() && !t.MnuHex->isChecked());
        QVERIFY(unsolicited(t, "12\x02\x7F\x1B\r"));
        const QString plain = "12<02>\x7F<1B><CR>\n";
        QCOMPARE(t.RecvText->toPlainText(), plain);

        // Each option changes only the blocks read after it was set; a
        // stamp is the time the block's first byte was read.
        t.MnuTimestamp->trigger();
        const QTime before = QTime::currentTime();
        QVERIFY(unsolicited(t, "XYZ\r"));
        const QTime after = QTime::currentTime();
        t.MnuHex->trigger();
        QVERIFY(unsolicited(t, "0123456789ABCDEF\r\n"));
        const QString shown = t.RecvText->toPlainText();
        const QRegularExpressionMatch m =
            QRegularExpression("^" + QRegularExpression::escape(plain) +
                               "\\[(\\d\\d:\\d\\d:\\d\\d\\.\\d{3})\\] XYZ<CR>\n"
                               "\\[[0-9:.]{12}\\] 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46\n"
                               "0D 0A\n$")
                .match(shown);
        QVERIFY2(m.hasMatch(), qPrintable(shown));
        const QTime stamp = QTime::fromString(m.captured(1), "HH:mm:ss.zzz");
        QVERIFY(before <= stamp && stamp <= after);

        // Remembered beside the settings file, which stays as it was, and
        // restored by the next connection.
        QCOMPARE(settings(), settingsBefore);
        t.BtnComStop_Click();
        program.openSlotOn(kCom, "100");
        QVERIFY(t.MnuTimestamp->isChecked() && t.MnuHex->isChecked());
        t.MnuTimestamp->trigger();
        t.MnuHex->trigger();
        QCOMPARE(terminal::loadDisplayOptions(), terminal::DisplayOptions{});
    }

    void theMenusKeepQtsItemsAndOpenFromTheKeyboard() {
        FrmTerminal& t = openTerminal();
        FrmComSetting& d = *main->ComSetForm[0];
        const QStringList data{"ログ保存開始…", "時刻表示", "16進表示"};
        const QStringList port{d.MnuNetAdd->text(), d.MnuNetRemove->text()};
        for (auto [target, ours] : {std::pair<QWidget*, QStringList>{t.RecvText, data},
                                    {t.ResponseText, data.mid(0, 1)},
                                    {d.CmbPortNo, port}}) {
            // Shift+F10, the context-menu key, and the menu request some
            // platforms make of that key instead.
            for (int how = 0; how < 3; ++how) {
                const QStringList items = menuItems([target, how] {
                    if (how < 2) {
                        QTest::keyClick(target, how ? Qt::Key_Menu : Qt::Key_F10,
                                        how ? Qt::NoModifier : Qt::ShiftModifier);
                        return;
                    }
                    QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(), QPoint());
                    QApplication::sendEvent(target, &request);
                });
                QVERIFY2(items.filter("コピー").size() == 1, qPrintable(items.join(" | ")));
                QCOMPARE(items.mid(items.size() - ours.size()), ours);
            }
        }
    }
};

QTEST_MAIN(TerminalToolsWindowTest)
#include "terminal_tools_window_test.moc"
