// The terminal's decisions where the window tests do not reach: the
// history's edges, the options file's odd texts, the log's lines and
// failures other than a full disk, and how a block is read on, split into
// rows and kept within the data box's limit.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "ombrix.h"
#include "terminal_logic.h"

namespace tavorin::terminal {
namespace {

TEST(TerminalTools, HistoryEdges) {
    // Keys: '+' sends the text, 'U' is Up with the box showing the text,
    // 'D' is Down; `shows` is the box afterwards ("" = unchanged).
    struct Step {
        char key;
        const char* text;
        const char* shows;
    };
    // No history yet; a repeat is kept once, an earlier equal command is
    // no repeat; the oldest stays; a send ends the walk; Down past the
    // newest gives back what was typed.
    const Step steps[] = {{'U', "ab", ""}, {'D', "", ""},  {'+', "A", ""},  {'+', "B", ""},
                          {'+', "B", ""},  {'+', "A", ""}, {'U', "x", "A"}, {'U', "", "B"},
                          {'U', "", "A"},  {'U', "", ""},  {'+', "C", ""},  {'D', "", ""},
                          {'U', "y", "C"}, {'D', "", "y"}};
    CommandHistory h;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& s = steps[i];
        if (s.key == '+') {
            h.add(s.text);
            continue;
        }
        const std::optional<QString> shown = s.key == 'U' ? h.older(s.text) : h.newer();
        EXPECT_EQ(shown.value_or("(unchanged)"), *s.shows ? s.shows : "(unchanged)")
            << "step " << i;
    }

    CommandHistory full;
    for (int i = 0; i < CommandHistory::kLimit + 5; ++i) full.add(QString::number(i));
    EXPECT_EQ(full.size(), CommandHistory::kLimit);
    QString oldest;
    while (std::optional<QString> s = full.older(QString())) oldest = *s;
    EXPECT_EQ(oldest, "5") << "the oldest go first";
}

TEST(TerminalTools, OptionsFileTexts) {
    // What is written is read back in the window tests; here what a
    // person's editor may leave: stray lines, bare LF, a value other than 1.
    EXPECT_EQ(parseDisplayOptions("junk\nTIMESTAMP=yes\r\nHEX=1\n"), (DisplayOptions{false, true}));
}

TEST(TerminalTools, LogLineStaysOneLine) {
    const QDateTime when(QDate(2024, 3, 9), QTime(7, 8, 9, 5));
    EXPECT_EQ(logLine(when, "ポート\t\n(COM1)", LogDirection::Received, "X<ACK>.", "a\nb"),
              QString("2024-03-09 07:08:09.005\tポート  (COM1)\t<\tX<ACK>.\ta b\n").toUtf8())
        << "control characters in a field cannot break the line";
}

TEST(TerminalTools, ALogWhoseFolderIsRemovedEnds) {
    QTemporaryDir dir;
    QDir folder(dir.filePath("folder"));
    ASSERT_TRUE(folder.mkpath("."));
    SessionLog log;
    ASSERT_TRUE(log.start(folder.filePath("log.txt")));
    EXPECT_TRUE(log.write("one\n"));
    ASSERT_TRUE(folder.removeRecursively());
    EXPECT_FALSE(log.write("two\n"));
    EXPECT_FALSE(log.running());
}

TEST(TerminalReceive, ABlockIsReadOnUntilWholeAndPastItsLimitShownARowAtATime) {
    // Reads in turn, each of `size` bytes of one running stream; `shown`
    // bytes come out, carrying the time of read `from`.
    struct Read {
        std::int32_t result;
        int size;
        int shown;
        int from;
        bool goesOn, readOn, cut;
    };
    constexpr std::int32_t kFull = OMBRIX_E_NO_ROOM;
    // Rows of 10 bytes, a block held up to 40.
    const Read reads[] = {
        // A scan longer than a read: held, then shown whole.
        {kFull, 7, 0, -1, false, true, false},
        {5, 5, 12, 0, false, false, false},
        // A flood: its whole rows once past the limit, then a row at a time.
        {kFull, 7, 0, -1, false, true, false},
        {kFull, 7, 0, -1, false, true, false},
        {kFull, 7, 0, -1, false, true, false},
        {kFull, 7, 0, -1, false, true, false},
        {kFull, 7, 0, -1, false, true, false},
        {kFull, 7, 40, 2, false, true, true},
        {kFull, 7, 0, -1, false, true, false},
        {kFull, 7, 10, 7, true, true, false},
        {3, 3, 9, 9, true, false, false},
        // A failed read shows what came before it; the next block is new.
        {kFull, 7, 0, -1, false, true, false},
        {OMBRIX_E_CANCELLED, 0, 7, 11, false, false, false},
        {5, 5, 5, 13, false, false, false},
    };
    BlockReader reader(40, 10);
    const QDateTime t0(QDate(2024, 3, 9), QTime(7, 8, 9));
    QByteArray sent, shown;
    for (int i = 0; i < static_cast<int>(std::size(reads)); ++i) {
        const Read& r = reads[i];
        QByteArray bytes;
        while (bytes.size() < r.size) bytes += char('!' + (sent.size() + bytes.size()) % 90);
        sent += bytes;
        const BlockReader::Step step = reader.take(r.result, bytes, t0.addMSecs(i));
        EXPECT_EQ(step.part.bytes.size(), r.shown) << "read " << i;
        if (r.from >= 0) {
            EXPECT_EQ(step.part.read, t0.addMSecs(r.from)) << "read " << i;
        }
        EXPECT_EQ(step.part.goesOn, r.goesOn) << "read " << i;
        EXPECT_EQ(step.readOn, r.readOn) << "read " << i;
        EXPECT_EQ(step.cut, r.cut) << "read " << i;
        shown += step.part.bytes;
    }
    EXPECT_EQ(shown, sent) << "every byte, in order";

    // A block under way ends as it stands when a command empties the line.
    EXPECT_FALSE(reader.underWay());
    reader.take(kFull, "abc", t0);
    EXPECT_TRUE(reader.underWay());
    EXPECT_EQ(reader.finish().bytes, "abc");
    EXPECT_FALSE(reader.underWay());
}

TEST(TerminalReceive, RowsOfAPart) {
    const QDateTime read(QDate(2024, 3, 9), QTime(7, 8, 9, 5));
    const QString stamp = "[07:08:09.005] ";
    const QByteArray big = '\x02' + QByteArray(1500, 'x');
    const QString sixteen = "41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41";
    struct Case {
        const char* name;
        QByteArray bytes;
        bool goesOn;
        DisplayOptions options;
        QStringList rows;
    };
    const Case cases[] = {
        {"spelled", "AB\r", false, {}, {"AB<CR>"}},
        {"stamped", "AB\r", false, {true, false}, {stamp + "AB<CR>"}},
        {"going on: marked, not stamped", "AB", true, {true, false}, {kGoesOn + "AB"}},
        {"past a row", big, false, {}, {"<02>" + QString(1023, 'x'), kGoesOn + QString(477, 'x')}},
        {"hex: stamped first row",
         QByteArray(17, 'A'),
         false,
         {true, true},
         {stamp + sixteen, "41"}},
        {"hex going on: neither stamped nor marked", "A", true, {true, true}, {"41"}},
        {"nothing", "", false, {true, false}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dataRows({c.bytes, c.goesOn, read}, c.options), c.rows) << c.name;
    }
}

TEST(TerminalReceive, TheDataBoxKeepsItsNewestRowsWithinItsLimit) {
    // Rows of these lengths in turn into a box of 10 characters.
    struct Add {
        qsizetype length;
        int leaving;
        qsizetype leavingCharacters;
        qsizetype kept;
    };
    const Add adds[] = {{4, 0, 0, 4}, {4, 0, 0, 8},   {2, 0, 0, 10}, {1, 1, 4, 7},
                        {6, 1, 4, 9}, {11, 4, 20, 0}, {3, 0, 0, 3}};
    RowLedger ledger(10);
    for (const Add& a : adds) {
        const RowLedger::Leaving leaving = ledger.add(a.length);
        EXPECT_EQ(leaving.rows, a.leaving) << a.length;
        EXPECT_EQ(leaving.characters, a.leavingCharacters) << a.length;
        EXPECT_EQ(ledger.characters(), a.kept) << a.length;
    }
    ledger.clear();
    EXPECT_EQ(ledger.add(10).rows, 0);
}

}  // namespace
}  // namespace tavorin::terminal
