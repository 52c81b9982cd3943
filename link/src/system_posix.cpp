// What the core needs from POSIX besides its devices and files: the
// watcher's notice, the watcher's priority, the default pump and the clock.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include "device.h"
#include "posix_support.h"

namespace ombrix {

void postNotice(std::intptr_t target, std::uint32_t message) {
    int fd = static_cast<int>(target);
    // A socket takes a non-blocking send that cannot raise SIGPIPE.
    if (::send(fd, &message, sizeof message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return;
    if (errno != ENOTSOCK) return;
    // A pipe's O_NONBLOCK belongs to the client's open file, so it is not
    // ours to change. Writing only when poll() reports room keeps the write
    // from blocking: four bytes are below PIPE_BUF and go in whole.
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ||
        !(p.revents & POLLOUT)) {
        return;
    }
    SigpipeGuard guard;
    ssize_t n;
    do {
        n = ::write(fd, &message, sizeof message);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EPIPE) guard.raised();
}

void raiseWatcherPriority() {
    // Raising a thread above its peers needs privileges an ordinary user
    // lacks; the watcher sleeps in the kernel and is woken on the arrival
    // itself, which is prompt enough at the default priority.
}

bool defaultPump() {
    // A POSIX program has no per-thread message queue: with no pump
    // registered there is nothing to dispatch.
    return false;
}

std::int64_t tickMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace ombrix
