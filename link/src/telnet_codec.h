// The telnet side of a network port: the byte stream's escaping, the option
// negotiation and sub-negotiations of a telnet session, and the Com Port
// Control option's commands and the server's answers to them. Portable and
// free of I/O: bytes go in, decoded data and the bytes to send come out, so
// that every case can be tried with tables and fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "device.h"

namespace ombrix::telnet {

using Bytes = std::vector<unsigned char>;

// Commands: "interpret as command" and what may follow it.
constexpr unsigned char IAC = 255;
constexpr unsigned char DONT = 254;
constexpr unsigned char DO = 253;
constexpr unsigned char WONT = 252;
constexpr unsigned char WILL = 251;
constexpr unsigned char SB = 250;
constexpr unsigned char SE = 240;

// Options.
constexpr unsigned char BINARY = 0;
constexpr unsigned char SUPPRESS_GO_AHEAD = 3;
constexpr unsigned char COM_PORT_OPTION = 44;

// Where one side of one option stands. WantYes and WantNo wait for the
// answer to a request of ours; answers are never answered again, which is
// what keeps two parties from negotiating in a loop.
enum class OptionState : std::uint8_t { No, Yes, WantYes, WantNo };

// One telnet session as the client sees it.
class Session {
  public:
    // `local`: the options this side offers to perform (it sends WILL);
    // `remote`: the options it asks the other side to perform (DO). Offers
    // of any other option are refused, and requests for any other option
    // declined.
    Session(std::vector<unsigned char> local, std::vector<unsigned char> remote);

    // The requests that open the session, appended to `out`.
    void start(Bytes& out);

    // Takes bytes received: data bytes go to `data` (escaped IACs undoubled),
    // answers to the other side's negotiation go to `out`, and every
    // completed sub-negotiation is kept for subnegotiations(). A command may
    // be split anywhere across calls.
    void receive(const unsigned char* in, std::size_t size, Bytes& data, Bytes& out);

    OptionState local(unsigned char option) const { return local_[option]; }
    OptionState remote(unsigned char option) const { return remote_[option]; }
    // Whether the other side ever said DONT or WONT to `option`: a server
    // that answers an offer with WONT means no as well, however loosely.
    bool declined(unsigned char option) const { return declined_[option]; }

    // Completed sub-negotiations, oldest first: the option byte, then the
    // parameters with their escaping undone. One longer than kMaxPayload is
    // dropped whole.
    std::deque<Bytes>& subnegotiations() { return received_; }
    static constexpr std::size_t kMaxPayload = 256;
    // Beyond that many unread sub-negotiations the oldest are dropped: a
    // server that keeps notifying must not make the client hold without
    // limit what it never asks for.
    static constexpr std::size_t kMaxKept = 64;

  private:
    enum class Parse : std::uint8_t { Data, Command, Option, SubOption, SubData, SubCommand };
    void negotiate(unsigned char verb, unsigned char option, Bytes& out);
    void endSubnegotiation();

    bool wantedLocal_[256] = {};
    bool wantedRemote_[256] = {};
    OptionState local_[256] = {};
    OptionState remote_[256] = {};
    bool declined_[256] = {};

    Parse parse_ = Parse::Data;
    unsigned char verb_ = 0;
    Bytes sub_;
    bool subTooLong_ = false;
    std::deque<Bytes> received_;
};

// The session a client of a serial device server holds: it offers binary
// transmission, suppress-go-ahead and the Com Port Control option, and asks
// the server for binary transmission and suppress-go-ahead.
Session rfc2217Client();

// Appends `size` data bytes to `out` with every IAC doubled.
void encodeData(const unsigned char* in, std::size_t size, Bytes& out);

// Appends IAC SB option payload IAC SE, the payload's IACs doubled.
void subnegotiation(unsigned char option, const Bytes& payload, Bytes& out);

// The Com Port Control option: the client's command codes; the server
// answers each with the same code plus kServerOffset and the value it took.
enum ComCode : unsigned char {
    SIGNATURE = 0,
    SET_BAUDRATE = 1,
    SET_DATASIZE = 2,
    SET_PARITY = 3,
    SET_STOPSIZE = 4,
    SET_CONTROL = 5,
    NOTIFY_LINESTATE = 6,
    NOTIFY_MODEMSTATE = 7,
    FLOWCONTROL_SUSPEND = 8,
    FLOWCONTROL_RESUME = 9,
    SET_LINESTATE_MASK = 10,
    SET_MODEMSTATE_MASK = 11,
    PURGE_DATA = 12,
};
constexpr unsigned char kServerOffset = 100;

// Values of SET-CONTROL and PURGE-DATA the library sends.
enum ControlValue : unsigned char {
    FLOW_NONE = 1,
    FLOW_XON_XOFF = 2,
    FLOW_HARDWARE = 3,
    DTR_ON = 8,
    RTS_ON = 11,
    RTS_OFF = 12,
};
enum PurgeValue : unsigned char {
    PURGE_RECEIVE = 1,   // what the server received from the line and holds for us
    PURGE_TRANSMIT = 2,  // what it holds to send on the line
    PURGE_BOTH = 3,
};

// Appends one client command.
void comCommand(ComCode code, const Bytes& value, Bytes& out);

// Appends the commands that set the line as a serial port is set: speed,
// data size, parity, stop size, flow control in both directions, DTR on,
// RTS on with hardware flow control and off without.
void lineCommands(const LineSettings& line, Bytes& out);

// The line commands whose answers an open waits for, in the order sent.
// Answers to SET-CONTROL are not among them: some servers never send them.
constexpr ComCode kAnsweredLineCommands[] = {SET_BAUDRATE, SET_DATASIZE, SET_PARITY, SET_STOPSIZE};

// Which client command a server's answer answers (its code without the
// offset), and the value the server answered with. False for a
// sub-negotiation of another option, or one that is no server answer.
bool comReply(const Bytes& subnegotiation, ComCode& answered, Bytes& value);

}  // namespace ombrix::telnet
