// The terminal's bench tools where the window tests do not reach: the
// history's edges, the options file's odd texts, and the log's lines and
// failures other than a full disk.
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

}  // namespace
}  // namespace tavorin::terminal
