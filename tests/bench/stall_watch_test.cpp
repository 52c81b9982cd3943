#include "stall_watch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace tavorin::bench {
namespace {

using namespace std::chrono_literals;

// The whole process held still from outside, as a host holds a virtual
// machine: the watch counts the stop within the stretch it fell in, and
// nothing in a stretch before it.
TEST(StallWatch, CountsAStopOfTheWholeProcessWhereItFell) {
    StallWatch watch;
    std::this_thread::sleep_for(50ms);
    const Clock::time_point before = Clock::now();
    std::this_thread::sleep_for(50ms);
    const Clock::time_point stopped = Clock::now();

    const pid_t self = getpid();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls in the child of a threaded process.
        kill(self, SIGSTOP);
        const timespec held{0, 120'000'000};
        nanosleep(&held, nullptr);
        kill(self, SIGCONT);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // The watch notes a stall once it has woken from it.
    std::this_thread::sleep_for(50ms);
    const Clock::time_point after = Clock::now();

    EXPECT_GE(watch.withinMs(stopped, after), 100);
    EXPECT_LE(watch.withinMs(stopped, after), 200);
    EXPECT_GE(watch.longestMs(), 100);
    EXPECT_LT(watch.withinMs(before, stopped), 100);
}

}  // namespace
}  // namespace tavorin::bench
