// Small pieces the POSIX files share: the time left to a deadline in the
// form poll() takes, and the guard that keeps a write to a closed pipe from
// ending the program.
#pragma once

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "device.h"

namespace ombrix {

// poll() and epoll_wait() take an int of milliseconds where negative means
// forever; EINTR from a signal handler of the host program just repeats the
// wait with what is left.
inline int remainingMs(std::int64_t deadline) {
    if (deadline < 0) return -1;
    std::int64_t left = deadline - tickMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Takes an eventfd's count back, so that one signal ends one wait.
inline void takeSignal(int eventFd) {
    std::uint64_t count;
    (void)!::read(eventFd, &count, sizeof count);
}

// The watcher's wait for new input, shared by the POSIX devices: an epoll
// set that holds the device edge-triggered (each arrival ends one wait,
// bytes already there do not) and the wake counter. The device's hang-up or
// error is Gone; so is a wake that a close gave.
inline Wait waitEpollArrival(int epollFd, int wakeFd, const std::atomic<bool>& closing,
                             int timeoutMs) {
    const std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
    for (;;) {
        epoll_event events[2];
        const int n = epoll_wait(epollFd, events, 2, remainingMs(deadline));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Wait::Gone;
        }
        if (n == 0) return Wait::Timeout;
        Wait result = Wait::Timeout;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == wakeFd) {
                takeSignal(wakeFd);
                result = Wait::Woken;
            } else if (events[i].events & (EPOLLHUP | EPOLLERR)) {
                return Wait::Gone;
            } else if (result != Wait::Woken) {
                result = Wait::Ready;
            }
        }
        return closing.load() ? Wait::Gone : result;
    }
}

// The watcher's wait for a wake alone: the device is polled only for the
// events that mean its end (`endEvents`; poll() adds hang-up and errors
// whatever is asked), so that arrivals leave the thread asleep.
inline Wait waitWakeOnly(int fd, short endEvents, int wakeFd, const std::atomic<bool>& closing,
                         int timeoutMs) {
    const std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
    for (;;) {
        pollfd p[2] = {{fd, endEvents, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(p, 2, remainingMs(deadline));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Wait::Gone;
        }
        if (n == 0) return Wait::Timeout;
        if (p[1].revents & POLLIN) {
            takeSignal(wakeFd);
            return closing.load() ? Wait::Gone : Wait::Woken;
        }
        return Wait::Gone;
    }
}

// A write to a pipe whose reader has gone raises SIGPIPE, which would end
// the whole program. While a guard lives the signal is blocked on the
// calling thread, and one that our own write raised is taken back before it
// is unblocked.
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
    }
    ~SigpipeGuard() {
        if (raised_) {
            timespec zero{0, 0};
            while (sigtimedwait(&pipeOnly_, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;
    // Called after a write failed with EPIPE.
    void raised() { raised_ = true; }

  private:
    sigset_t pipeOnly_;
    sigset_t previous_;
    bool raised_ = false;
};

}  // namespace ombrix
