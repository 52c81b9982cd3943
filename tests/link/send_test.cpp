#include "link_fixture.h"

namespace tavorin::test {
namespace {

TEST_F(LinkTest, CommandFrameAddsTheDotOnlyWhenNeeded) {
    int h = openPort();
    struct Case {
        std::string command;
        Bytes wire;
    };
    const std::vector<Case> cases = {
        {"REVINF", {0x16, 'M', '\r', 'R', 'E', 'V', 'I', 'N', 'F', '.'}},
        {"AB!", {0x16, 'M', '\r', 'A', 'B', '!'}},
        {"AB.", {0x16, 'M', '\r', 'A', 'B', '.'}},
        {"X", {0x16, 'M', '\r', 'X', '.'}},
    };
    for (const auto& c : cases) {
        peer->clearWire();
        Bytes cmd = bytes(c.command);
        EXPECT_EQ(Ombrix_CmndSend(h, cmd.data(), static_cast<int32_t>(cmd.size())), OMBRIX_OK);
        ASSERT_TRUE(peer->waitWire(c.wire.size(), 1000ms));
        EXPECT_EQ(peer->wire(), c.wire) << c.command;
        // What the library says it would send is what it sends.
        unsigned char frame[16];
        const int n = Ombrix_CmndFrame(cmd.data(), static_cast<int32_t>(cmd.size()), frame,
                                       static_cast<int32_t>(c.wire.size()));
        EXPECT_EQ(Bytes(frame, frame + std::max(n, 0)), c.wire) << c.command;
        EXPECT_EQ(Ombrix_CmndFrame(cmd.data(), static_cast<int32_t>(cmd.size()), frame, n - 1),
                  OMBRIX_E_NO_ROOM);
    }
    unsigned char frame[8];
    const unsigned char ab[] = {'A', 'B'};
    EXPECT_EQ(Ombrix_CmndFrame(nullptr, 1, frame, 8), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_CmndFrame(ab, 0, frame, 8), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_CmndFrame(ab, 1, nullptr, 8), OMBRIX_E_PARAM);
    // The length argument, not a terminating zero, says what is sent.
    peer->clearWire();
    const unsigned char longer[] = {'A', 'B', 'C', 'D'};
    EXPECT_EQ(Ombrix_CmndSend(h, longer, 2), OMBRIX_OK);
    ASSERT_TRUE(peer->waitWire(6, 1000ms));
    EXPECT_EQ(peer->wire(), (Bytes{0x16, 'M', '\r', 'A', 'B', '.'}));
}

TEST_F(LinkTest, SendArgumentChecks) {
    int h = openPort();
    const unsigned char zero[] = {0};
    const unsigned char a[] = {'A'};
    EXPECT_EQ(Ombrix_DataSend(h, zero, 1), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_DataSend(h, a, 0), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_DataSend(h, nullptr, 1), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_DataSend(10, a, 1), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_DataSend(h + 1, a, 1), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_CmndSend(h, zero, 1), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_CmndSend(h, a, 0), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_CmndSend(-1, a, 1), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_CmndSend(h + 1, a, 1), OMBRIX_E_NOT_OPEN);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(peer->wire().empty());

    // Raw bytes go out as they are, with no frame.
    const unsigned char trigger[] = {0x16, 'T', '\r'};
    EXPECT_EQ(Ombrix_DataSend(h, trigger, 3), OMBRIX_OK);
    ASSERT_TRUE(peer->waitWire(3, 1000ms));
    EXPECT_EQ(peer->wire(), (Bytes{0x16, 'T', '\r'}));
}

TEST_F(LinkTest, CommandDiscardsStaleInput) {
    int h = openPort();
    peer->send("stale reply.");
    ASSERT_TRUE(waitQueued(h, 12));
    peer->setResponder(answering("PING", bytes("PONG\x06.")));
    const unsigned char ping[] = {'P', 'I', 'N', 'G'};
    ASSERT_EQ(Ombrix_CmndSend(h, ping, 4), OMBRIX_OK);
    unsigned char buf[32];
    ASSERT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 6);
    EXPECT_EQ(Bytes(buf, buf + 6), bytes("PONG\x06."));
}

// A command must not throw away the bytes of the send before it, even when
// the scanner has not read them yet: a late reader leaves them in the line,
// where a purge of the output would destroy them.
TEST_F(LinkTest, ACommandKeepsEverySendBeforeItOnTheLine) {
    int h = openPort();
    peer->setResponder(nullptr);
    peer->setReadDelay(5ms);
    peer->clearWire();
    const Bytes first = bytes("AB!");
    const Bytes second = bytes("CD.");
    const Bytes trigger = {0x16, 'T', '\r'};
    Bytes expected;
    auto frame = [&](const Bytes& text) {
        expected.insert(expected.end(), {0x16, 'M', '\r'});
        expected.insert(expected.end(), text.begin(), text.end());
    };
    int failures = 0;
    for (int i = 0; i < 200; ++i) {
        failures += Ombrix_CmndSend(h, first.data(), 3) != OMBRIX_OK;
        frame(first);
        failures += Ombrix_CmndSend(h, second.data(), 3) != OMBRIX_OK;
        frame(second);
    }
    for (int i = 0; i < 200; ++i) {
        failures += Ombrix_DataSend(h, trigger.data(), 3) != OMBRIX_OK;
        expected.insert(expected.end(), trigger.begin(), trigger.end());
        failures += Ombrix_CmndSend(h, second.data(), 3) != OMBRIX_OK;
        frame(second);
    }
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(peer->waitWire(expected.size(), 10s))
        << peer->wire().size() << " of " << expected.size() << " bytes arrived";
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(peer->wire() == expected) << "the line carries other bytes than were sent";
    peer->setReadDelay(0ms);
}

// Flow control that never lets go: the command still ends within the time a
// send is given, reports it, and sends nothing it reported as not sent.
TEST_F(LinkTest, ACommandOnAStoppedLineTimesOut) {
    int h = openPort(1);
    peer->setResponder(nullptr);
    peer->send(Bytes{0x13});
    std::this_thread::sleep_for(50ms);
    peer->clearWire();
    const unsigned char command[] = {'A', 'B'};
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_CmndSend(h, command, 2), OMBRIX_E_TIMEOUT);
    auto ms = msSince(start);
    EXPECT_GE(ms, 995);
    EXPECT_LT(ms, 1500);
    // XON is acted on only once it has been taken from the input, which the
    // next command's purge would otherwise beat.
    peer->send(Bytes{0x11});
    std::this_thread::sleep_for(50ms);
    const unsigned char next[] = {'C', 'D'};
    EXPECT_EQ(Ombrix_CmndSend(h, next, 2), OMBRIX_OK);
    ASSERT_TRUE(peer->waitWire(6, 1000ms));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(peer->wire(), (Bytes{0x16, 'M', '\r', 'C', 'D', '.'}));
}

TEST_F(LinkTest, OutputHeldByXoffTimesOutWithoutSpinning) {
    int h = openPort(1);
    peer->send(Bytes{0x13});  // XOFF: the slave's output stops
    std::this_thread::sleep_for(50ms);
    const unsigned char a[] = {'A', 'B'};
    auto start = Clock::now();
    double cpu = threadCpuMs();
    EXPECT_EQ(Ombrix_DataSend(h, a, 2), OMBRIX_E_TIMEOUT);
    auto ms = msSince(start);
    EXPECT_GE(ms, 995);  // the library's clock counts whole milliseconds
    EXPECT_LT(ms, 1300);
    // A busy poll would burn the whole second.
    EXPECT_LT(threadCpuMs() - cpu, 300);

    // XON: output flows again. The bytes of the send that timed out were
    // reported as not sent, and stay so.
    peer->send(Bytes{0x11});
    const unsigned char c[] = {'C', 'D'};
    EXPECT_EQ(Ombrix_DataSend(h, c, 2), OMBRIX_OK);
    ASSERT_TRUE(peer->waitWire(2, 1000ms));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(peer->wire(), bytes("CD"));
}

TEST_F(LinkTest, CancelFromAnotherThreadEndsABlockedWrite) {
    int h = openPort(1);
    peer->send(Bytes{0x13});
    std::this_thread::sleep_for(50ms);
    const unsigned char a[] = {'A'};
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        Ombrix_ComCancel(h);
    });
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_DataSend(h, a, 1), OMBRIX_E_CANCELLED);
    EXPECT_LT(msSince(start), 600);
    canceller.join();
    peer->send(Bytes{0x11});
}

TEST_F(LinkTest, SendToAVanishedDeviceFails) {
    int h = openPort();
    peer->hangUp();
    const unsigned char a[] = {'A'};
    EXPECT_EQ(Ombrix_DataSend(h, a, 1), OMBRIX_E_COMM);
    EXPECT_EQ(Ombrix_CmndSend(h, a, 1), OMBRIX_E_COMM);
    EXPECT_EQ(Ombrix_PortClose(h), OMBRIX_OK);
}

}  // namespace
}  // namespace tavorin::test
