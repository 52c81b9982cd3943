// A watch on the machine's own stalls, for the benchmarks that measure how
// long a program went without running.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace tavorin::bench {

// The steady clock the watch and the event-loop probe both measure by.
using Clock = std::chrono::steady_clock;

inline double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The machine's own stalls, as a thread of the benchmark that does nothing
// but sleep 1 ms at a time sees them. A virtual machine's host now and then
// holds all of the guest's CPUs for tens of milliseconds: every thread stops
// then, the event loop with them, and no program could have run. Such a stall
// shows as a sleep that overran although the thread did not wait for a CPU
// (the scheduler's own count of its run-queue wait, in schedstat, tells the
// two apart): a program that keeps the CPUs busy makes the watch wait on the
// run queue, and that wait is never counted as the machine's.
class StallWatch {
  public:
    StallWatch()
        : thread_([this] {
              using namespace std::chrono_literals;
              // Without the scheduler's figures nothing is counted as a stall.
              const int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
              if (fd < 0) return;
              // One look at the clock and the run-queue figure a sleep: each
              // sleep's end is the next one's start.
              Clock::time_point before = Clock::now();
              double queued = runQueueMs(fd);
              while (!stop_.load()) {
                  std::this_thread::sleep_for(1ms);
                  const Clock::time_point after = Clock::now();
                  const double queuedAfter = runQueueMs(fd);
                  const double stoodMs = ms(after - before - 1ms) - (queuedAfter - queued);
                  if (stoodMs > 2) {
                      std::lock_guard lock(mutex_);
                      stalls_.push_back({before, after, stoodMs});
                      longestMs_ = std::max(longestMs_, stoodMs);
                  }
                  before = after;
                  queued = queuedAfter;
              }
              ::close(fd);
          }) {}
    ~StallWatch() {
        stop_ = true;
        thread_.join();
    }
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // How long within [from, to] the machine stood still. Where in its
    // sleep a stall fell is not known: it counts at most as far as the sleep
    // and the interval overlap.
    double withinMs(Clock::time_point from, Clock::time_point to) {
        std::lock_guard lock(mutex_);
        double stood = 0;
        for (const Stall& s : stalls_) {
            if (s.end > from && s.start < to)
                stood += std::min(s.stoodMs, ms(std::min(s.end, to) - std::max(s.start, from)));
        }
        return stood;
    }
    double longestMs() {
        std::lock_guard lock(mutex_);
        return longestMs_;
    }

  private:
    struct Stall {
        Clock::time_point start, end;
        double stoodMs;
    };
    // The second field: nanoseconds spent waiting on a run queue.
    static double runQueueMs(int fd) {
        char text[96] = {};
        if (::pread(fd, text, sizeof text - 1, 0) <= 0) return 0;
        unsigned long long running = 0, waiting = 0;
        if (std::sscanf(text, "%llu %llu", &running, &waiting) != 2) return 0;
        return waiting / 1e6;
    }

    std::mutex mutex_;
    std::vector<Stall> stalls_;
    double longestMs_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace tavorin::bench
