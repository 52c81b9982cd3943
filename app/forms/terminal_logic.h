// What the terminal decides without a widget: which reply a typed command
// awaits, how received bytes are shown, and how its data box follows the
// window's size.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

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

}  // namespace tavorin::terminal
