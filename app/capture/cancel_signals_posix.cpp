// The cancel requests on POSIX: signals, taken by a thread that waits for
// them with sigwaitinfo() while every other thread keeps them blocked, so
// that the handler runs as ordinary code.
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <thread>

#include "cancel_signals.h"

namespace tavorin::capture {
namespace {

// The signals whose default ends the process, less those a failed write
// raises (SIGPIPE, SIGXFSZ) and those a crash raises: a fault must still end
// the process as it would anywhere. The real-time range is the C library's
// to say; it only reads a number it keeps, so this may run early too.
template <class Each>
void forEachEnding(Each each) {
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                    SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGXCPU}) {
        each(sig);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) each(sig);
}

}  // namespace

void holdCancelRequests() {
    // The kernel's own call, with the kernel's 64-bit set: the C library's
    // wrappers (and a sanitizer's of them) may not be initialised yet.
    std::uint64_t set = 0;
    forEachEnding([&](int sig) { set |= std::uint64_t{1} << (sig - 1); });
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &set, nullptr, sizeof set);
}

struct CancelSignals::Impl {
    sigset_t set;
    std::thread thread;
    std::atomic<bool> stopping{false};
    int count = 0;
};

CancelSignals::CancelSignals(Handler handler) : impl_(new Impl) {
    sigset_t& set = impl_->set;
    sigemptyset(&set);
    forEachEnding([&](int sig) { sigaddset(&set, sig); });
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A write to a reader that went away (a closed pipe) or past the file
    // size limit fails with its reason (EPIPE, EFBIG), which the run
    // reports, instead of ending the process.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    const timespec now{0, 0};
    while (sigtimedwait(&set, nullptr, &now) > 0) handler(++impl_->count);
    impl_->thread = std::thread([impl = impl_, handler] {
        for (;;) {
            // Every signal of the set is one request: none of them ends the
            // waiting but the destructor's.
            if (sigwaitinfo(&impl->set, nullptr) < 0) continue;
            if (impl->stopping.load()) return;
            handler(++impl->count);
        }
    });
}

CancelSignals::~CancelSignals() {
    impl_->stopping.store(true);
    // Any signal of the set wakes the thread, which then sees it is told to
    // stop.
    pthread_kill(impl_->thread.native_handle(), SIGTERM);
    impl_->thread.join();
    delete impl_;
}

void endAtOnce(const char* line, std::size_t size, int status) {
    if (size > 0 && ::write(STDERR_FILENO, line, size) < 0) {
        // Nothing more can be told.
    }
    ::_exit(status);
}

bool standardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace tavorin::capture
