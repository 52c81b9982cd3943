// The terminal's bench tools end to end, against a scanner the test plays
// on a pseudo-terminal: the command history, the session log (also into a
// full disk and across a vanished device), the display options and the
// text boxes' menus.
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QRegularExpression>
#include <QtTest>
#include <memory>

#include "app_start.h"
#include "binding.h"
#include "common.h"
#include "dialog.h"
#include "frm_image.h"
#include "frm_picture.h"
#include "frm_terminal.h"
#include "program_fixture.h"
#include "pty_peer.h"

using namespace tavorin;

namespace {

constexpr int kCom = 231;

// The log's lines, each split into its tab-separated fields.
QList<QStringList> logLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QList<QStringList> out;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts))
        out << line.split(u'\t');
    return out;
}

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

    static bool ready(FrmTerminal& t) {
        return t.RecvMode == terminal::RecvMode::Unsolicited && t.BtnSend->isEnabled() &&
               t.RecvTimer.isActive();
    }

    // Sends a command and waits until its reply has been handled.
    static bool sendAndWait(FrmTerminal& t, const QString& command) {
        t.SerialCmnd->setText(command);
        t.BtnSend_Click();
        return QTest::qWaitFor([&] { return ready(t); }, 10000);
    }

    // Unsolicited bytes from the scanner, waited for until the data box
    // shows one more line.
    bool unsolicited(FrmTerminal& t, const std::string& bytes) {
        const int before = t.RecvText->blockCount();
        peer->send(bytes);
        return QTest::qWaitFor([&] { return t.RecvText->blockCount() > before && ready(t); },
                               10000);
    }

    static QMenu* menuByKey(FrmTerminal& t, QWidget* box, Qt::Key key, Qt::KeyboardModifiers mods) {
        box->setFocus();
        QTest::keyClick(box, key, mods);
        QCoreApplication::processEvents();
        return t.contextMenu();
    }

    static QStringList texts(QMenu* menu) {
        QStringList out;
        for (QAction* a : menu->actions()) out << a->text();
        return out;
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
        program.freshProgram();
        playScanner();
    }
    void cleanup() {
        program.closeProgram();
        peer.reset();
    }

    void historyWalksTheSentCommandsLikeAShell() {
        FrmTerminal& t = openTerminal();
        for (const char* c : {"BEPLVL?", "BEPLVL?", "DECHDR1", "TRGMOD?"})
            QVERIFY(sendAndWait(t, c));
        t.SerialCmnd->setText("   ");
        t.BtnSend_Click();  // blank: nothing sent, nothing kept

        t.SerialCmnd->setText("IMG");  // half typed
        const QStringList upwards = {"TRGMOD?", "DECHDR1", "BEPLVL?", "BEPLVL?"};
        for (const QString& expected : upwards) {
            QTest::keyClick(t.SerialCmnd, Qt::Key_Up);
            QCOMPARE(t.SerialCmnd->text(), expected);
        }
        for (const char* expected : {"DECHDR1", "TRGMOD?", "IMG", "IMG"}) {
            QTest::keyClick(t.SerialCmnd, Qt::Key_Down);
            QCOMPARE(t.SerialCmnd->text(), QString(expected));
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
        QCOMPARE(boxes.fileRequests.size(), std::size_t(1));
        const QString initial = boxes.fileRequests[0].initial;
        QCOMPARE(QFileInfo(initial).absolutePath(), QDir::currentPath());
        QVERIFY2(QRegularExpression("^Tavorin_Log1_\\d{8}-\\d{6}\\.txt$")
                     .match(QFileInfo(initial).fileName())
                     .hasMatch(),
                 qPrintable(initial));
        QVERIFY(t.logRunning());
        QCOMPARE(t.MnuLog->text(), QString("ログ保存終了"));

        peer->clearWire();
        t.SerialCmnd->setText("BEPLVL?");
        t.BtnSend_Click();
        // The line is in the file before the reply is handled.
        QCOMPARE(logLines(path).size(), 1);
        QVERIFY(QTest::qWaitFor([&] { return ready(t); }, 10000));
        const test::Bytes command = peer->wire();
        t.BtnTrOn_Click();
        QVERIFY(QTest::qWaitFor([&] { return t.RecvText->blockCount() > 1 && ready(t); }, 10000));
        QVERIFY(sendAndWait(t, "IMGSHP6F"));
        QVERIFY(t.ResponseText->toPlainText().contains("<ACK>"));
        main->pictureWindow().unloadByProgram();
        t.BtnComStop_Click();
        QVERIFY(!t.logRunning());
        QCOMPARE(t.MnuLog->text(), QString("ログ保存開始…"));

        const QList<QStringList> lines = logLines(path);
        const QString image = QFileInfo(MakeImageFileName(0, "jpg")).absoluteFilePath();
        const QList<QStringList> expected = {
            {">", terminal::render(QByteArray(reinterpret_cast<const char*>(command.data()),
                                              static_cast<qsizetype>(command.size())))
                      .text},
            {"<", "BEPLVL?<ACK>."},
            {">", "<SYN>T<CR>"},
            {"<", "TAVORIN-0001<CR>"},
            {">", "<SYN>M<CR>IMGSHP6F."},
            {"<", "IMGSHP<ACK>.",
             QString("画像 %1 バイト %2").arg(QFileInfo(image).size()).arg(image)},
            {"-", "ログ終了: ターミナルを閉じました"},
        };
        QCOMPARE(lines.size(), expected.size());
        QCOMPARE(expected[0][1], QString("<SYN>M<CR>BEPLVL?."));
        QDateTime previous;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QStringList& line = lines[i];
            QCOMPARE(line.mid(2), expected[i]);
            QCOMPARE(line[1], common->ComCaption[0]);
            const QDateTime when = QDateTime::fromString(line[0], "yyyy-MM-dd HH:mm:ss.zzz");
            QVERIFY2(when.isValid(), qPrintable(line[0]));
            QVERIFY(!previous.isValid() || previous <= when);
            previous = when;
        }
        QVERIFY(QDateTime::fromString(lines.first()[0], "yyyy-MM-dd HH:mm:ss.zzz") <
                QDateTime::fromString(lines.last()[0], "yyyy-MM-dd HH:mm:ss.zzz"));

        // A device that goes ends the log with that reason.
        program.openSlotOn(kCom, "100");
        boxes.fileAnswers = {path};
        t.MnuLog->trigger();
        peer->hangUp();
        QVERIFY(QTest::qWaitFor([&] { return !t.isLoaded(); }, 10000));
        QCOMPARE(boxes.messages.last(), QString("通信エラー"));
        QCOMPARE(logLines(path),
                 (QList<QStringList>{{logLines(path).value(0).value(0), common->ComCaption[0], "-",
                                      "ログ終了: 通信エラー"}}));
    }

    void aLogThatCannotBeWrittenIsToldOnceAndTheTerminalGoesOn() {
        FrmTerminal& t = openTerminal();
        boxes.fileAnswers = {"/nonexistent-folder/log.txt", "/dev/full"};
        t.MnuLog->trigger();
        QCOMPARE(boxes.messages, QStringList{"ファイルエラー"});
        QVERIFY(!t.logRunning());

        t.MnuLog->trigger();
        QVERIFY(t.logRunning());
        QVERIFY(sendAndWait(t, "BEPLVL?"));
        QVERIFY(unsolicited(t, "ABC\r"));
        QVERIFY(unsolicited(t, "DEF\r"));
        QCOMPARE(boxes.messages, (QStringList{"ファイルエラー", "ファイルエラー"}));
        QVERIFY(!t.logRunning());
        QCOMPARE(t.MnuLog->text(), QString("ログ保存開始…"));
        QCOMPARE(t.ResponseText->toPlainText(), QString("BEPLVL?<ACK>."));
        QCOMPARE(t.RecvText->toPlainText(), QString("ABC<CR>\nDEF<CR>\n"));
        QCOMPARE(peer->frames(), std::size_t(2));  // the greeting and the command
    }

    void displayOptionsChangeOnlyNewBlocksAndAreRemembered() {
        FrmTerminal& t = openTerminal();
        auto settings = [] {
            QFile f(kSettingsFile);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("none");
        };
        const QByteArray settingsBefore = settings();
        QVERIFY(!t.MnuTimestamp->isChecked() && !t.MnuHex->isChecked());
        // Everything off: the box shows what it always showed.
        QVERIFY(unsolicited(t, "ABC\r"));
        QVERIFY(unsolicited(t,
                            "\x02"
                            "12\x03"));
        QVERIFY(unsolicited(t, "\x7F\x1B"));
        const QString plain = "ABC<CR>\n<02>12<03>\n\x7F<1B>\n";
        QCOMPARE(t.RecvText->toPlainText(), plain);

        t.MnuTimestamp->trigger();
        const QTime before = QTime::currentTime();
        QVERIFY(unsolicited(t, "XYZ\r"));
        const QTime after = QTime::currentTime();
        QString shown = t.RecvText->toPlainText();
        QVERIFY(shown.startsWith(plain));
        const QString stamped = shown.mid(plain.size());
        QVERIFY2(QRegularExpression("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] XYZ<CR>\n$")
                     .match(stamped)
                     .hasMatch(),
                 qPrintable(stamped));
        const QTime stamp = QTime::fromString(stamped.mid(1, 12), "HH:mm:ss.zzz");
        QVERIFY(before <= stamp && stamp <= after);

        t.MnuHex->trigger();
        QVERIFY(unsolicited(t, "0123456789ABCDEF\r\n"));
        shown = t.RecvText->toPlainText();
        QVERIFY(shown.startsWith(plain + stamped));
        QVERIFY2(QRegularExpression("^\\[[0-9:.]{12}\\] 30 31 32 33 34 35 36 37 38 39 41 42 43 44 "
                                    "45 46\n0D 0A\n$")
                     .match(shown.mid(plain.size() + stamped.size()))
                     .hasMatch(),
                 qPrintable(shown));

        // Remembered beside the settings file, which stays untouched, and
        // restored by the next connection.
        QCOMPARE(settings(), settingsBefore);
        t.BtnComStop_Click();
        program.openSlotOn(kCom, "100");
        QVERIFY(t.MnuTimestamp->isChecked() && t.MnuHex->isChecked());
        t.MnuTimestamp->trigger();
        t.MnuHex->trigger();
        const QString again = t.RecvText->toPlainText();
        QVERIFY(unsolicited(t, "ABC\r"));
        QCOMPARE(t.RecvText->toPlainText(), again + "ABC<CR>\n");
        QCOMPARE(terminal::loadDisplayOptions(), terminal::DisplayOptions{});
    }

    void theMenusKeepQtsItemsAndOpenFromTheKeyboard() {
        FrmTerminal& t = openTerminal();
        t.activateWindow();
        for (auto [key, mods] : {std::pair{Qt::Key_F10, Qt::KeyboardModifiers(Qt::ShiftModifier)},
                                 std::pair{Qt::Key_Menu, Qt::KeyboardModifiers()}}) {
            QMenu* recv = menuByKey(t, t.RecvText, key, mods);
            QVERIFY2(recv && recv->isVisible(), "the data box's menu opened");
            const QStringList items = texts(recv);
            QVERIFY2(items.filter("コピー").size() == 1, qPrintable(items.join(" | ")));
            QVERIFY2(items.filter("すべてを選択").size() == 1, qPrintable(items.join(" | ")));
            QCOMPARE(items.mid(items.size() - 3),
                     (QStringList{"ログ保存開始…", "時刻表示", "16進表示"}));
            recv->close();
            QCoreApplication::processEvents();

            QMenu* reply = menuByKey(t, t.ResponseText, key, mods);
            QVERIFY2(reply && reply->isVisible() && reply != recv, "the reply box's menu opened");
            QCOMPARE(texts(reply).last(), QString("ログ保存開始…"));
            QVERIFY(!reply->actions().contains(t.MnuHex));
            reply->close();
            QCoreApplication::processEvents();
        }
    }
};

QTEST_MAIN(TerminalToolsWindowTest)
#include "terminal_tools_window_test.moc"
