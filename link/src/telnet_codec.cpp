#include "telnet_codec.h"

#include <utility>

namespace ombrix::telnet {

Session::Session(std::vector<unsigned char> local, std::vector<unsigned char> remote) {
    for (unsigned char option : local) wantedLocal_[option] = true;
    for (unsigned char option : remote) wantedRemote_[option] = true;
}

void Session::start(Bytes& out) {
    for (int option = 0; option < 256; ++option) {
        if (wantedLocal_[option] && local_[option] == OptionState::No) {
            local_[option] = OptionState::WantYes;
            out.insert(out.end(), {IAC, WILL, static_cast<unsigned char>(option)});
        }
        if (wantedRemote_[option] && remote_[option] == OptionState::No) {
            remote_[option] = OptionState::WantYes;
            out.insert(out.end(), {IAC, DO, static_cast<unsigned char>(option)});
        }
    }
}

// One side of an option, as the other party's WILL/WONT (for its side) or
// DO/DONT (for ours) moves it. Only a change of state is answered, and an
// answer to our own request is not: that is what ends every negotiation.
void Session::negotiate(unsigned char verb, unsigned char option, Bytes& out) {
    const bool aboutRemote = verb == WILL || verb == WONT;
    const bool enable = verb == WILL || verb == DO;
    OptionState& state = aboutRemote ? remote_[option] : local_[option];
    const bool wanted = aboutRemote ? wantedRemote_[option] : wantedLocal_[option];
    const unsigned char agree = aboutRemote ? DO : WILL;
    const unsigned char refuse = aboutRemote ? DONT : WONT;
    if (!enable) declined_[option] = true;
    switch (state) {
        case OptionState::No:
            if (!enable) return;
            if (wanted) {
                state = OptionState::Yes;
                out.insert(out.end(), {IAC, agree, option});
            } else {
                out.insert(out.end(), {IAC, refuse, option});
            }
            return;
        case OptionState::Yes:
            if (enable) return;
            state = OptionState::No;
            out.insert(out.end(), {IAC, refuse, option});
            return;
        case OptionState::WantYes:
            state = enable ? OptionState::Yes : OptionState::No;
            return;
        case OptionState::WantNo:
            // Whatever the answer, the option is off now: a party that
            // answers a refusal with an offer is not asked again.
            state = OptionState::No;
            return;
    }
}

void Session::endSubnegotiation() {
    if (subTooLong_) return;
    received_.push_back(std::move(sub_));
    sub_.clear();
    while (received_.size() > kMaxKept) received_.pop_front();
}

void Session::receive(const unsigned char* in, std::size_t size, Bytes& data, Bytes& out) {
    auto keep = [this](unsigned char byte) {
        if (sub_.size() > kMaxPayload) {
            subTooLong_ = true;
        } else {
            sub_.push_back(byte);
        }
    };
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = in[i];
        switch (parse_) {
            case Parse::Data:
                if (byte == IAC) {
                    parse_ = Parse::Command;
                } else {
                    data.push_back(byte);
                }
                break;
            case Parse::Command:
                if (byte == IAC) {
                    data.push_back(IAC);
                    parse_ = Parse::Data;
                } else if (byte == WILL || byte == WONT || byte == DO || byte == DONT) {
                    verb_ = byte;
                    parse_ = Parse::Option;
                } else if (byte == SB) {
                    parse_ = Parse::SubOption;
                } else {
                    // NOP, go-ahead, data mark and the rest carry nothing
                    // for a serial line; a stray SE ends nothing.
                    parse_ = Parse::Data;
                }
                break;
            case Parse::Option:
                negotiate(verb_, byte, out);
                parse_ = Parse::Data;
                break;
            case Parse::SubOption:
                sub_.assign(1, byte);
                subTooLong_ = false;
                parse_ = Parse::SubData;
                break;
            case Parse::SubData:
                if (byte == IAC) {
                    parse_ = Parse::SubCommand;
                } else {
                    keep(byte);
                }
                break;
            case Parse::SubCommand:
                if (byte == IAC) {
                    keep(IAC);
                    parse_ = Parse::SubData;
                } else if (byte == SE) {
                    endSubnegotiation();
                    parse_ = Parse::Data;
                } else {
                    // IAC and anything but SE inside a sub-negotiation: it
                    // was never ended. It is dropped, and the command that
                    // follows is taken as one, so that a peer's broken
                    // sub-negotiation cannot swallow the rest of the stream.
                    sub_.clear();
                    parse_ = Parse::Command;
                    --i;
                }
                break;
        }
    }
}

Session rfc2217Client() {
    return Session({BINARY, SUPPRESS_GO_AHEAD, COM_PORT_OPTION}, {BINARY, SUPPRESS_GO_AHEAD});
}

void encodeData(const unsigned char* in, std::size_t size, Bytes& out) {
    out.reserve(out.size() + size);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(in[i]);
        if (in[i] == IAC) out.push_back(IAC);
    }
}

void subnegotiation(unsigned char option, const Bytes& payload, Bytes& out) {
    out.insert(out.end(), {IAC, SB, option});
    encodeData(payload.data(), payload.size(), out);
    out.insert(out.end(), {IAC, SE});
}

void comCommand(ComCode code, const Bytes& value, Bytes& out) {
    Bytes payload{code};
    payload.insert(payload.end(), value.begin(), value.end());
    subnegotiation(COM_PORT_OPTION, payload, out);
}

void lineCommands(const LineSettings& line, Bytes& out) {
    const auto baud = static_cast<std::uint32_t>(line.baud);
    comCommand(SET_BAUDRATE,
               {static_cast<unsigned char>(baud >> 24), static_cast<unsigned char>(baud >> 16),
                static_cast<unsigned char>(baud >> 8), static_cast<unsigned char>(baud)},
               out);
    comCommand(SET_DATASIZE, {static_cast<unsigned char>(line.dataBits)}, out);
    comCommand(SET_PARITY,
               {static_cast<unsigned char>(line.parity == 'O'   ? 2
                                           : line.parity == 'E' ? 3
                                                                : 1)},
               out);
    comCommand(SET_STOPSIZE, {static_cast<unsigned char>(line.stopBits == 2 ? 2 : 1)}, out);
    // One flow control governs both directions. With both asked for,
    // hardware flow control wins: the server has one setting, and the
    // handshake lines are what a scanner that has them relies on.
    comCommand(SET_CONTROL,
               {line.rtsCts    ? FLOW_HARDWARE
                : line.xonXoff ? FLOW_XON_XOFF
                               : FLOW_NONE},
               out);
    comCommand(SET_CONTROL, {DTR_ON}, out);
    comCommand(SET_CONTROL, {line.rtsCts ? RTS_ON : RTS_OFF}, out);
}

bool comReply(const Bytes& sub, ComCode& answered, Bytes& value) {
    if (sub.size() < 2 || sub[0] != COM_PORT_OPTION || sub[1] < kServerOffset ||
        sub[1] > kServerOffset + PURGE_DATA)
        return false;
    answered = static_cast<ComCode>(sub[1] - kServerOffset);
    value.assign(sub.begin() + 2, sub.end());
    return true;
}

}  // namespace ombrix::telnet
