#include "stream_codec.h"

#include <climits>

#include "telnet_codec.h"

namespace ombrix {
namespace {

using namespace telnet;

class RawCodec final : public StreamCodec {
  public:
    void start(Bytes&) override {}
    std::optional<OpenError> agreed() const override { return OpenError::None; }

    // Only the stream's first two bytes are looked at: later, IAC and an
    // option verb are as good a pair of picture bytes as any.
    void receive(const unsigned char* in, std::size_t size, Bytes& data, Bytes&) override {
        if (telnet_) return;
        std::size_t i = 0;
        for (; i < size && start_ != Start::Past; ++i) {
            const unsigned char b = in[i];
            if (start_ == Start::First) {
                start_ = b == IAC ? Start::AfterIac : Start::Past;
                if (b != IAC) data.push_back(b);
                continue;
            }
            if (b >= SB && b <= DONT) {
                telnet_ = true;
                return;
            }
            start_ = Start::Past;
            data.insert(data.end(), {IAC, b});
        }
        data.insert(data.end(), in + i, in + size);
    }
    OpenError fault() const override { return telnet_ ? OpenError::Telnet : OpenError::None; }

    void encode(const unsigned char* in, std::size_t size, Bytes& out) const override {
        out.insert(out.end(), in, in + size);
    }
    std::size_t carried(const unsigned char*, std::size_t taken, Bytes&) const override {
        return taken;
    }
    void purge(bool, bool, Bytes&) const override {}
    bool setLine(const LineSettings&, Bytes&) override { return false; }
    std::optional<LineFault> lineVerdict(bool) const override { return LineFault{}; }

  private:
    enum class Start { First, AfterIac, Past } start_ = Start::First;
    bool telnet_ = false;
};

// A server's answer in the terms of the public header's OMBRIX_LINE_*
// values, or OMBRIX_LINE_OTHER for one the open never asks for.
int answeredValue(ComCode code, const Bytes& v) {
    const int only = v.size() == 1 ? v[0] : -1;
    switch (code) {
        case SET_BAUDRATE: {
            if (v.size() != 4) return OMBRIX_LINE_OTHER;
            const unsigned long bps = static_cast<unsigned long>(v[0]) << 24 |
                                      static_cast<unsigned long>(v[1]) << 16 |
                                      static_cast<unsigned long>(v[2]) << 8 | v[3];
            return bps > INT_MAX ? OMBRIX_LINE_OTHER : static_cast<int>(bps);
        }
        case SET_DATASIZE:
            return only >= 5 && only <= 8 ? only : OMBRIX_LINE_OTHER;
        case SET_PARITY:
            return only == 1 ? 0 : only == 3 ? 1 : only == 2 ? 2 : OMBRIX_LINE_OTHER;
        case SET_STOPSIZE:
            return only == 1 || only == 2 ? only : OMBRIX_LINE_OTHER;
        default:  // SET_CONTROL's flow control
            return only == FLOW_NONE       ? 0
                   : only == FLOW_XON_XOFF ? 1
                   : only == FLOW_HARDWARE ? 2
                                           : OMBRIX_LINE_OTHER;
    }
}

// What the open asked for, in the same terms. The flow control is the one
// lineCommands() sends: hardware wins when both are asked for.
int askedValue(ComCode code, const LineSettings& line) {
    switch (code) {
        case SET_BAUDRATE:
            return line.baud;
        case SET_DATASIZE:
            return line.dataBits;
        case SET_PARITY:
            return line.parity == 'E' ? 1 : line.parity == 'O' ? 2 : 0;
        case SET_STOPSIZE:
            return line.stopBits;
        default:
            return line.rtsCts ? 2 : line.xonXoff ? 1 : 0;
    }
}

LineSetting settingOf(ComCode code) {
    switch (code) {
        case SET_BAUDRATE:
            return LineSetting::Speed;
        case SET_DATASIZE:
            return LineSetting::DataBits;
        case SET_PARITY:
            return LineSetting::Parity;
        case SET_STOPSIZE:
            return LineSetting::StopBits;
        default:
            return LineSetting::Flow;
    }
}

// SET-CONTROL answers the flow control, DTR, RTS and break alike; these
// values are the flow control of the server's output (or both ways).
bool isFlowValue(unsigned char value) {
    return value == FLOW_NONE || value == FLOW_XON_XOFF || value == FLOW_HARDWARE ||
           value == 17 /* DCD */ || value == 19 /* DSR */;
}

class Rfc2217Codec final : public StreamCodec {
  public:
    void start(Bytes& out) override { session_.start(out); }

    std::optional<OpenError> agreed() const override {
        // A server that answers the offer with WONT means no as well.
        if (session_.declined(COM_PORT_OPTION)) return OpenError::NoComControl;
        switch (session_.local(COM_PORT_OPTION)) {
            case OptionState::Yes:
                return OpenError::None;
            case OptionState::No:
                return OpenError::NoComControl;
            default:
                return std::nullopt;
        }
    }

    void receive(const unsigned char* in, std::size_t size, Bytes& data, Bytes& out) override {
        session_.receive(in, size, data, out);
        for (const Bytes& sub : session_.subnegotiations()) {
            ComCode code;
            Bytes value;
            if (!comReply(sub, code, value)) continue;
            if (code >= SET_BAUDRATE && code <= SET_STOPSIZE) {
                answers_[code] = value;
            } else if (code == SET_CONTROL && value.size() == 1 && isFlowValue(value[0])) {
                answers_[SET_CONTROL] = value;
            }
        }
        session_.subnegotiations().clear();
    }

    void encode(const unsigned char* in, std::size_t size, Bytes& out) const override {
        encodeData(in, size, out);
    }

    std::size_t carried(const unsigned char* in, std::size_t taken, Bytes& rest) const override {
        // A doubled IAC that the cut split counts as sent: its second half
        // goes first next time.
        std::size_t sent = 0;
        for (std::size_t at = 0; at < taken; ++sent) {
            at += in[sent] == IAC ? 2 : 1;
            if (at > taken) rest.push_back(IAC);
        }
        return sent;
    }

    void purge(bool input, bool output, Bytes& out) const override {
        if (!input && !output) return;
        comCommand(PURGE_DATA,
                   {static_cast<unsigned char>(input && output ? PURGE_BOTH
                                               : input         ? PURGE_RECEIVE
                                                               : PURGE_TRANSMIT)},
                   out);
    }

    bool setLine(const LineSettings& line, Bytes& out) override {
        for (auto& a : answers_) a.reset();
        asked_ = line;
        lineCommands(line, out);
        return true;
    }

    // The speed, data size, parity and stop size must come back as asked;
    // the flow control only where the server answers it at all, since some
    // servers never answer SET-CONTROL.
    std::optional<LineFault> lineVerdict(bool timeUp) const override {
        for (ComCode code : kAnsweredLineCommands) {
            const int asked = askedValue(code, asked_);
            if (!answers_[code]) {
                if (!timeUp) return std::nullopt;
                return LineFault{settingOf(code), asked, OMBRIX_LINE_NO_ANSWER};
            }
            const int set = answeredValue(code, *answers_[code]);
            if (set != asked) return LineFault{settingOf(code), asked, set};
        }
        if (const std::optional<Bytes>& flow = answers_[SET_CONTROL]) {
            const int asked = askedValue(SET_CONTROL, asked_);
            const int set = answeredValue(SET_CONTROL, *flow);
            if (set != asked) return LineFault{LineSetting::Flow, asked, set};
        }
        return LineFault{};
    }

  private:
    Session session_ = rfc2217Client();
    LineSettings asked_;
    // The latest answer to each line command since setLine().
    std::optional<Bytes> answers_[SET_CONTROL + 1];
};

}  // namespace

std::unique_ptr<StreamCodec> rawCodec() {
    return std::make_unique<RawCodec>();
}

std::unique_ptr<StreamCodec> rfc2217Codec() {
    return std::make_unique<Rfc2217Codec>();
}

std::string serverWords(const Bytes& heard) {
    auto blank = [](unsigned char b) { return b == ' ' || b == '\t'; };
    std::size_t begin = 0;
    while (begin < heard.size()) {
        std::size_t end = begin;
        while (end < heard.size() && heard[end] != '\r' && heard[end] != '\n') ++end;
        std::size_t first = begin, last = end;
        while (first < last && blank(heard[first])) ++first;
        while (last > first && blank(heard[last - 1])) --last;
        if (first < last) {
            std::string words;
            for (std::size_t i = first; i < last && words.size() < kMaxWords; ++i) {
                words.push_back(heard[i] >= 0x20 && heard[i] <= 0x7E ? static_cast<char>(heard[i])
                                                                     : '?');
            }
            return words;
        }
        begin = end + 1;
    }
    return std::string();
}

}  // namespace ombrix
