// What a network port's byte stream carries besides the scanner's bytes,
// as one plug-in of the network device: the bare stream of a socket:// port
// (the data as it is), or the telnet session of an rfc2217:// port (escaped
// data, option negotiation, the line's settings and the server's answers to
// them). The device moves bytes and waits; the codec says what they mean.
// Portable and free of I/O, so that every case can be tried with tables.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device.h"

namespace ombrix {

using Bytes = std::vector<unsigned char>;

class StreamCodec {
  public:
    virtual ~StreamCodec() = default;

    // The bytes that open the session, sent as soon as the connection stands.
    virtual void start(Bytes& out) = 0;

    // Whether the server took the session: nothing while its answer is still
    // awaited, OpenError::None once it did, else why not.
    virtual std::optional<OpenError> agreed() const = 0;

    // Takes bytes received: the scanner's bytes go to `data`, answers the
    // session owes the server to `out`. A command may be cut anywhere.
    virtual void receive(const unsigned char* in, std::size_t size, Bytes& data, Bytes& out) = 0;

    // What the stream has shown that makes it unusable for this kind of
    // port (OpenError::None while nothing has). Once it is set, receive()
    // passes no more data.
    virtual OpenError fault() const { return OpenError::None; }

    // Appends the scanner's bytes `in` in the stream's form.
    virtual void encode(const unsigned char* in, std::size_t size, Bytes& out) const = 0;

    // How many of the bytes `in` the first `taken` bytes of their encoding
    // carry, when the kernel took no more. What is left of an escape that
    // the cut split goes to `rest`, to go first next time, so that the
    // stream stays whole.
    virtual std::size_t carried(const unsigned char* in, std::size_t taken, Bytes& rest) const = 0;

    // Appends the server's purge command for the input, the output or both;
    // nothing where the stream has none.
    virtual void purge(bool input, bool output, Bytes& out) const = 0;

    // Appends the commands that set the far line as `line` asks and forgets
    // the answers to earlier ones. False where the stream sets no line.
    virtual bool setLine(const LineSettings& line, Bytes& out) = 0;

    // After setLine(): nothing while answers are still awaited and the time
    // for them is not up; else the first setting the server did not set as
    // asked, or a fault of LineSetting::None when it set them all.
    virtual std::optional<LineFault> lineVerdict(bool timeUp) const = 0;
};

// The codec of a socket:// port: the data as it is. A stream that opens
// with telnet negotiation (IAC and an option verb before any other byte)
// is a telnet port given as a raw one: OpenError::Telnet.
std::unique_ptr<StreamCodec> rawCodec();

// The codec of an rfc2217:// port: the client's telnet session with the
// Com Port Control option.
std::unique_ptr<StreamCodec> rfc2217Codec();

// The server's words for a person to read, from the data bytes it sent:
// its first line that holds anything, trimmed, every byte that is no
// printable ASCII as '?', cut to kMaxWords characters.
constexpr std::size_t kMaxWords = OMBRIX_FAILURE_TEXT_SIZE - 1;
std::string serverWords(const Bytes& heard);

}  // namespace ombrix
