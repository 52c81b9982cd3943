// What the terminal decides without a widget: which reply a typed command
// awaits, how received bytes are shown, how its data box follows the
// window's size, and its bench tools: the command history, the display
// options and the session log.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTime>
#include <cstdint>
#include <deque>
#include <optional>

namespace tavorin::terminal {

// What the terminal reads next. The numbers are the stored ones.
enum class RecvMode : short { Unsolicited = 0, Response = 1, Image = 2 };

// An image is awaited when the upper-cased command holds "IMG", holds "SHP"
// or "BOX", and holds neither "^" nor "?" (a query answers with text).
RecvMode recvModeFor(const QString& command);

// 0: none of ACK, ENQ, NAK seen; 1: an ACK and no ENQ or NAK; 2: an ENQ or
// NAK seen, whatever else came.
enum AckState { NoAck = 0, Acked = 1, Refused = 2 };

struct Rendered {
    QString text;
    AckState ack = NoAck;
};

// Shows every byte: ENQ ACK LF CR NAK SYN by name in angle brackets, 32 to
// 127 as themselves, anything else as two upper-case hex digits in angle
// brackets -- each byte of 128 and above on its own, since a reply is not
// necessarily text.
Rendered render(const QByteArray& bytes);

// How a receive tick goes on after its look at the queue (the library's
// count of bytes waiting): nothing to read, a reply to read, or a device
// that has gone (unplugged, hung up), which no later tick would see return.
enum class TickStart { Rearm, Read, LineLost };
TickStart tickStart(std::int32_t waiting);

// After a read that failed: the result code whose message is shown, and
// whether the slot ends because the device has gone (`waitingAfter` is the
// queue's count taken after the read). A gone device is told once, as the
// communication error, whatever the read itself answered.
struct ReadFailure {
    std::int32_t shown;
    bool lineLost;
};
ReadFailure afterFailedRead(std::int32_t result, std::int32_t waitingAfter);

// The trigger frames, sent raw.
inline const QByteArray kTriggerOn("\x16T\r", 3);
inline const QByteArray kTriggerOff("\x16U\r", 3);

// The data box keeps its left/top; it reaches down to a bottom margin equal
// to its left margin and across with equal margins; the description label
// spans the client width. All in twips; a negative result keeps the old size.
struct Layout {
    int recvWidth, recvHeight, labelWidth;
};
Layout layoutFor(int clientWidth, int clientHeight, int recvLeft, int recvTop, int oldRecvWidth,
                 int oldRecvHeight);

// The commands sent from one terminal, for Up and Down in the command box
// as a shell has them: Up walks from the newest to older ones, Down back,
// and Down past the newest gives back what was being typed before the walk
// began. A command equal to the one sent just before it is kept once; the
// oldest go once there are more than kLimit.
class CommandHistory {
  public:
    static constexpr int kLimit = 200;

    // A command that was sent; ends any walk.
    void add(const QString& command);
    // The text Up shows, given what the box shows now; none at the oldest
    // (or with no history), and the box keeps its text.
    std::optional<QString> older(const QString& shown);
    // The text Down shows; none when no walk is under way.
    std::optional<QString> newer();
    // Forgets where a walk stood (a new connection starts with an empty box).
    void endWalk();

    int size() const { return static_cast<int>(sent_.size()); }

  private:
    std::deque<QString> sent_;  // oldest first
    int back_ = -1;             // steps back from the newest; -1: not walking
    QString typed_;
};

// How unsolicited data is shown in the data box. Both off: as always.
struct DisplayOptions {
    bool timestamps = false;
    bool hex = false;
    bool operator==(const DisplayOptions&) const = default;
};

// Bytes as two-digit upper-case hex separated by spaces, 16 to a line, the
// lines joined by '\n'.
QString hexLines(const QByteArray& bytes);

// ---- Blocks longer than one read, and the data box's bound.
//
// A block is unsolicited data up to a line that stays quiet for the data
// time-out, or a reply up to its end. One read takes at most kRecvCapacity
// bytes; a longer block is read on, piece after piece, and held until it is
// whole, so that a 3 KB scan shows as the one block it is (in rows that go
// on from one another, see dataRows()). A block that goes on for more than
// kBlockLimit bytes without a quiet line (a flood) is shown from then on a
// row at a time as its rows fill, each going on from the last, and the user
// is told once. No byte is ever dropped for want of room, and the bytes
// held never pass the limit by more than a read.

// What one read takes: the reply buffer's capacity.
inline constexpr int kRecvCapacity = 2046;
// A row of the data box (and of the log) spells at most this many bytes;
// a longer block goes on in further rows. Longer rows would cost every
// repaint of a flood more than the event loop can spare (each visible row
// is laid out and drawn whole). A multiple of the 16 bytes of a hex row,
// so that a part's hex rows go on seamlessly too.
inline constexpr qsizetype kRowBytes = 1024;
// The most bytes a block holds before its whole rows are shown: 16 KiB,
// more than twice the longest text a 2D code holds (7,089 digits).
inline constexpr qsizetype kBlockLimit = 16 * 1024;
// The data box keeps the newest rows up to this many characters (1 MiB of
// text, each row's line end included: some 35,000 scans of 30 bytes);
// older rows leave from the top. The session log keeps everything. Every
// so often the box's text is compacted whole, which takes longer the more
// it keeps: at 1 MiB a few milliseconds, so that a stream's longest
// stretch without an event loop iteration stays far inside 20 ms.
inline constexpr qsizetype kRecvTextLimit = 1024 * 1024;
// Begins a spelled row that goes on from the row above it (render() spells
// nothing outside ASCII, so the mark cannot be taken for data).
inline const QString kGoesOn = QStringLiteral("… ");

// Bytes of one block to be shown together.
struct Part {
    QByteArray bytes;
    bool goesOn = false;  // an earlier part of the same block was shown
    QDateTime read;       // when the first read of these bytes began
};

// Gathers the pieces of one block.
class BlockReader {
  public:
    explicit BlockReader(qsizetype limit = kBlockLimit, qsizetype rowBytes = kRowBytes)
        : limit_(limit), rowBytes_(rowBytes) {}

    struct Step {
        Part part;            // to be shown now; no bytes: nothing yet
        bool readOn = false;  // the block goes on: read again at once
        bool cut = false;     // the block passed the limit just now
    };
    // What one read gave: its result (a count, OMBRIX_E_NO_ROOM for a full
    // buffer behind which the block goes on, or another failure) and the
    // bytes it stored, begun at `read`. A failure shows what came before it.
    Step take(std::int32_t result, const QByteArray& bytes, const QDateTime& read);
    // Ends the block as it stands (a command empties the line behind it, or
    // the window closes) and gives what is held.
    Part finish();
    // A block has begun and not ended.
    bool underWay() const { return !held_.isEmpty() || shown_; }

  private:
    qsizetype limit_;
    qsizetype rowBytes_;
    QByteArray held_;
    QDateTime heldRead_;
    bool shown_ = false;  // a part of this block has been shown
};

// The rows a part adds to the data box, without line ends: kRowBytes bytes
// to a row spelled as render() spells them, or 16 to a row in hex. The
// first row of a block begins with "[HH:MM:SS.mmm] " (the time its first
// read began) when timestamps are on; every spelled row that goes on from
// the one above begins with kGoesOn. The log takes the same rows, spelled,
// without stamps (its lines carry their own time).
QStringList dataRows(const Part& part, DisplayOptions options);

// The text one whole block adds to the data box: its rows, each ended by
// '\n'.
QString unsolicitedBlock(const QByteArray& bytes, DisplayOptions options, const QTime& firstByte);

// The data box's rows by their length in characters (line end included),
// oldest first, so that it keeps the newest within its limit.
class RowLedger {
  public:
    explicit RowLedger(qsizetype limit = kRecvTextLimit) : limit_(limit) {}
    // The oldest rows that must leave the box: how many, and the characters
    // they take from its start (line ends included), so that they can be
    // selected by position without walking the box's rows.
    struct Leaving {
        int rows = 0;
        qsizetype characters = 0;
        Leaving& operator+=(const Leaving& more) {
            rows += more.rows;
            characters += more.characters;
            return *this;
        }
    };
    // A row of `length` characters was appended; returns which of the
    // oldest rows must leave now so that the rest fit the limit.
    Leaving add(qsizetype length);
    void clear();
    qsizetype characters() const { return total_; }

  private:
    qsizetype limit_;
    std::deque<qsizetype> rows_;
    qsizetype total_ = 0;
};

// What the user is told once: a block that passed kBlockLimit, and a display
// choice that cannot be kept in `path`.
QString blockCutText();
QString optionsNotSavedText(const QString& path);

// The display options live in a small file of the program's own beside the
// settings file, whose nine lines stay as they are: "TIMESTAMP=" and "HEX="
// lines, 1 for on, CR LF ended as the settings file is. Anything else in it
// is ignored; what it lacks is off.
inline const QString kDisplayOptionsFile = QStringLiteral("Tavorin_Terminal.ini");
QByteArray displayOptionsText(DisplayOptions options);
DisplayOptions parseDisplayOptions(const QByteArray& text);
// Read whole or not at all: an unreadable file gives both off.
DisplayOptions loadDisplayOptions(const QString& path = kDisplayOptionsFile);
// Replaced whole or not at all; false when it could not be written.
bool saveDisplayOptions(DisplayOptions options, const QString& path = kDisplayOptionsFile);

// ---- The session log.

// The default name of slot `slot`'s log (0-based slot, shown from 1):
// Tavorin_Log<slot>_<YYYYMMDD-HHMMSS>.txt.
QString logFileName(int slot, const QDateTime& now);
// The save dialog's filters in Qt's form: text files first.
QString logFilter();

// Which way a log line goes: sent to the scanner, come from it, or a note
// of the terminal's own (the log's end).
enum class LogDirection { Sent, Received, Note };

// One line of the log, UTF-8, ended by '\n': the local date and time to the
// millisecond, the port's listed name, ">" "<" or "-", the bytes as the
// terminal spells them, and for an image what was stored, all separated by
// tabs. Control characters in a field (a port's name can come from a USB
// device's strings, a folder's name from anyone) become spaces, so that
// every entry stays one line of four or five fields.
QByteArray logLine(const QDateTime& when, const QString& port, LogDirection direction,
                   const QString& text, const QString& note = QString());
// What an image reply's line adds: the image's size and its file.
QString imageNote(qint64 bytes, const QString& file);

// Why a log ended on its own: its terminal closed, or the device went.
enum class LogEnd { Closed, LineLost };
QString logEndText(LogEnd why);

// A log file being written: every line goes to the kernel as it is
// written, so that a crash of the program loses nothing written so far.
class SessionLog {
  public:
    // Starts a log at `path`, replacing a file that stands there. False when
    // it cannot be opened.
    bool start(const QString& path);
    // Writes one line whole. On failure (the disk full, the file or its
    // folder gone) the log has ended and the result is false.
    bool write(const QByteArray& line);
    void stop();
    bool running() const { return file_.isOpen(); }

  private:
    QFile file_;
};

}  // namespace tavorin::terminal
