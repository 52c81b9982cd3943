// The requests from outside tavorin-capture to stop its run, and the end at
// once that a second one asks for. The platform's file (cancel_signals_*.cpp,
// chosen by the build) says what a request is:
//   - on POSIX, every signal whose default would end the process, apart from
//     those a failed write raises (SIGPIPE, SIGXFSZ: ignored, so that the
//     write fails with its reason instead) and those a crash raises (SIGSEGV,
//     SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT, which keep their
//     default). SIGINT, SIGTERM, SIGHUP (a closed terminal or ssh session),
//     SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM and the rest each cancel the run;
//     none ends the listening.
//   - on Windows, Ctrl+C, Ctrl+Break and the console's closing.
// The run itself only reads the flags the handler sets, so it stays
// portable.
#pragma once

#include <cstddef>

namespace tavorin::capture {

class CancelSignals {
  public:
    // Called for each request with how many have come (1 for the first), on
    // a thread of the listener's own: never inside a signal handler, and
    // never on the thread that runs the command once it runs.
    using Handler = void (*)(int count);

    // Starts listening. Make it before any other thread starts: on POSIX
    // the signals are taken by a thread that waits for them while every
    // other thread keeps them blocked, and threads inherit the mask of the
    // one that starts them. A request that came while the program started
    // (held until now, see holdCancelRequests) is handled before the
    // constructor returns, on the calling thread, so that the run it
    // cancels never begins.
    explicit CancelSignals(Handler handler);
    // Stops listening. Requests that come later stay held and are dropped
    // when the process ends: the run is over and has been reported.
    ~CancelSignals();
    CancelSignals(const CancelSignals&) = delete;
    CancelSignals& operator=(const CancelSignals&) = delete;

  private:
    struct Impl;
    Impl* impl_;
};

// Holds the requests from here on until a CancelSignals listens, so that one
// that comes while the program is still starting cancels the run instead of
// ending the process. The executable runs it from its own start-up code
// where the platform lets that run before the libraries initialise (on POSIX
// from .preinit_array: cancel_early_posix.cpp); it therefore needs neither
// the C nor the C++ runtime to be ready. What comes before that, while the
// system's loader maps the libraries, still has the platform's default
// effect.
void holdCancelRequests();

// Ends the process at once with `status`, after writing `size` bytes of
// `line` to standard error. Safe to call from any thread at any time (no
// lock, no allocation, no buffered output, nothing run at exit).
[[noreturn]] void endAtOnce(const char* line, std::size_t size, int status);

// Whether standard error is a terminal (a progress bar is drawn only there).
bool standardErrorIsTerminal();

}  // namespace tavorin::capture
