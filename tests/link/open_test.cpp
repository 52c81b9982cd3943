#include <vector>

#include "link_fixture.h"

namespace tavorin::test {
namespace {

TEST_F(LinkTest, OpenSendsTheGreetingFrameAndTakesTheLowestFreeRecord) {
    peer->clearWire();
    int h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0);
    ASSERT_EQ(h, 0);
    EXPECT_EQ(peer->wire(),
              (Bytes{0x16, 0x4D, 0x0D, 0x42, 0x45, 0x50, 0x42, 0x45, 0x50, 0x3F, 0x2E}));

    PtyPeer second(dir, kCom + 1);
    EXPECT_EQ(Ombrix_PortOpen(kCom + 1, 9, 1, 0, 0, 0), 1);
    EXPECT_EQ(Ombrix_PortClose(0), OMBRIX_OK);
    // Handle 0 is free again and is taken before anything above it.
    EXPECT_EQ(Ombrix_PortOpen(kCom, 0, 0, 1, 2, 3), 0);
    EXPECT_EQ(Ombrix_PortClose(0), OMBRIX_OK);
    EXPECT_EQ(Ombrix_PortClose(0), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_PortClose(10), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_PortClose(-1), OMBRIX_E_PARAM);
}

struct GreetingCase {
    const char* name;
    Bytes answer;
    int expected;  // >= 0: accepted
};

TEST_F(LinkTest, GreetingAcceptanceRule) {
    const std::vector<GreetingCase> cases = {
        {"any value byte", {'B', 'E', 'P', 'B', 'E', 'P', 0xFF, 0x06, '.'}, 0},
        {"value byte is a dot", {'B', 'E', 'P', 'B', 'E', 'P', '.'}, OMBRIX_E_COMM},
        {"NAK instead of ACK", {'B', 'E', 'P', 'B', 'E', 'P', '1', 0x15, '.'}, OMBRIX_E_COMM},
        {"too short", {'B', 'E', 'P', 'B', 'E', 'P', 0x06, '.'}, OMBRIX_E_COMM},
        {"wrong text", {'B', 'E', 'E', 'B', 'E', 'P', '0', 0x06, '.'}, OMBRIX_E_COMM},
        {"ends in !", {'B', 'E', 'P', 'B', 'E', 'P', '0', 0x06, '!'}, OMBRIX_E_COMM},
        {"ten bytes before the dot",
         {'B', 'E', 'P', 'B', 'E', 'P', '0', '0', '0', 0x06, '.'},
         OMBRIX_E_NO_ROOM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        peer->setResponder(PtyPeer::greeting(c.answer));
        int h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0);
        EXPECT_EQ(h, c.expected);
        if (h >= 0) {
            EXPECT_EQ(Ombrix_PortClose(h), OMBRIX_OK);
        }
        // A failed open leaves the record free and the device closed: the
        // same port opens again with a proper answer.
        peer->setResponder(PtyPeer::greeting(PtyPeer::standardGreeting()));
        std::this_thread::sleep_for(30ms);  // let a too-long answer's tail arrive
        h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0);
        EXPECT_EQ(h, 0);
        Ombrix_PortClose(h);
    }
}

TEST_F(LinkTest, SilentScannerTimesOutAfterTheFirstByteLimit) {
    peer->setResponder(nullptr);
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), OMBRIX_E_TIMEOUT);
    auto ms = msSince(start);
    EXPECT_GE(ms, 10000);
    EXPECT_LT(ms, 11500);
    EXPECT_EQ(Ombrix_RecvChk(0), 0);
    EXPECT_EQ(Ombrix_PortClose(0), OMBRIX_E_NOT_OPEN);
}

TEST_F(LinkTest, LineSettingsAreCheckedInOrderBeforeAnythingIsSent) {
    struct Case {
        int baud, data, stop, parity;
    };
    for (Case c : {Case{10, 1, 0, 0}, Case{-1, 1, 0, 0}, Case{5, 2, 0, 0}, Case{5, 1, 2, 0},
                   Case{5, 1, 0, 3}, Case{10, 2, 2, 3}}) {
        peer->clearWire();
        EXPECT_EQ(Ombrix_PortOpen(kCom, c.baud, c.data, c.stop, c.parity, 0), OMBRIX_E_PARAM);
        EXPECT_TRUE(peer->wire().empty());
    }
    // Nothing was left open or in use.
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), 0);
}

TEST_F(LinkTest, ComNumberAndTableRules) {
    EXPECT_EQ(Ombrix_PortOpen(0, 5, 1, 0, 0, 0), OMBRIX_E_NO_ROOM);
    EXPECT_EQ(Ombrix_PortOpen(257, 5, 1, 0, 0, 0), OMBRIX_E_NO_ROOM);
    // A COM number with nothing behind it cannot be opened.
    EXPECT_EQ(Ombrix_PortOpen(kCom + 11, 5, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);

    ASSERT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), 0);
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);

    std::vector<std::unique_ptr<PtyPeer>> more;
    for (int i = 1; i < 10; ++i) {
        more.push_back(std::make_unique<PtyPeer>(dir, kCom + i));
        ASSERT_EQ(Ombrix_PortOpen(kCom + i, 5, 1, 0, 0, 0), i);
    }
    PtyPeer eleventh(dir, kCom + 10);
    EXPECT_EQ(Ombrix_PortOpen(kCom + 10, 5, 1, 0, 0, 0), OMBRIX_E_NO_ROOM);
    // The table is checked before the number's range.
    EXPECT_EQ(Ombrix_PortOpen(0, 5, 1, 0, 0, 0), OMBRIX_E_NO_ROOM);
}

TEST_F(LinkTest, OpenResetsTheTimeoutsAndTimeoutSetKeepsDefaultsForNegatives) {
    // Set before the open: the open must reset it to 300 ms.
    Ombrix_TimeoutSet(0, 50, 50);
    int h = openPort();
    auto dataRecvMs = [&] {
        peer->send("ab");
        unsigned char buf[16];
        auto start = Clock::now();
        EXPECT_EQ(Ombrix_DataRecv(h, buf, sizeof buf, nullptr, nullptr), 2);
        return msSince(start);
    };
    auto ms = dataRecvMs();
    EXPECT_GE(ms, 300);
    EXPECT_LT(ms, 600);

    EXPECT_EQ(Ombrix_TimeoutSet(h, -1, 100), OMBRIX_OK);
    ms = dataRecvMs();
    EXPECT_GE(ms, 100);
    EXPECT_LT(ms, 300);

    // The first-byte limit stayed at its default: a 150 ms first-byte limit
    // would have given -3 here.
    Ombrix_TimeoutSet(h, -1, -1);
    std::thread late([&] {
        std::this_thread::sleep_for(400ms);
        peer->send("x.");
    });
    unsigned char buf[4];
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 2);
    late.join();

    Ombrix_TimeoutSet(h, 150, -1);
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_TIMEOUT);
    EXPECT_GE(msSince(start), 150);
    // Out-of-range handles are ignored, not a crash.
    EXPECT_EQ(Ombrix_TimeoutSet(42, 1, 1), OMBRIX_OK);
    EXPECT_EQ(Ombrix_ComCancel(-3), OMBRIX_OK);
    EXPECT_EQ(Ombrix_ComClear(11), OMBRIX_OK);
}

}  // namespace
}  // namespace tavorin::test
