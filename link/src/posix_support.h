// Small pieces the POSIX files share: the time left to a deadline in the
// form poll() takes, the descriptors and waits both devices sleep in, and
// the guard that keeps a write to a closed pipe from ending the program.
#pragma once

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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

// The counters and the epoll set a device's waits sleep in. `wake` ends the
// watcher's waits and `interrupt` the calling thread's: kept apart, so that
// neither takes the other's signal.
struct WaitFds {
    int wake = -1;
    int interrupt = -1;
    int epoll = -1;
};

// Makes them for the device `fd`: the epoll set holds the device
// edge-triggered with `deviceEvents` (each arrival ends one wait, bytes
// already there do not) and the wake counter. False, with none of them
// left open, when any could not be made; `fd` stays the caller's.
inline bool makeWaitFds(int fd, std::uint32_t deviceEvents, WaitFds& out) {
    out.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    out.interrupt = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    out.epoll = epoll_create1(EPOLL_CLOEXEC);
    bool ok = out.wake >= 0 && out.interrupt >= 0 && out.epoll >= 0;
    if (ok) {
        epoll_event dev{};
        dev.events = deviceEvents | EPOLLET;
        dev.data.fd = fd;
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.fd = out.wake;
        ok = epoll_ctl(out.epoll, EPOLL_CTL_ADD, fd, &dev) == 0 &&
             epoll_ctl(out.epoll, EPOLL_CTL_ADD, out.wake, &wake) == 0;
    }
    if (!ok) {
        for (int d : {out.wake, out.interrupt, out.epoll}) {
            if (d >= 0) ::close(d);
        }
        out = WaitFds{};
    }
    return ok;
}

// One sleep in poll() on `fd` for `events` and on the counter `signalFd`
// (either may be -1, which poll() passes over), until the deadline: the
// device's revents, or -1 with `ended` saying why the wait is over -- its
// time, the counter's signal (taken back, so that one signal ends one
// wait; Gone once a close gave it), or a failure.
inline int pollOrSignal(int fd, short events, int signalFd, const std::atomic<bool>& closing,
                        std::int64_t deadline, Wait& ended) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {signalFd, POLLIN, 0}};
        const int n = ::poll(p, 2, remainingMs(deadline));
        if (n < 0) {
            if (errno == EINTR) continue;
            ended = Wait::Gone;
            return -1;
        }
        if (n == 0) {
            ended = Wait::Timeout;
            return -1;
        }
        if (p[1].revents & POLLIN) {
            takeSignal(signalFd);
            ended = closing.load() ? Wait::Gone : Wait::Woken;
            return -1;
        }
        return p[0].revents;
    }
}

// Sleeps `ms` unless the interrupt counter ends it first: Timeout when the
// time ran out, else what pollOrSignal() says.
inline Wait sleepInterruptible(int interruptFd, const std::atomic<bool>& closing, int ms) {
    Wait ended = Wait::Timeout;
    (void)pollOrSignal(-1, 0, interruptFd, closing, tickMs() + ms, ended);
    return ended;
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
    Wait ended = Wait::Timeout;
    return pollOrSignal(fd, endEvents, wakeFd, closing, deadline, ended) < 0 ? ended : Wait::Gone;
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
