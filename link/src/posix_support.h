// Small pieces the POSIX files share: the time left to a deadline in the
// form poll() takes, and the guard that keeps a write to a closed pipe from
// ending the program.
#pragma once

#include <signal.h>
#include <time.h>

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
