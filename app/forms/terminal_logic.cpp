#include "terminal_logic.h"

#include "ombrix.h"

namespace tavorin::terminal {

RecvMode recvModeFor(const QString& command) {
    const QString u = command.toUpper();
    bool image = u.contains(u"IMG") && (u.contains(u"SHP") || u.contains(u"BOX")) &&
                 !u.contains(u'^') && !u.contains(u'?');
    return image ? RecvMode::Image : RecvMode::Response;
}

TickStart tickStart(std::int32_t waiting) {
    // The library answers a count for a line that is there, and a negative
    // code only for an open port whose device has vanished.
    if (waiting < 0) return TickStart::LineLost;
    return waiting == 0 ? TickStart::Rearm : TickStart::Read;
}

ReadFailure afterFailedRead(std::int32_t result, std::int32_t waitingAfter) {
    if (tickStart(waitingAfter) == TickStart::LineLost) return {OMBRIX_E_COMM, true};
    return {result, false};
}

Rendered render(const QByteArray& bytes) {
    Rendered r;
    for (char ch : bytes) {
        const unsigned char b = static_cast<unsigned char>(ch);
        switch (b) {
            case 0x05:
                r.text += u"<ENQ>";
                r.ack = Refused;
                break;
            case 0x06:
                r.text += u"<ACK>";
                if (r.ack == NoAck) r.ack = Acked;
                break;
            case 0x0A:
                r.text += u"<LF>";
                break;
            case 0x0D:
                r.text += u"<CR>";
                break;
            case 0x15:
                r.text += u"<NAK>";
                r.ack = Refused;
                break;
            case 0x16:
                r.text += u"<SYN>";
                break;
            default:
                if (b >= 32 && b <= 127) {
                    r.text += QChar(b);
                } else {
                    r.text +=
                        u'<' + QStringLiteral("%1").arg(b, 2, 16, QChar(u'0')).toUpper() + u'>';
                }
        }
    }
    return r;
}

Layout layoutFor(int clientWidth, int clientHeight, int recvLeft, int recvTop, int oldRecvWidth,
                 int oldRecvHeight) {
    Layout l{oldRecvWidth, oldRecvHeight, clientWidth};
    int h = clientHeight - recvTop - recvLeft;
    if (h >= 0) l.recvHeight = h;
    int w = clientWidth - 2 * recvLeft;
    if (w >= 0) l.recvWidth = w;
    return l;
}

}  // namespace tavorin::terminal
