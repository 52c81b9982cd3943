// The telnet codec of network ports against arbitrary server streams: it
// must never crash or hold without bound, must take a stream apart the same
// wherever it is cut, and must give back exactly the data it escaped.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "stream_codec.h"
#include "telnet_codec.h"

using namespace ombrix::telnet;

namespace {

struct Result {
    Bytes data;
    Bytes out;
    std::deque<Bytes> subs;
};

void feed(Session& s, const std::uint8_t* in, std::size_t size, Result& r) {
    s.receive(in, size, r.data, r.out);
    for (Bytes& b : s.subnegotiations()) {
        if (b.size() > Session::kMaxPayload + 1) std::abort();
        ComCode answered;
        Bytes value;
        if (comReply(b, answered, value) && value.size() + 2 != b.size()) std::abort();
        r.subs.push_back(std::move(b));
    }
    s.subnegotiations().clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses where the stream is cut: 0..length.
    const std::size_t cut = input[0] % size;
    const std::uint8_t* stream = input + 1;
    const std::size_t length = size - 1;

    Session whole = rfc2217Client();
    Bytes opening;
    whole.start(opening);
    Result a;
    feed(whole, stream, length, a);

    Session pieces = rfc2217Client();
    pieces.start(opening);
    Result b;
    feed(pieces, stream, cut, b);
    feed(pieces, stream + cut, length - cut, b);
    if (a.data != b.data || a.out != b.out) std::abort();
    // Sub-negotiations left unread beyond the limit are dropped, oldest
    // first, so a stream taken in one piece may keep fewer than one taken
    // in two; what it keeps are the newest, the same in both.
    if (a.subs.size() > b.subs.size() ||
        !std::equal(a.subs.begin(), a.subs.end(),
                    b.subs.end() - static_cast<std::ptrdiff_t>(a.subs.size())))
        std::abort();
    if (a.subs.size() < Session::kMaxKept && a.subs.size() != b.subs.size()) std::abort();
    // Data never grows, and answers are few: at most one per negotiation.
    if (a.data.size() > length || a.out.size() > length) std::abort();

    // Whatever is escaped comes back unchanged, commands and all.
    Bytes escaped;
    encodeData(stream, length, escaped);
    Session echo = rfc2217Client();
    Result c;
    feed(echo, escaped.data(), escaped.size(), c);
    if (c.data != Bytes(stream, stream + length) || !c.out.empty() || !c.subs.empty()) std::abort();

    // The stream codecs: the server's answers to the line's settings never
    // make a verdict out of nothing, and a raw stream is the data as it is
    // unless it opened as a telnet session (a lone IAC at its start waits
    // for the byte that tells).
    std::unique_ptr<ombrix::StreamCodec> line = ombrix::rfc2217Codec();
    Bytes commands, data;
    line->setLine(ombrix::LineSettings{}, commands);
    line->receive(stream, length, data, commands);
    if (!line->lineVerdict(true)) std::abort();
    std::unique_ptr<ombrix::StreamCodec> raw = ombrix::rawCodec();
    Bytes plain;
    raw->receive(stream, cut, plain, commands);
    raw->receive(stream + cut, length - cut, plain, commands);
    const bool waiting = length == 1 && stream[0] == IAC;
    const Bytes expected = waiting ? Bytes() : Bytes(stream, stream + length);
    if (raw->fault() == ombrix::OpenError::None ? plain != expected : !plain.empty()) std::abort();
    return 0;
}
