#include <gtest/gtest.h>

#include "comsetting_logic.h"
#include "ombrix.h"
#include "terminal_logic.h"

namespace tavorin {
namespace {

using namespace comsetting;

TEST(ComSettingLogic, EveryChoiceMapsToItsCodeAndPiece) {
    struct Row {
        Positions positions;
        int baud, data, stop, parity, flow;
        const char* description;
    };
    const Row rows[] = {
        {{5, 1, 0, 0, 0, 0, 3},
         5,
         1,
         0,
         0,
         0,
         "9600bps,8bit,1,NONE,NONE,<>-<CR><LF>, TIMEOUT-100(ms)"},
        {{0, 0, 1, 1, 3, 1, 1},
         0,
         0,
         1,
         1,
         3,
         "300bps,7bit,2,EVEN,RTS/CTS&&XON/XOFF,<STX>-<ETX>, TIMEOUT-100(ms)"},
        {{9, 1, 0, 2, 1, 0, 2},
         9,
         1,
         0,
         2,
         2,
         "115.2Kbps,8bit,1,ODD,RTS/CTS,<>-<TAB>, TIMEOUT-100(ms)"},
        {{6, 1, 0, 0, 2, 0, 0},
         6,
         1,
         0,
         0,
         1,
         "19.2Kbps,8bit,1,NONE,XON/XOFF,<>-<>, TIMEOUT-100(ms)"},
        // Nothing selected (typed text): each list's own meaning of none.
        {{-1, -1, -1, -1, -1, -1, -1},
         5,
         1,
         1,
         2,
         0,
         "9600bps,8bit,2,ODD,FLOW-NONE,<STX>-<>, TIMEOUT-100(ms)"},
        // A position past the list counts as none as well.
        {{10, 2, 2, 3, 4, 2, 4},
         5,
         1,
         1,
         2,
         0,
         "9600bps,8bit,2,ODD,FLOW-NONE,<STX>-<>, TIMEOUT-100(ms)"},
    };
    for (const Row& r : rows) {
        OpenArgs a = openArgs(r.positions, 100);
        EXPECT_EQ(a.baud, r.baud);
        EXPECT_EQ(a.dataBits, r.data);
        EXPECT_EQ(a.stopBits, r.stop);
        EXPECT_EQ(a.parity, r.parity);
        EXPECT_EQ(a.flow, r.flow);
        EXPECT_EQ(a.description, QString::fromLatin1(r.description));
    }
    EXPECT_EQ(entries(Baud).size(), 10);
    EXPECT_EQ(entries(Flow), (QStringList{"なし", "RTS/CTS", "XON/XOFF", "両方"}));
    EXPECT_EQ(entries(Postfix), (QStringList{"なし", "ETX", "TAB", "CR+LF"}));
}

TEST(ComSettingLogic, RecordsReadAndWrite) {
    Record r = parseRecord("3,5,1,0,0,0,0,3,100");
    EXPECT_EQ(r.com, 3);
    EXPECT_EQ(r.positions, (Positions{5, 1, 0, 0, 0, 0, 3}));
    EXPECT_EQ(r.timeoutText, "100");
    EXPECT_EQ(makeRecord(3, r.positions, 100), "3,5,1,0,0,0,0,3,100");
    EXPECT_EQ(makeRecord(7, {-1, 1, 0, 0, -1, 0, 0}, 250), "7,-1,1,0,0,-1,0,0,250");

    Record empty = parseRecord("");
    EXPECT_EQ(empty.com, 0);
    EXPECT_EQ(empty.positions, (Positions{}));
    EXPECT_EQ(empty.timeoutText, "100");

    // Letters read as 0, fractions round half to even, a ninth field keeps
    // further commas and is read by its leading number.
    Record odd = parseRecord("x,2.5,1.5,,a,0,0,0,0050,9");
    EXPECT_EQ(odd.com, 0);
    EXPECT_EQ(odd.positions, (Positions{2, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(odd.timeoutText, "50");
    EXPECT_EQ(parseRecord("1,0,0,0,0,0,0,0,abc").timeoutText, "0");
}

TEST(ComSettingLogic, WhyAPortDidNotOpen) {
    // The code's message, and a second line for the library's reason,
    // whatever the code that reason comes with.
    const struct {
        std::int32_t code, cause;
        QString text;
    } rows[] = {
        {OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_HELD,
         "ポートオープンエラー\nポートは他のプログラムが使用中です"},
        {OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_NOT_TTY,
         "ポートオープンエラー\nポートの名前がシリアルデバイスを指していません"},
        {OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_REFUSED,
         "ポートオープンエラー\nホストが接続を拒否しました"},
        {OMBRIX_E_PARAM, OMBRIX_OPEN_BAD_NAME,
         "パラメータエラー\nネットワークポートの名前が正しくありません"},
        {OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_OTHER, "ポートオープンエラー"},
        {OMBRIX_E_TIMEOUT, OMBRIX_OPEN_OK, "受信タイムアウト"},
        {OMBRIX_E_NO_ROOM, OMBRIX_OPEN_OK, ""},
    };
    for (const auto& r : rows) EXPECT_EQ(openFailureMessage(r.code, r.cause), r.text) << r.cause;
    const QString denied = openFailureMessage(OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_DENIED);
    EXPECT_TRUE(denied.startsWith("ポートオープンエラー\n"));
    EXPECT_TRUE(denied.contains("dialout")) << "names the group to join";

    // The facts behind a network port's reason: the server's own words, the
    // line setting asked for and what the server set, the part of a name
    // that is wrong.
    auto info = [](std::int32_t reason, std::int32_t setting = 0, std::int32_t asked = 0,
                   std::int32_t set = 0) {
        OpenFailureInfo i;
        i.reason = reason;
        i.lineSetting = setting;
        i.asked = asked;
        i.set = set;
        return i;
    };
    OpenFailureInfo busy = info(OMBRIX_OPEN_TURNED_AWAY);
    busy.words = "Port already in use";
    OpenFailureInfo badName = info(OMBRIX_OPEN_BAD_NAME);
    badName.namePart = OMBRIX_NAME_IPV6;
    const struct {
        std::int32_t code;
        OpenFailureInfo why;
        QString text;
    } facts[] = {
        {OMBRIX_E_NOT_OPEN, busy,
         "ポートオープンエラー\nポートは他の接続が使用中です（サーバーの応答: Port already in "
         "use）"},
        {OMBRIX_E_PARAM, badName,
         "パラメータエラー\nネットワークポートの名前が正しくありません（IPv6 アドレスは [ ] "
         "で囲んでください）"},
        {OMBRIX_E_COMM, info(OMBRIX_OPEN_LINE_NOT_SET, OMBRIX_LINE_SPEED, 115200, 9600),
         "通信エラー\nサーバーが設定したのは 9600 bps で、115200 bps ではありません"},
        {OMBRIX_E_COMM, info(OMBRIX_OPEN_LINE_NOT_SET, OMBRIX_LINE_PARITY, 1, OMBRIX_LINE_OTHER),
         "通信エラー\nサーバーが設定したのは パリティの別の値 で、パリティ 偶数 ではありません"},
        {OMBRIX_E_COMM, info(OMBRIX_OPEN_LINE_NOT_SET, OMBRIX_LINE_FLOW, 2, OMBRIX_LINE_NO_ANSWER),
         "通信エラー\nサーバーから ハンドシェイク RTS/CTS の設定の応答がありません"},
    };
    for (const auto& f : facts) EXPECT_EQ(openFailureMessage(f.code, f.why), f.text);
}

// A slot button's caption in the room it has (one unit a character here):
// a device's COM number stays whole; a network port gives up its scheme,
// then its number, before its host.
TEST(ComSettingLogic, TheSlotCaptionKeepsTheComNumberAndANetworkPortsHost) {
    auto width = [](const QString& text) { return static_cast<int>(text.size()); };
    const struct {
        const char* name;
        int room;
        const char* caption;
    } rows[] = {
        {"USB Serial (ttyUSB0) (COM33)", 16, "USB Seri…(COM33)"},
        {"rfc2217://10.0.0.5:4001 (COM100)", 24, "10.0.0.5:4001 (COM100)"},
        {"socket://scanner-line-3.example:4001 (COM101)", 30, "scanner-line-3.example:4001"},
        {"socket://scanner-line-3.example:4001 (COM101)", 16, "scanner-line-3.…"},
    };
    for (const auto& r : rows) EXPECT_EQ(slotCaption(r.name, r.room, width), r.caption) << r.name;
}

TEST(ComSettingLogic, NetworkPortNames) {
    using Field = NetworkPortCheck::Field;
    const struct {
        int kind;
        const char* host;
        const char* port;
        const char* name;  // empty: refused
        Field field;
    } rows[] = {
        {1, " scanner.line2 ", "07000", "socket://scanner.line2:7000", Field::None},
        {0, "fe80::1", "23", "rfc2217://[fe80::1]:23", Field::None},
        {0, "[::1]", "65535", "rfc2217://[::1]:65535", Field::None},
        {5, "host", "1", "rfc2217://host:1", Field::None},
        {0, "", "4001", "", Field::Host},
        {0, "user@host", "4001", "", Field::Host},
        {0, "host", "65536", "", Field::Port},
        {0, "host", "40x1", "", Field::Port},
    };
    for (const auto& r : rows) {
        const NetworkPortCheck c = checkNetworkPort(r.kind, r.host, r.port);
        EXPECT_EQ(c.name, QString(r.name)) << r.host << " " << r.port;
        EXPECT_EQ(c.field, r.field) << r.host << " " << r.port;
        EXPECT_EQ(c.ok, c.message.isEmpty()) << r.host << " " << r.port;
    }
}

TEST(ComSettingLogic, TimeoutCheck) {
    struct Row {
        const char* text;
        bool ok;
        bool rewrite;
        int value;
        QString message;
    };
    const Row rows[] = {
        {"1.5", true, true, 2, ""},
        {"2.5", true, true, 2, ""},
        {"100", true, true, 100, ""},
        {" 250 ", true, true, 250, ""},
        {"0.4", false, true, 0, localized(kTimeoutTooSmall)},
        {"-3", false, true, -3, localized(kTimeoutTooSmall)},
        {"", false, false, 0, localized(kTimeoutNotNumber)},
        {"abc", false, false, 0, localized(kTimeoutNotNumber)},
        {"12ab", false, false, 0, localized(kTimeoutNotNumber)},
        // The box holds six characters: what it cannot show is not used.
        {"999999", true, true, 999999, ""},
        {"1e6", false, false, 0, localized(kTimeoutNotNumber)},
        {"-1e5", false, false, 0, localized(kTimeoutNotNumber)},
    };
    for (const Row& r : rows) {
        TimeoutCheck c = checkTimeout(QString::fromLatin1(r.text), 6);
        EXPECT_EQ(c.ok, r.ok) << r.text;
        EXPECT_EQ(c.rewrite, r.rewrite) << r.text;
        if (r.rewrite) {
            EXPECT_EQ(c.value, r.value) << r.text;
        }
        EXPECT_EQ(c.message, r.message) << r.text;
    }
}

TEST(ComSettingLogic, PortSelectionWhileTheListChanges) {
    // Each step: the list as read again, the number selected before it was
    // read (0: none), and the position the dialog then selects.
    struct Step {
        std::vector<int> coms;
        int current;
        int expected;
    };
    struct Case {
        const char* what;
        int stored;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"the stored port is preselected, else the first", 5, {{{1, 5}, 0, 1}, {{1, 2}, 0, 0}}},
        {"an empty list selects nothing", 5, {{{}, 0, -1}}},
        {"the stored port is taken up once it comes", 65, {{{1}, 0, 0}, {{1, 65}, 1, 1}}},
        {"the user's choice is kept while it is there",
         65,
         {{{1, 65, 97}, 0, 1}, {{1, 97, 65}, 97, 1}, {{97}, 97, 0}}},
        {"and comes back with its port",
         65,
         {{{1, 65, 97}, 0, 1}, {{1, 65, 97}, 97, 2}, {{1, 65}, 97, 0}, {{97, 1, 65}, 1, 0}}},
        {"choosing the stored port again is a choice too",
         65,
         {{{1, 65}, 0, 1}, {{1, 65}, 1, 0}, {{1, 65}, 65, 1}, {{1}, 65, 0}, {{65, 1}, 1, 0}}},
    };
    for (const Case& c : cases) {
        PortSelection selection(c.stored);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            EXPECT_EQ(selection.choose(s.coms, s.current), s.expected) << c.what << ", step " << i;
        }
    }
}

TEST(TerminalLogic, AGoneDeviceIsToldOnceAndEndsTheSlot) {
    EXPECT_EQ(terminal::tickStart(0), terminal::TickStart::Rearm);
    EXPECT_EQ(terminal::tickStart(3), terminal::TickStart::Read);
    EXPECT_EQ(terminal::tickStart(OMBRIX_E_COMM), terminal::TickStart::LineLost);
    // A read that failed on a line still there shows its own message; on a
    // line that has gone, the one communication error, whatever it answered.
    const struct {
        std::int32_t result, waitingAfter, shown;
        bool lost;
    } cases[] = {
        {OMBRIX_E_TIMEOUT, 0, OMBRIX_E_TIMEOUT, false},
        {OMBRIX_E_COMM, 2, OMBRIX_E_COMM, false},
        {OMBRIX_E_COMM, OMBRIX_E_COMM, OMBRIX_E_COMM, true},
        {OMBRIX_E_FILE, OMBRIX_E_COMM, OMBRIX_E_COMM, true},
        {OMBRIX_E_CANCELLED, OMBRIX_E_COMM, OMBRIX_E_COMM, true},
    };
    for (const auto& c : cases) {
        terminal::ReadFailure f = terminal::afterFailedRead(c.result, c.waitingAfter);
        EXPECT_EQ(f.shown, c.shown) << c.result << " then " << c.waitingAfter;
        EXPECT_EQ(f.lineLost, c.lost) << c.result << " then " << c.waitingAfter;
    }
}

TEST(TerminalLogic, RecvModeRule) {
    using terminal::recvModeFor;
    EXPECT_EQ(recvModeFor("imgshp"), terminal::RecvMode::Image);
    EXPECT_EQ(recvModeFor("IMGBOX"), terminal::RecvMode::Image);
    EXPECT_EQ(recvModeFor("IMGSNP"), terminal::RecvMode::Response);
    EXPECT_EQ(recvModeFor("IMGSHP?"), terminal::RecvMode::Response);
    EXPECT_EQ(recvModeFor("IMG^SHP"), terminal::RecvMode::Response);
    EXPECT_EQ(recvModeFor("SHPBOX"), terminal::RecvMode::Response);
    EXPECT_EQ(recvModeFor("BOXIMG"), terminal::RecvMode::Image) << "anywhere, not only after IMG";
}

TEST(TerminalLogic, RenderingAndAckState) {
    using terminal::render;
    struct Row {
        QByteArray bytes;
        const char* text;
        terminal::AckState ack;
    };
    const Row rows[] = {
        {QByteArray("ABC\r"), "ABC<CR>", terminal::NoAck},
        {QByteArray("\x02"
                    "12\x03"),
         "<02>12<03>", terminal::NoAck},
        {QByteArray("P1\x06."), "P1<ACK>.", terminal::Acked},
        {QByteArray("\x15."), "<NAK>.", terminal::Refused},
        {QByteArray("\x15\x06."), "<NAK><ACK>.", terminal::Refused},
        {QByteArray("\x06\x05"), "<ACK><ENQ>", terminal::Refused},
        {QByteArray("\x7F\x1B\x16\n\t"), "\x7F<1B><SYN><LF><09>", terminal::NoAck},
        {QByteArray("\xE3\x81\x82"), "<E3><81><82>", terminal::NoAck},
        {QByteArray("\x00\xFF", 2), "<00><FF>", terminal::NoAck},
    };
    for (const Row& r : rows) {
        terminal::Rendered out = render(r.bytes);
        EXPECT_EQ(out.text, QString::fromLatin1(r.text)) << r.text;
        EXPECT_EQ(out.ack, r.ack) << r.text;
    }
}

TEST(TerminalLogic, ResizeKeepsMarginsAndNeverGoesNegative) {
    // The designed client area and its grown twin: the box grows by the
    // same 1500 twips, the label spans the width.
    terminal::Layout design = terminal::layoutFor(9285, 6060, 120, 2025, 9015, 3870);
    EXPECT_EQ(design.recvWidth, 9045);
    EXPECT_EQ(design.recvHeight, 3915);
    EXPECT_EQ(design.labelWidth, 9285);
    terminal::Layout grown = terminal::layoutFor(9285 + 1500, 6060 + 1500, 120, 2025, 9015, 3870);
    EXPECT_EQ(grown.recvWidth - design.recvWidth, 1500);
    EXPECT_EQ(grown.recvHeight - design.recvHeight, 1500);
    EXPECT_EQ(grown.labelWidth - design.labelWidth, 1500);
    terminal::Layout tiny = terminal::layoutFor(100, 1000, 120, 2025, 9015, 3870);
    EXPECT_EQ(tiny.recvWidth, 9015);
    EXPECT_EQ(tiny.recvHeight, 3870);
}

}  // namespace
}  // namespace tavorin
