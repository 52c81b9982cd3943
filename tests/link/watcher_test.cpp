#include "link_fixture.h"
#include "notice_sink.h"

namespace tavorin::test {
namespace {

constexpr uint32_t kMessage = 0x8123;

class WatcherTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        ASSERT_TRUE(sink.ready());
    }
    void TearDown() override {
        for (int h = 0; h < 10; ++h) Ombrix_RecvStop(h);
        LinkTest::TearDown();
    }

    // The notices that arrived within `window` (and before it); each must
    // carry the registered message number.
    int noticesWithin(std::chrono::milliseconds window) { return sink.take(window); }

    NoticeSink sink{kMessage};
    unsigned char buf[32] = {};
};

TEST_F(WatcherTest, OneNoticePerArrivalUntilAReaderConsumesIt) {
    int h = openPort();
    ASSERT_EQ(Ombrix_RecvStart(h, sink.target(), kMessage), OMBRIX_OK);
    // A second watcher is refused and the first keeps working.
    EXPECT_EQ(Ombrix_RecvStart(h, sink.target(), kMessage), OMBRIX_E_NO_WATCHER);
    EXPECT_EQ(noticesWithin(100ms), 0);

    peer->send(bytes("A\x06."));
    EXPECT_EQ(noticesWithin(300ms), 1);
    peer->send(bytes("B\x06."));
    EXPECT_EQ(noticesWithin(200ms), 0) << "no new notice until the last one is consumed";
    EXPECT_EQ(Ombrix_RecvChk(h), 6) << "polling reads nothing and consumes nothing";
    EXPECT_EQ(noticesWithin(100ms), 0);

    // The reader takes the first reply; the second is still waiting, and
    // the re-armed watcher says so.
    ASSERT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 3);
    EXPECT_EQ(noticesWithin(300ms), 1);
    ASSERT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 3);
    EXPECT_EQ(noticesWithin(100ms), 0);

    peer->send(bytes("C\x06."));
    EXPECT_EQ(noticesWithin(300ms), 1);
    Ombrix_ComClear(h);
    EXPECT_EQ(noticesWithin(100ms), 0) << "cleared input leaves nothing to tell";
    peer->send(bytes("D\x06."));
    EXPECT_EQ(noticesWithin(300ms), 1);
    ASSERT_EQ(Ombrix_DataRecv(h, buf, sizeof buf, "", "."), 3);

    EXPECT_EQ(Ombrix_RecvStop(h), OMBRIX_OK);
    peer->send(bytes("E\x06."));
    EXPECT_EQ(noticesWithin(150ms), 0) << "a stopped watcher is silent";
    // And a new one may be started.
    ASSERT_EQ(Ombrix_RecvStart(h, sink.target(), kMessage), OMBRIX_OK);
    EXPECT_EQ(noticesWithin(300ms), 1) << "bytes already waiting are told at once";
}

TEST_F(WatcherTest, ReadingEachReplyAsItsNoticeComesLeavesNoStaleNotice) {
    int h = openPort();
    ASSERT_EQ(Ombrix_RecvStart(h, sink.target(), kMessage), OMBRIX_OK);
    int notices = 0;
    for (int i = 0; i < 60; ++i) {
        peer->send(bytes("R\x06."));
        // As a program does: the reply is read the moment its notice is in,
        // which is when the watcher may be looking at the queue again.
        int got = 0;
        auto start = Clock::now();
        while (got == 0 && msSince(start) < 2000) got = sink.take(1ms);
        ASSERT_GE(got, 1) << "arrival " << i << " was not told";
        notices += got;
        ASSERT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 3);
    }
    notices += sink.take(100ms);
    EXPECT_EQ(notices, 60) << "a notice came for bytes that were already read";
}

TEST_F(WatcherTest, ArgumentsAndStates) {
    EXPECT_EQ(Ombrix_RecvStart(0, sink.target(), kMessage), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_RecvStart(10, sink.target(), kMessage), OMBRIX_E_PARAM);
    int h = openPort();
    EXPECT_EQ(Ombrix_RecvStart(h, 0, kMessage), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_RecvStart(h, sink.target(), 0), OMBRIX_E_PARAM);
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_RecvStop(h), OMBRIX_OK);
    EXPECT_EQ(Ombrix_RecvStop(12), OMBRIX_OK);
    EXPECT_LT(msSince(start), 50);
    EXPECT_EQ(Ombrix_RecvChk(12), 0);
    EXPECT_EQ(Ombrix_RecvChk(7), 0);
}

TEST_F(WatcherTest, ClosingThePortEndsTheWatcherAndAReopenStartsAfresh) {
    int h = openPort();
    ASSERT_EQ(Ombrix_RecvStart(h, sink.target(), kMessage), OMBRIX_OK);
    peer->send(bytes("A\x06."));
    EXPECT_EQ(noticesWithin(300ms), 1);
    ASSERT_EQ(Ombrix_PortClose(h), OMBRIX_OK);

    // Descriptor numbers are handed out again at once; the old watcher must
    // not write its notice into whatever gets them next.
    int h2 = openPort();
    ASSERT_EQ(h2, h);
    EXPECT_EQ(Ombrix_RecvStart(h2, sink.target(), kMessage), OMBRIX_OK)
        << "the reopened record has no watcher of its own yet";
    peer->send(bytes("B\x06."));
    EXPECT_EQ(noticesWithin(300ms), 1);
    EXPECT_EQ(Ombrix_PortClose(h2), OMBRIX_OK);
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_RecvStop(h2), OMBRIX_OK);
    EXPECT_LT(msSince(start), 200);
}

TEST_F(WatcherTest, AClientThatClosedItsEndDoesNotBringTheProgramDown) {
    int h = openPort();
    ASSERT_EQ(Ombrix_RecvStart(h, sink.target(), kMessage), OMBRIX_OK);
    sink.close();
    peer->send(bytes("A\x06."));
    ASSERT_TRUE(waitQueued(h, 3));
    std::this_thread::sleep_for(100ms);
    // Still alive (a SIGPIPE would have ended the test process), and the
    // port still works.
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), 3);
    EXPECT_EQ(Ombrix_RecvStop(h), OMBRIX_OK);
}

}  // namespace
}  // namespace tavorin::test
