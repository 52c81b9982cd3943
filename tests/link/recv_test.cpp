#include <cstring>
#include <functional>

#include "link_fixture.h"

namespace tavorin::test {
namespace {

TEST_F(LinkTest, ReplyEndsAtTheFirstTerminatorAndLeavesTheRestQueued) {
    int h = openPort();
    unsigned char buf[32];
    peer->send(Bytes{0x42, 0x45, 0x50, 0x30, 0x06, 0x2E});
    ASSERT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 6);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0x42, 0x45, 0x50, 0x30, 0x06, 0x2E}));

    peer->send("AB!CD.");
    ASSERT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 3);
    EXPECT_EQ(Bytes(buf, buf + 3), bytes("AB!"));
    EXPECT_EQ(Ombrix_RecvChk(h), 3);
    ASSERT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 3);
    EXPECT_EQ(Bytes(buf, buf + 3), bytes("CD."));
}

TEST_F(LinkTest, DataBetweenStartAndEndTexts) {
    int h = openPort();
    unsigned char buf[32];
    peer->send("abXyzZtail");
    ASSERT_EQ(Ombrix_DataRecv(h, buf, sizeof buf, "X", "Z"), 4);
    EXPECT_EQ(Bytes(buf, buf + 4), bytes("XyzZ"));
    EXPECT_EQ(Ombrix_RecvChk(h), 4);
    Ombrix_ComClear(h);
    EXPECT_EQ(Ombrix_RecvChk(h), 0);

    // A multi-byte start text, and an end text that may not overlap it: the
    // "ST" of the start does not also count as the end "T".
    peer->send("qqSTabT");
    ASSERT_EQ(Ombrix_DataRecv(h, buf, sizeof buf, "ST", "T"), 5);
    EXPECT_EQ(Bytes(buf, buf + 5), bytes("STabT"));

    // Empty texts count as none: the read ends on silence.
    Ombrix_TimeoutSet(h, -1, 120);
    peer->send("12345");
    auto start = Clock::now();
    ASSERT_EQ(Ombrix_DataRecv(h, buf, sizeof buf, "", ""), 5);
    EXPECT_GE(msSince(start), 120);
    EXPECT_EQ(Bytes(buf, buf + 5), bytes("12345"));
}

TEST_F(LinkTest, OverflowAndTimeoutLeaveTheBufferAsDocumented) {
    int h = openPort();
    unsigned char buf[16];
    std::memset(buf, 0xAA, sizeof buf);
    peer->send("0123456789.");
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, 9), OMBRIX_E_NO_ROOM);
    EXPECT_EQ(Bytes(buf, buf + 9), bytes("012345678"));
    EXPECT_EQ(buf[9], 0xAA);  // never written beyond the capacity
    // Nothing is lost: the byte that found the buffer full waits with the
    // rest, and the next read goes on from it.
    EXPECT_EQ(Ombrix_RecvChk(h), 2);
    ASSERT_EQ(Ombrix_ResponseRecv(h, buf, 9), 2);
    EXPECT_EQ(Bytes(buf, buf + 2), bytes("9."));

    // Exactly the capacity, terminator included, fits.
    peer->send("01234567.");
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, 9), 9);

    std::memset(buf, 0xAA, sizeof buf);
    Ombrix_TimeoutSet(h, 200, -1);
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_TIMEOUT);
    auto ms = msSince(start);
    EXPECT_GE(ms, 200);
    EXPECT_LT(ms, 400);
    EXPECT_EQ(buf[0], 0xAA);

    // A reply that stops without a terminator comes back after 1000 ms.
    peer->send("NOEND");
    start = Clock::now();
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 5);
    EXPECT_GE(msSince(start), 1000);

    EXPECT_EQ(Ombrix_ResponseRecv(h, nullptr, 5), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, 0), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_ResponseRecv(12, buf, 5), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_DataRecv(h + 1, buf, 5, nullptr, nullptr), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_RecvChk(12), 0);
    EXPECT_EQ(Ombrix_RecvChk(h + 1), 0);
}

TEST_F(LinkTest, CancelFromThePumpEndsAnUnlimitedWaitPromptly) {
    int h = openPort();
    Ombrix_TimeoutSet(h, 0, -1);  // no first-byte limit
    unsigned char buf[16];
    std::memset(buf, 0xAA, sizeof buf);
    peer->send("AB");
    ASSERT_TRUE(waitQueued(h, 2));
    Clock::time_point raised;
    pumpOnceAfter(1500ms, [&] {
        raised = Clock::now();
        Ombrix_ComCancel(h);
    });
    auto start = Clock::now();
    // "AB" came, then silence; with data time-out 0 there is no limit, so
    // only the cancel ends the read.
    Ombrix_TimeoutSet(h, 0, 0);
    EXPECT_EQ(Ombrix_DataRecv(h, buf, sizeof buf, nullptr, nullptr), OMBRIX_E_CANCELLED);
    EXPECT_GE(msSince(start), 1500);
    EXPECT_LT(msSince(raised), 15);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{'A', 'B', 0}));

    // A cancel that arrives while nothing runs does not hurt the next read.
    Ombrix_ComCancel(h);
    pumpAction() = nullptr;
    peer->send("ok.");
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 3);
}

TEST_F(LinkTest, WithoutAPumpAReadSleepsUntilAByteItsDeadlineOrACancel) {
    int h = openPort();
    Ombrix_PumpSet(nullptr);
    unsigned char buf[16];
    auto later = [](std::chrono::milliseconds after, std::function<void()> action) {
        return std::thread([=] {
            std::this_thread::sleep_for(after);
            action();
        });
    };

    std::thread scanner = later(100ms, [&] { peer->send("REP\x06."); });
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 5);
    scanner.join();
    EXPECT_EQ(Bytes(buf, buf + 5), bytes("REP\x06."));

    // A cancel raised while nothing waits leaves its wake-up behind; the
    // next read lowers the flag and still waits out its whole time-out.
    Ombrix_TimeoutSet(h, 300, -1);
    Ombrix_ComCancel(h);
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_TIMEOUT);
    EXPECT_GE(msSince(start), 300);
    EXPECT_LT(msSince(start), 500);

    // Nothing but the cancel from another thread can end this wait early.
    Ombrix_TimeoutSet(h, 5000, -1);
    std::thread canceller = later(200ms, [&] { Ombrix_ComCancel(h); });
    start = Clock::now();
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_CANCELLED);
    EXPECT_LT(msSince(start), 1000);
    canceller.join();
}

TEST_F(LinkTest, CloseFromThePumpEndsTheWaitingRead) {
    int h = openPort();
    pumpOnceAfter(100ms, [&] { EXPECT_EQ(Ombrix_PortClose(h), OMBRIX_OK); });
    unsigned char buf[8];
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_CANCELLED);
    EXPECT_LT(msSince(start), 200);
    EXPECT_EQ(Ombrix_RecvChk(h), 0);
    EXPECT_EQ(Ombrix_PortClose(h), OMBRIX_E_NOT_OPEN);
}

TEST_F(LinkTest, VanishedDeviceEndsEveryWait) {
    int h = openPort();
    Ombrix_TimeoutSet(h, 0, 0);
    std::thread unplug([&] {
        std::this_thread::sleep_for(200ms);
        peer->hangUp();
    });
    unsigned char buf[8];
    auto start = Clock::now();
    double cpu = threadCpuMs();
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_COMM);
    unplug.join();
    long long waited = msSince(start);
    EXPECT_LT(waited, 200 + 100);
    // Waiting, and noticing the hang-up, must not spin.
    EXPECT_LT(threadCpuMs() - cpu, waited / 2.0);
    // Later calls fail at once instead of waiting on a dead line.
    start = Clock::now();
    EXPECT_EQ(Ombrix_DataRecv(h, buf, sizeof buf, nullptr, nullptr), OMBRIX_E_COMM);
    EXPECT_LT(msSince(start), 100);
    // A poller learns it too, instead of seeing "nothing yet" for ever.
    EXPECT_EQ(Ombrix_RecvChk(h), OMBRIX_E_COMM);
    Ombrix_ComClear(h);  // must return, not drain forever
    EXPECT_EQ(Ombrix_PortClose(h), OMBRIX_OK);
}

}  // namespace
}  // namespace tavorin::test
