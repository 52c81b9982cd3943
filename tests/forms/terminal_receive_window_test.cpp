// The terminal's receive display end to end, against a scanner the test
// plays on a pseudo-terminal: blocks and a reply longer than one read shown
// and logged whole, a flood that leaves the data box within its limit, and a
// data box that cannot be edited and leaves its reader's view and selection
// where they are.
#include <QClipboard>
#include <QGuiApplication>
#include <QScrollBar>
#include <QtTest>
#include <atomic>
#include <memory>
#include <thread>

#include "app_start.h"
#include "binding.h"
#include "frm_terminal.h"
#include "program_fixture.h"
#include "terminal_fixture.h"

using namespace tavorin;
using test::logLines;
using test::unsolicited;

namespace {

constexpr int kCom = 232;

// `n` letters and digits from `first` on: the terminal spells them as they
// are, and no two neighbouring blocks look alike.
std::string printable(std::size_t n, char first) {
    static const std::string kSet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += kSet[(kSet.find(first) + i) % kSet.size()];
    return out;
}

// The rows of the data box and of the log, joined again without the marks
// of rows that go on.
QString joined(const QStringList& rows) {
    QString out;
    for (const QString& row : rows)
        out += row.startsWith(terminal::kGoesOn) ? row.mid(terminal::kGoesOn.size()) : row;
    return out;
}

}  // namespace

class TerminalReceiveWindowTest : public QObject {
    Q_OBJECT

    test::ProgramFixture program;
    RecordingDialog& boxes = program.boxes;
    std::unique_ptr<FrmImage>& main = program.main;
    std::unique_ptr<test::PtyPeer> peer;
    // The reply the scanner gives to "LONG?": more than two reads' worth.
    const std::string longReply = printable(5000, 'q');

    FrmTerminal& openTerminal() {
        peer = std::make_unique<test::PtyPeer>(*program.ports, kCom);
        peer->setResponder([this](const std::string& text, char) -> test::Bytes {
            if (text == "BEPBEP?") return test::PtyPeer::standardGreeting();
            return test::bytes((text == "LONG?" ? longReply : text) + "\x06.");
        });
        program.openSlotOn(kCom, "100");
        return *main->TermForm[0];
    }

    QString startLog(FrmTerminal& t) {
        const QString path = QDir::current().absoluteFilePath("receive.txt");
        boxes.fileAnswers = {path};
        t.MnuLog->trigger();
        return path;
    }

  private slots:
    void initTestCase() {
        QVERIFY(program.start());
        installPump();
    }
    void cleanupTestCase() { program.stop(); }
    void init() {
        QFile::remove(terminal::kDisplayOptionsFile);
        program.freshProgram();
    }
    void cleanup() {
        program.closeProgram();
        peer.reset();
    }

    void blocksAndAReplyLongerThanOneReadAreShownAndLoggedWhole() {
        FrmTerminal& t = openTerminal();
        const QString path = startLog(t);
        const QString b3000 = QString::fromStdString(printable(3000, 'a'));
        const QString b5000 = QString::fromStdString(printable(5000, 'K'));
        QVERIFY(unsolicited(t, *peer, b3000.toStdString()));
        QVERIFY(unsolicited(t, *peer, b5000.toStdString()));
        // A long block goes on in marked rows.
        QStringList rows;
        for (const QString& block : {b3000, b5000}) {
            for (qsizetype at = 0; at < block.size(); at += terminal::kRowBytes)
                rows << (at ? terminal::kGoesOn : QString()) + block.mid(at, terminal::kRowBytes);
        }
        QCOMPARE(t.RecvText->toPlainText(), rows.join(u'\n') + u'\n');

        QVERIFY(test::sendAndWait(t, "LONG?"));
        const QString reply = QString::fromStdString(longReply) + "<ACK>.";
        QCOMPARE(t.ResponseText->toPlainText(), reply);
        t.MnuLog->trigger();

        QStringList logged;
        for (const QStringList& line : logLines(path)) logged << line.mid(2).join(u'\t');
        QStringList expected;
        for (const QString& row : rows) expected << "<\t" + row;
        expected << ">\t<SYN>M<CR>LONG?."
                 << "<\t" + reply;
        QCOMPARE(logged, expected);
        QVERIFY(boxes.messages.isEmpty());
    }

    void aFloodLeavesTheDataBoxWithinItsLimitAndItsLastBlockShows() {
        FrmTerminal& t = openTerminal();
        const QString path = startLog(t);
        // In hex a byte takes three characters: the box passes its limit
        // after some 350 KB.
        t.MnuHex->trigger();
        const std::string flood = printable(1'000'000, '0');
        std::atomic<bool> sent{false};
        std::thread sender([&] {
            peer->send(flood);
            sent = true;
        });
        const std::int32_t port = program.common->ComHandle[0];
        const bool drained = QTest::qWaitFor(
            [&] { return sent && RecvChk(port) == 0 && test::terminalReady(t); }, 90000);
        sender.join();
        QVERIFY(drained);
        QVERIFY(unsolicited(t, *peer, "END\r"));

        // Told once that the block went on past what a block may hold.
        QCOMPARE(boxes.messages, QStringList{terminal::blockCutText()});
        // The box holds the flood's newest rows, in order, and the last block.
        const QString shown = t.RecvText->toPlainText();
        QVERIFY(shown.size() <= terminal::kRecvTextLimit);
        QVERIFY(shown.size() > terminal::kRecvTextLimit - 100);
        const QString last = "45 4E 44 0D\n";
        QVERIFY(shown.endsWith(last));
        const QString floodHex = terminal::hexLines(QByteArray::fromStdString(flood)) + u'\n';
        QVERIFY(floodHex.endsWith(shown.chopped(last.size())));

        // The log keeps every byte, spelled.
        t.MnuLog->trigger();
        QStringList rows;
        for (const QStringList& line : logLines(path)) rows << line.value(3);
        QCOMPARE(rows.takeLast(), QString("END<CR>"));
        QCOMPARE(joined(rows), QString::fromStdString(flood));
    }

    void theDataBoxCannotBeEditedAndLeavesItsReaderAlone() {
        FrmTerminal& t = openTerminal();
        QVERIFY(unsolicited(t, *peer, "ABC\r"));
        t.RecvText->setFocus();
        QTest::keyClicks(t.RecvText, "xyz");
        QTest::keyClick(t.RecvText, Qt::Key_Backspace);
        QTest::keyClick(t.RecvText, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(t.RecvText->toPlainText(), QString("ABC<CR>\n"));

        // Everything selected stays selected as rows come, and is what is
        // copied.
        QTest::keyClick(t.RecvText, Qt::Key_A, Qt::ControlModifier);
        QVERIFY(unsolicited(t, *peer, "DEF\r"));
        QTest::keyClick(t.RecvText, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("ABC<CR>\n"));

        // Scrolled up, the view stays where it is; at the bottom it follows.
        t.MnuHex->trigger();
        QTextCursor none = t.RecvText->textCursor();
        none.clearSelection();
        t.RecvText->setTextCursor(none);
        QVERIFY(unsolicited(t, *peer, printable(3000, 'A')));
        QScrollBar* bar = t.RecvText->verticalScrollBar();
        QVERIFY(bar->maximum() > 10);
        QCOMPARE(bar->value(), bar->maximum());
        bar->setValue(4);
        QVERIFY(unsolicited(t, *peer, "GHI\r"));
        QCOMPARE(bar->value(), 4);
        bar->setValue(bar->maximum());
        QVERIFY(unsolicited(t, *peer, "JKL\r"));
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(t.RecvText->toPlainText().endsWith("47 48 49 0D\n4A 4B 4C 0D\n"));
    }
};

QTEST_MAIN(TerminalReceiveWindowTest)
#include "terminal_receive_window_test.moc"
