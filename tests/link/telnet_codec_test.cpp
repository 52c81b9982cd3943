// The telnet codec of network ports, against tables: what a session sends,
// how it answers a server's negotiation (a real server's opening included),
// how it takes the stream apart however the stream is cut, the Com Port
// Control option's commands, and the stream codecs of both kinds of port.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "stream_codec.h"
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

// Each case is a fresh session that has sent its requests (and, where it
// says so, taken a real server's opening): what it answers to the server's
// bytes, and where the options stand afterwards. Answers to its own
// requests are never answered, and only a change of state is.
TEST(TelnetCodecTest, TheClientAsksForItsOptionsAndAnswersOnlyChanges) {
    // What ser2net sends as soon as a client connects: only its offer to
    // echo is refused; the rest answers what was asked.
    const Bytes opening{IAC, WILL, 3,  IAC, DO,  3,    IAC, WILL, 1,  IAC, DONT,
                        1,   IAC,  DO, 0,   IAC, WILL, 0,   IAC,  DO, 44};
    using S = OptionState;
    constexpr S No = S::No, Yes = S::Yes, Asked = S::WantYes;
    const struct {
        bool opened;  // the opening came first
        Bytes in;
        Bytes answer;
        S comPort;  // our side of the Com Port Control option
        S binary;   // the server's side of binary transmission
        bool declined;
    } cases[] = {
        {false, opening, {IAC, DONT, 1}, Yes, Yes, false},
        // Agreement repeated; an enabled option withdrawn, and offered again.
        {true, {IAC, DO, 3, IAC, WILL, 0}, {}, Yes, Yes, false},
        {true, {IAC, WONT, 0}, {IAC, DONT, 0}, Yes, No, false},
        {true, {IAC, WONT, 0, IAC, WILL, 0}, {IAC, DONT, 0, IAC, DO, 0}, Yes, Yes, false},
        // A request to stop, repeated; a refusal of what was refused already.
        {true, {IAC, DONT, 44, IAC, DONT, 44, IAC, WONT, 1}, {IAC, WONT, 44}, No, Yes, true},
        // An unknown request, an unknown offer.
        {false, {IAC, DO, 24}, {IAC, WONT, 24}, Asked, Asked, false},
        {false, {IAC, WILL, 44}, {IAC, DONT, 44}, Asked, Asked, false},
        // The answers to the session's requests: refusals, a loose one
        // among them, and agreement.
        {false, {IAC, DONT, 44}, {}, No, Asked, true},
        {false, {IAC, WONT, 44}, {}, Asked, Asked, true},
        {false, {IAC, WONT, 0}, {}, Asked, No, false},
        {false, {IAC, DO, 44, IAC, WILL, 0}, {}, Yes, Yes, false},
    };
    Session s = rfc2217Client();
    Bytes out;
    s.start(out);
    EXPECT_EQ(out, (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));
    out.clear();
    s.start(out);
    EXPECT_TRUE(out.empty()) << "nothing is asked twice";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& c = cases[i];
        s = rfc2217Client();
        s.start(out);
        if (c.opened) decode(s, opening);
        Decoded d = decode(s, c.in);
        EXPECT_EQ(d.out, c.answer);
        EXPECT_TRUE(d.data.empty());
        EXPECT_EQ(s.local(COM_PORT_OPTION), c.comPort);
        EXPECT_EQ(s.remote(BINARY), c.binary);
        EXPECT_EQ(s.declined(COM_PORT_OPTION), c.declined);
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

    // Every cut into two pieces gives the same bytes, answers and
    // sub-negotiations; the IAC at the very end waits for what follows it.
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
    EXPECT_EQ(decode(whole, {241, 'F'}).data, Bytes{'F'}) << "the trailing IAC took the NOP";
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

    // The line's commands, each written as the parameters of one Com Port
    // Control sub-negotiation, exactly as they go on the wire.
    const struct {
        const char* what;
        ombrix::LineSettings line;  // baud, data bits, stop bits, parity, RTS/CTS, XON/XOFF
        std::vector<Bytes> commands;
    } cases[] = {
        {"115200 8N1, no flow control",
         {115200, 8, 1, 'N', false, false},
         {{1, 0, 1, 0xC2, 0}, {2, 8}, {3, 1}, {4, 1}, {5, 1}, {5, 8}, {5, 12}}},
        {"300 7E2, XON/XOFF",
         {300, 7, 2, 'E', false, true},
         {{1, 0, 0, 1, 0x2C}, {2, 7}, {3, 3}, {4, 2}, {5, 2}, {5, 8}, {5, 12}}},
        {"9600 8O1, RTS/CTS and XON/XOFF",
         {9600, 8, 1, 'O', true, true},
         {{1, 0, 0, 0x25, 0x80}, {2, 8}, {3, 2}, {4, 1}, {5, 3}, {5, 8}, {5, 11}}},
        // A speed with 0xFF in it is escaped like any parameter byte.
        {"a speed of 0x1FF",
         {0x1FF, 8, 1, 'N', false, false},
         {{1, 0, 0, 1, IAC, IAC}, {2, 8}, {3, 1}, {4, 1}, {5, 1}, {5, 8}, {5, 12}}},
    };
    for (const auto& c : cases) {
        Bytes expected;
        for (const Bytes& command : c.commands) {
            expected.insert(expected.end(), {IAC, SB, 44});
            expected.insert(expected.end(), command.begin(), command.end());
            expected.insert(expected.end(), {IAC, SE});
        }
        Bytes commands;
        lineCommands(c.line, commands);
        EXPECT_EQ(commands, expected) << c.what;
    }
}

// The line as the server answers it: every setting asked for comes back
// as asked, or the first that does not is told with what was asked and
// what was set; answers still missing are awaited until the time is up.
// The flow control counts only where the server answers it.
TEST(TelnetCodecTest, TheLineIsSetOnlyWhenTheServerAnswersWhatWasAsked) {
    // 115200 8N1 with RTS/CTS, and 300 7E2 with XON/XOFF.
    const ombrix::LineSettings fast{115200, 8, 1, 'N', true, false};
    const ombrix::LineSettings slow{300, 7, 2, 'E', false, true};
    using ombrix::LineFault;
    using L = ombrix::LineSetting;
    // The server's answers: the command's code plus 100, then its value.
    const Bytes b115200{101, 0, 1, 0xC2, 0}, b9600{101, 0, 0, 0x25, 0x80}, b300{101, 0, 0, 1, 0x2C};
    const Bytes d8{102, 8}, d7{102, 7}, none{103, 1}, even{103, 3}, mark{103, 4}, s1{104, 1},
        s2{104, 2}, rtsCts{105, 3}, dtrOn{105, 8}, noFlow{105, 1};
    const struct {
        ombrix::LineSettings line;
        std::vector<Bytes> answers;
        bool timeUp;
        std::optional<LineFault> verdict;
    } cases[] = {
        {fast, {b115200, d8, none, s1}, false, LineFault{}},
        {fast, {b115200, d8, none, s1, rtsCts, dtrOn}, false, LineFault{}},
        {fast, {b9600, d8, none, s1}, false, LineFault{L::Speed, 115200, 9600}},
        {slow, {b300, d8, none, s1}, false, LineFault{L::DataBits, 7, 8}},
        {slow, {b300, d7, mark, s2}, false, LineFault{L::Parity, 1, OMBRIX_LINE_OTHER}},
        {slow, {b300, d7, even, s2, dtrOn, noFlow}, false, LineFault{L::Flow, 1, 0}},
        // Still awaited, then not answered in time.
        {fast, {b115200, d8, none}, false, std::nullopt},
        {fast, {b115200, d8, none}, true, LineFault{L::StopBits, 1, OMBRIX_LINE_NO_ANSWER}},
        {fast, {{112, 3}}, true, LineFault{L::Speed, 115200, OMBRIX_LINE_NO_ANSWER}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::unique_ptr<ombrix::StreamCodec> codec = ombrix::rfc2217Codec();
        Bytes out;
        ASSERT_TRUE(codec->setLine(cases[i].line, out));
        Bytes wire, data;
        for (const Bytes& a : cases[i].answers) subnegotiation(COM_PORT_OPTION, a, wire);
        codec->receive(wire.data(), wire.size(), data, out);
        EXPECT_TRUE(data.empty()) << i;
        EXPECT_EQ(codec->lineVerdict(cases[i].timeUp), cases[i].verdict) << "case " << i;
    }
}

// A raw port's stream is the data as it is, unless it opens the way a
// telnet server opens a session: then nothing of it is data.
TEST(TelnetCodecTest, ARawStreamThatOpensWithTelnetNegotiationIsRefused) {
    const struct {
        std::vector<Bytes> pieces;
        Bytes data;
        bool telnet;
    } cases[] = {
        {{{IAC, WILL, 3, 'B'}}, {}, true},
        {{{IAC}, {DO, 44}}, {}, true},
        {{{'B', IAC, WILL, 3}}, {'B', IAC, WILL, 3}, false},
        {{{IAC}, {IAC, 'x'}}, {IAC, IAC, 'x'}, false},
        {{{IAC, 0xD8}, {IAC, DO}}, {IAC, 0xD8, IAC, DO}, false},
    };
    for (const auto& c : cases) {
        std::unique_ptr<ombrix::StreamCodec> codec = ombrix::rawCodec();
        Bytes data, out;
        for (const Bytes& p : c.pieces) codec->receive(p.data(), p.size(), data, out);
        EXPECT_EQ(data, c.data);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(codec->fault(), c.telnet ? ombrix::OpenError::Telnet : ombrix::OpenError::None);
    }
}

TEST(TelnetCodecTest, AServersWordsAreOneTrimmedLineOfPrintableAscii) {
    const struct {
        std::string heard;
        std::string words;
    } cases[] = {
        {"Port already in use\r\n", "Port already in use"},
        {"\r\n\n  busy: try later \t\r\nsecond line", "busy: try later"},
        {"caf\xc3\xa9\x07 closed", "caf??? closed"},
        {std::string(300, 'x'), std::string(ombrix::kMaxWords, 'x')},
        {" \r\n\t", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ombrix::serverWords(Bytes(c.heard.begin(), c.heard.end())), c.words) << c.heard;
    }
}

}  // namespace
}  // namespace tavorin::test
