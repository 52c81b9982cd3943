// The terminal's bench tools without a window: history, display, the
// options file's text and the log's lines.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "terminal_logic.h"

namespace tavorin::terminal {
namespace {

TEST(TerminalTools, HistoryWalksAsAShellDoes) {
    // Each step: a key ('+' add the text, 'U' Up with the box showing the
    // text, 'D' Down) and what the box shows afterwards ("" = unchanged).
    struct Step {
        char key;
        const char* text;
        const char* shows;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"no history: the keys change nothing", {{'U', "ab", ""}, {'D', "", ""}}},
        {"up through all, down back to what was typed",
         {{'+', "A", ""},
          {'+', "B", ""},
          {'U', "typ", "B"},
          {'U', "B", "A"},
          {'U', "A", ""},
          {'D', "", "B"},
          {'D', "", "typ"},
          {'D', "", ""}}},
        {"a repeat is kept once, an earlier equal one is not a repeat",
         {{'+', "A", ""},
          {'+', "B", ""},
          {'+', "B", ""},
          {'+', "A", ""},
          {'U', "", "A"},
          {'U', "", "B"},
          {'U', "", "A"},
          {'U', "", ""}}},
        {"a send ends the walk",
         {{'+', "A", ""},
          {'+', "B", ""},
          {'U', "x", "B"},
          {'+', "C", ""},
          {'D', "", ""},
          {'U', "y", "C"},
          {'D', "", "y"}}},
    };
    for (const Case& c : cases) {
        CommandHistory h;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            std::optional<QString> shown;
            if (s.key == '+') h.add(s.text);
            if (s.key == 'U') shown = h.older(s.text);
            if (s.key == 'D') shown = h.newer();
            if (s.key == '+') continue;
            EXPECT_EQ(shown.value_or(QString()), QString(s.shows)) << c.what << ", step " << i;
            EXPECT_EQ(shown.has_value(), *s.shows != '\0') << c.what << ", step " << i;
        }
    }

    CommandHistory full;
    for (int i = 0; i < CommandHistory::kLimit + 5; ++i) full.add(QString::number(i));
    EXPECT_EQ(full.size(), CommandHistory::kLimit);
    QString oldest;
    while (std::optional<QString> s = full.older(QString())) oldest = *s;
    EXPECT_EQ(oldest, "5") << "the oldest go first";
}

TEST(TerminalTools, UnsolicitedBlocksAsShown) {
    const QTime at(9, 5, 7, 42);
    const QByteArray seventeen("0123456789ABCDEF\r");
    struct Row {
        QByteArray bytes;
        DisplayOptions options;
        const char* shown;
    };
    const Row rows[] = {
        {"ABC\r", {}, "ABC<CR>\n"},
        {"\x02"
         "12\x03",
         {},
         "<02>12<03>\n"},
        {"ABC\r", {true, false}, "[09:05:07.042] ABC<CR>\n"},
        {QByteArray("\x00\x7F\xFF", 3), {false, true}, "00 7F FF\n"},
        {seventeen, {false, true}, "30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46\n0D\n"},
        {seventeen,
         {true, true},
         "[09:05:07.042] 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46\n0D\n"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(unsolicitedBlock(r.bytes, r.options, at), QString::fromLatin1(r.shown))
            << r.shown;
    }
    // Off, a block shows as it always has: the rendering and a line end.
    const QByteArray every = [] {
        QByteArray all;
        for (int b = 0; b < 256; ++b) all += char(b);
        return all;
    }();
    EXPECT_EQ(unsolicitedBlock(every, {}, at), render(every).text + u'\n');
}

TEST(TerminalTools, OptionsFileTextAndItsReading) {
    struct Row {
        QByteArray text;
        DisplayOptions options;
    };
    const Row rows[] = {
        {"", {}},
        {"TIMESTAMP=1\r\nHEX=0\r\n", {true, false}},
        {"HEX=1\n", {false, true}},
        {"junk\r\nTIMESTAMP=yes\r\nHEX=1\r\nHEX=0\r\n", {false, false}},
        {"TIMESTAMP=1\r\nHEX=1", {true, true}},
    };
    for (const Row& r : rows) EXPECT_EQ(parseDisplayOptions(r.text), r.options) << r.text.data();
    EXPECT_EQ(displayOptionsText({true, false}), "TIMESTAMP=1\r\nHEX=0\r\n");

    QTemporaryDir dir;
    const QString path = dir.filePath("options.ini");
    EXPECT_EQ(loadDisplayOptions(path), DisplayOptions{}) << "no file: both off";
    ASSERT_TRUE(saveDisplayOptions({false, true}, path));
    EXPECT_EQ(loadDisplayOptions(path), (DisplayOptions{false, true}));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"options.ini"})
        << "no temporary left behind";
    EXPECT_FALSE(saveDisplayOptions({true, true}, dir.filePath("gone/options.ini")));
}

TEST(TerminalTools, LogLinesAndFrames) {
    struct Frame {
        QByteArray command, frame;
    };
    const Frame frames[] = {
        {"BEPLVL?", "\x16M\rBEPLVL?."},
        {"DEFALT.", "\x16M\rDEFALT."},
        {"TRGMOD!", "\x16M\rTRGMOD!"},
    };
    for (const Frame& f : frames) EXPECT_EQ(commandFrame(f.command), f.frame) << f.command.data();

    const QDateTime when(QDate(2024, 3, 9), QTime(7, 8, 9, 5));
    EXPECT_EQ(logFileName(2, when), "Tavorin_Log3_20240309-070809.txt");
    EXPECT_EQ(logLine(when, "USB (ttyACM0) (COM65)", LogDirection::Sent, "<SYN>M<CR>A."),
              QByteArray("2024-03-09 07:08:09.005\tUSB (ttyACM0) (COM65)\t>\t<SYN>M<CR>A.\n"));
    EXPECT_EQ(logLine(when, "ポート\t\n(COM1)", LogDirection::Received, "X<ACK>.",
                      imageNote(1234, "/w/Tavorin_Image1.jpg")),
              QString("2024-03-09 07:08:09.005\tポート  (COM1)\t<\tX<ACK>.\t画像 1234 バイト "
                      "/w/Tavorin_Image1.jpg\n")
                  .toUtf8())
        << "a name's control characters cannot break the line";
    EXPECT_TRUE(
        logLine(when, "p", LogDirection::Note, logEndText(LogEnd::Closed)).contains("\t-\t"));
}

TEST(TerminalTools, ALogEndsAtItsFirstFailedLine) {
    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    SessionLog log;
    ASSERT_TRUE(log.start(path));
    EXPECT_TRUE(log.write("one\n"));
    // Out of the program at once: another reader sees it before the log ends.
    QFile reader(path);
    ASSERT_TRUE(reader.open(QIODevice::ReadOnly));
    EXPECT_EQ(reader.readAll(), "one\n");
    log.stop();
    EXPECT_FALSE(log.write("two\n"));

    QDir folder(dir.filePath("folder"));
    ASSERT_TRUE(folder.mkpath("."));
    ASSERT_TRUE(log.start(folder.filePath("log.txt")));
    EXPECT_TRUE(log.write("one\n"));
    ASSERT_TRUE(folder.removeRecursively());
    EXPECT_FALSE(log.write("two\n")) << "the folder has gone";
    EXPECT_FALSE(log.running());

    ASSERT_TRUE(log.start("/dev/full"));
    EXPECT_FALSE(log.write("three\n"));
    EXPECT_FALSE(log.running());
    EXPECT_FALSE(log.start(dir.filePath("gone/log.txt")));
}

}  // namespace
}  // namespace tavorin::terminal
