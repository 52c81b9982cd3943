// The telnet codec of network ports, against tables: what a session sends,
// how it answers a server's negotiation (a real server's opening included),
// how it takes the stream apart however the stream is cut, and the Com Port
// Control option's commands and answers.
#include <gtest/gtest.h>

#include "telnet_codec.h"

namespace tavorin::test {
namespace {

using namespace ombrix::telnet;

struct Decoded {
    Bytes data;
    Bytes out;
    std::deque<Bytes> subs;
    bool operator==(const Decoded&) const = default;
};

Decoded decode(Session& s, const Bytes& in) {
    Decoded d;
    s.receive(in.data(), in.size(), d.data, d.out);
    d.subs = s.subnegotiations();
    s.subnegotiations().clear();
    return d;
}

TEST(TelnetCodecTest, TheClientAsksForItsOptionsAndAnswersOnlyChanges) {
    Session s = rfc2217Client();
    Bytes out;
    s.start(out);
    EXPECT_EQ(out, (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));
    out.clear();
    s.start(out);
    EXPECT_TRUE(out.empty()) << "nothing is asked twice";

    struct Step {
        const char* what;
        Bytes in;
        Bytes answer;
    };
    const Step steps[] = {
        // What ser2net sends as soon as a client connects: only its offer to
        // echo is refused; the rest answers what was asked.
        {"a real server's opening",
         {IAC, WILL, 3,  IAC, DO,  3,    IAC, WILL, 1,  IAC, DONT,
          1,   IAC,  DO, 0,   IAC, WILL, 0,   IAC,  DO, 44},
         {IAC, DONT, 1}},
        {"agreement repeated", {IAC, DO, 3, IAC, WILL, 0}, {}},
        {"an unknown request", {IAC, DO, 24}, {IAC, WONT, 24}},
        {"an unknown offer", {IAC, WILL, 44}, {IAC, DONT, 44}},
        {"an enabled option withdrawn", {IAC, WONT, 0}, {IAC, DONT, 0}},
        {"offered again", {IAC, WILL, 0}, {IAC, DO, 0}},
        {"a request to stop", {IAC, DONT, 44}, {IAC, WONT, 44}},
        {"a refusal already taken", {IAC, DONT, 44, IAC, WONT, 1}, {}},
    };
    for (const Step& step : steps) {
        Decoded d = decode(s, step.in);
        EXPECT_EQ(d.out, step.answer) << step.what;
        EXPECT_TRUE(d.data.empty()) << step.what;
    }
    EXPECT_EQ(s.local(COM_PORT_OPTION), OptionState::No);
    EXPECT_EQ(s.remote(BINARY), OptionState::Yes);
    EXPECT_EQ(s.local(SUPPRESS_GO_AHEAD), OptionState::Yes);
}

TEST(TelnetCodecTest, ARefusedRequestIsNotAnsweredAndStaysRefused) {
    const struct {
        Bytes in;
        OptionState comPort;
        OptionState binary;
    } cases[] = {
        {{IAC, DONT, 44}, OptionState::No, OptionState::WantYes},
        {{IAC, WONT, 0}, OptionState::WantYes, OptionState::No},
        {{IAC, DO, 44, IAC, WILL, 0}, OptionState::Yes, OptionState::Yes},
        {{IAC, WONT, 44}, OptionState::WantYes, OptionState::WantYes},
    };
    for (const auto& c : cases) {
        Session s = rfc2217Client();
        Bytes out;
        s.start(out);
        EXPECT_TRUE(decode(s, c.in).out.empty());
        EXPECT_EQ(s.local(COM_PORT_OPTION), c.comPort);
        EXPECT_EQ(s.remote(BINARY), c.binary);
        // Either no to the option, a DONT or a loose WONT, is told.
        EXPECT_EQ(s.declined(COM_PORT_OPTION), c.in[1] != DO && c.in[2] == COM_PORT_OPTION);
    }
}

// A stream with everything in it: data with escaped 0xFF bytes, a command
// that carries nothing, a negotiation, and sub-negotiations with escaped
// bytes inside, one of them never ended.
Bytes everything() {
    return {'A', IAC, IAC,  'B', IAC, 241, 'C', IAC, WILL, 1,   0xFF - 1, IAC, SB, 44, 101,
            0,   1,   IAC,  IAC, IAC, SE,  'D', IAC, IAC,  IAC, IAC,      IAC, SB, 44, 112,
            1,   IAC, WILL, 24,  'E', IAC, SB,  44,  107,  48,  IAC,      SE,  IAC};
}

TEST(TelnetCodecTest, TheStreamComesApartAlikeWhereverItIsCut) {
    Session whole = rfc2217Client();
    Decoded reference = decode(whole, everything());
    EXPECT_EQ(reference.data, (Bytes{'A', 0xFF, 'B', 'C', 0xFE, 'D', 0xFF, 0xFF, 'E'}));
    EXPECT_EQ(reference.out, (Bytes{IAC, DONT, 1, IAC, DONT, 24}));
    ASSERT_EQ(reference.subs.size(), 2u) << "the unterminated one is dropped";
    EXPECT_EQ(reference.subs[0], (Bytes{44, 101, 0, 1, 0xFF}));
    EXPECT_EQ(reference.subs[1], (Bytes{44, 107, 48}));

    // Every cut into two pieces, and the stream a byte at a time, give the
    // same bytes, answers and sub-negotiations; the IAC at the very end
    // waits for what follows it.
    const Bytes stream = everything();
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Session s = rfc2217Client();
        Decoded d = decode(s, Bytes(stream.begin(), stream.begin() + static_cast<long>(cut)));
        Decoded rest = decode(s, Bytes(stream.begin() + static_cast<long>(cut), stream.end()));
        d.data.insert(d.data.end(), rest.data.begin(), rest.data.end());
        d.out.insert(d.out.end(), rest.out.begin(), rest.out.end());
        d.subs.insert(d.subs.end(), rest.subs.begin(), rest.subs.end());
        EXPECT_EQ(d, reference) << "cut at " << cut;
    }
    Session bytewise = rfc2217Client();
    Decoded d;
    for (unsigned char b : stream) {
        Decoded one = decode(bytewise, {b});
        d.data.insert(d.data.end(), one.data.begin(), one.data.end());
        d.out.insert(d.out.end(), one.out.begin(), one.out.end());
        d.subs.insert(d.subs.end(), one.subs.begin(), one.subs.end());
    }
    EXPECT_EQ(d, reference);
    EXPECT_EQ(decode(bytewise, {241, 'F'}).data, Bytes{'F'}) << "the trailing IAC took the NOP";
}

TEST(TelnetCodecTest, WhatIsKeptOfSubnegotiationsIsBounded) {
    Session s = rfc2217Client();
    Bytes longOne{IAC, SB, 44, 107};
    longOne.insert(longOne.end(), Session::kMaxPayload + 10, 'x');
    longOne.insert(longOne.end(), {IAC, SE, 'y'});
    Decoded d = decode(s, longOne);
    EXPECT_TRUE(d.subs.empty()) << "too long: dropped whole";
    EXPECT_EQ(d.data, Bytes{'y'});

    Bytes many;
    for (std::size_t i = 0; i < Session::kMaxKept + 5; ++i)
        many.insert(many.end(), {IAC, SB, 44, 107, static_cast<unsigned char>(i), IAC, SE});
    Session t = rfc2217Client();
    d = decode(t, many);
    ASSERT_EQ(d.subs.size(), Session::kMaxKept);
    EXPECT_EQ(d.subs.front()[2], 5) << "the oldest went first";
}

TEST(TelnetCodecTest, DataAndCommandsAreEscapedOnTheWayOut) {
    Bytes out;
    const Bytes data{0x16, 'M', 0xFF, 0xFF, 0x0D};
    encodeData(data.data(), data.size(), out);
    EXPECT_EQ(out, (Bytes{0x16, 'M', 0xFF, 0xFF, 0xFF, 0xFF, 0x0D}));

    struct Case {
        const char* what;
        ombrix::LineSettings line;
        Bytes expected;
    };
    auto line = [](int baud, int bits, char parity, int stop, bool rtsCts, bool xonXoff) {
        ombrix::LineSettings l;
        l.baud = baud;
        l.dataBits = bits;
        l.parity = parity;
        l.stopBits = stop;
        l.rtsCts = rtsCts;
        l.xonXoff = xonXoff;
        return l;
    };
    auto sb = [](std::initializer_list<unsigned char> payload) {
        Bytes b{IAC, SB, 44};
        b.insert(b.end(), payload);
        b.insert(b.end(), {IAC, SE});
        return b;
    };
    auto concat = [](std::initializer_list<Bytes> parts) {
        Bytes b;
        for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
        return b;
    };
    const Case cases[] = {
        {"115200 8N1, no flow control", line(115200, 8, 'N', 1, false, false),
         concat({sb({1, 0, 1, 0xC2, 0}), sb({2, 8}), sb({3, 1}), sb({4, 1}), sb({5, 1}), sb({5, 8}),
                 sb({5, 12})})},
        {"300 7E2, XON/XOFF", line(300, 7, 'E', 2, false, true),
         concat({sb({1, 0, 0, 1, 0x2C}), sb({2, 7}), sb({3, 3}), sb({4, 2}), sb({5, 2}), sb({5, 8}),
                 sb({5, 12})})},
        {"9600 8O1, RTS/CTS and XON/XOFF", line(9600, 8, 'O', 1, true, true),
         concat({sb({1, 0, 0, 0x25, 0x80}), sb({2, 8}), sb({3, 2}), sb({4, 1}), sb({5, 3}),
                 sb({5, 8}), sb({5, 11})})},
        // A speed with 0xFF in it is escaped like any parameter byte.
        {"a speed of 0x1FF", line(0x1FF, 8, 'N', 1, false, false),
         concat({{IAC, SB, 44, 1, 0, 0, 1, IAC, IAC, IAC, SE},
                 sb({2, 8}),
                 sb({3, 1}),
                 sb({4, 1}),
                 sb({5, 1}),
                 sb({5, 8}),
                 sb({5, 12})})},
    };
    for (const Case& c : cases) {
        Bytes commands;
        lineCommands(c.line, commands);
        EXPECT_EQ(commands, c.expected) << c.what;
    }
}

TEST(TelnetCodecTest, TheServersAnswersAreTold) {
    ComCode r;
    ASSERT_TRUE(comReply({44, 101, 0, 1, 0xC2, 0}, r));
    EXPECT_EQ(r, SET_BAUDRATE);
    ASSERT_TRUE(comReply({44, 112, 1}, r));
    EXPECT_EQ(r, PURGE_DATA);
    EXPECT_FALSE(comReply({44, 1, 0}, r)) << "a client's command";
    EXPECT_FALSE(comReply({44, 113}, r)) << "no such code";
    EXPECT_FALSE(comReply({24, 101, 0}, r)) << "another option";
    EXPECT_FALSE(comReply({44}, r));
}

}  // namespace
}  // namespace tavorin::test
