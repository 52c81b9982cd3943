// The watcher's sleep on Linux as the kernel counts it: every time a thread
// blocks it gives up the processor voluntarily once, so the growth of its
// voluntary context switches is the number of times it woke and slept again.
#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "link_fixture.h"
#include "notice_sink.h"

namespace tavorin::test {
namespace {

constexpr uint32_t kMessage = 0x8125;

std::set<std::string> threadsOfThisProcess() {
    std::set<std::string> ids;
    DIR* d = opendir("/proc/self/task");
    if (!d) return ids;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ids.insert(e->d_name);
    }
    closedir(d);
    return ids;
}

long sleepsOf(const std::string& thread) {
    std::ifstream status("/proc/self/task/" + thread + "/status");
    for (std::string line; std::getline(status, line);) {
        const std::string key = "voluntary_ctxt_switches:";
        if (line.compare(0, key.size(), key) == 0) return std::stol(line.substr(key.size()));
    }
    return -1;
}

class WatcherPosixTest : public LinkTest {
  protected:
    void TearDown() override {
        // Stopped before the sink closes, whatever ended the test.
        for (int h = 0; h < 10; ++h) Ombrix_RecvStop(h);
        LinkTest::TearDown();
    }
    NoticeSink sink{kMessage};
};

TEST_F(WatcherPosixTest, BehindAnUnconsumedNoticeTheWatcherThreadNeverWakes) {
    ASSERT_TRUE(sink.ready());
    int h = openPort();
    const std::set<std::string> before = threadsOfThisProcess();
    ASSERT_EQ(Ombrix_RecvStart(h, sink.target(), kMessage), OMBRIX_OK);
    std::vector<std::string> started;
    for (const std::string& id : threadsOfThisProcess()) {
        if (!before.count(id)) started.push_back(id);
    }
    ASSERT_EQ(started.size(), 1u) << "the watcher must be the one thread the start made";
    const std::string watcher = started[0];

    peer->send(bytes("A\x06."));
    ASSERT_EQ(sink.take(300ms), 1);
    std::this_thread::sleep_for(50ms);  // into its sleep behind the notice
    const long asleep = sleepsOf(watcher);
    ASSERT_GE(asleep, 0);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(sleepsOf(watcher) - asleep, 0) << "wake-ups in a second";
    // Bytes that come meanwhile are no news to it either.
    peer->send(bytes("B\x06."));
    ASSERT_TRUE(waitQueued(h, 6));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sleepsOf(watcher) - asleep, 0) << "woken by an arrival";
    EXPECT_EQ(sink.take(0ms), 0);

    // The reader that consumes the notice wakes it, and the second reply
    // is told at once.
    unsigned char reply[16];
    ASSERT_EQ(Ombrix_ResponseRecv(h, reply, sizeof reply), 3);
    EXPECT_EQ(sink.take(300ms), 1);
    EXPECT_GT(sleepsOf(watcher) - asleep, 0);
    EXPECT_EQ(Ombrix_RecvStop(h), OMBRIX_OK);
}

}  // namespace
}  // namespace tavorin::test
