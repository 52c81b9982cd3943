// What the terminal decides without a widget: which reply a typed command
// awaits, how received bytes are shown, how its data box follows the
// window's size, and its bench tools: the command history, the display
// options and the session log.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
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

// The lines one block of unsolicited data adds to the data box, each ended
// by '\n': spelled (as render() spells them) or in hex, and with
// timestamps the first line begins with "[HH:MM:SS.mmm] ", the time the
// block's first byte was read.
QString unsolicitedBlock(const QByteArray& bytes, DisplayOptions options, const QTime& firstByte);

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
