// The terminal's bench tools where the window tests do not reach: the
// history's edges, the options file's odd texts, the frame rule and the
// log's failures other than a full disk.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

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
    const std::vector<Step> cases[] = {
        {{'U', "ab", ""}, {'D', "", ""}},  // no history
        // a repeat is kept once; an earlier equal command is no repeat
        {{'+', "A", ""},
         {'+', "B", ""},
         {'+', "B", ""},
         {'+', "A", ""},
         {'U', "", "A"},
         {'U', "", "B"},
         {'U', "", "A"},
         {'U', "", ""}},
        // a send ends the walk
        {{'+', "A", ""},
         {'U', "x", "A"},
         {'+', "C", ""},
         {'D', "", ""},
         {'U', "y", "C"},
         {'D', "", "y"}},
    };
    for (std::size_t c = 0; c < std::size(cases); ++c) {
        CommandHistory h;
        for (std::size_t i = 0; i < cases[c].size(); ++i) {
            const Step& s = cases[c][i];
            if (s.key == '+') {
                h.add(s.text);
                continue;
            }
            const std::optional<QString> shown = s.key == 'U' ? h.older(s.text) : h.newer();
            EXPECT_EQ(shown.value_or("(unchanged)"), *s.shows ? s.shows : "(unchanged)")
                << "case " << c << ", step " << i;
        }
    }

    CommandHistory full;
    for (int i = 0; i < CommandHistory::kLimit + 5; ++i) full.add(QString::number(i));
    EXPECT_EQ(full.size(), CommandHistory::kLimit);
    QString oldest;
    while (std::optional<QString> s = full.older(QString())) oldest = *s;
    EXPECT_EQ(oldest, "5") << "the oldest go first";
}

TEST(TerminalTools, OptionsFileTexts) {
    const struct {
        QByteArray text;
        DisplayOptions options;
    } rows[] = {
        {"", {}},
        {displayOptionsText({true, false}), {true, false}},
        {"HEX=1\n", {false, true}},
        {"junk\r\nTIMESTAMP=yes\r\nHEX=1\r\nHEX=0\r\n", {false, false}},
    };
    for (const auto& r : rows) EXPECT_EQ(parseDisplayOptions(r.text), r.options) << r.text.data();
}

TEST(TerminalTools, FramesAndLogLines) {
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
    EXPECT_FALSE(log.start(folder.filePath("log.txt"))) << "nor does one start there";
}

}  // namespace
}  // namespace tavorin::terminal
