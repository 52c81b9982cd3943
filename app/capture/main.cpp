// tavorin-capture: the image commands of the program's tabs from a script.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <csignal>

#include "capture_run.h"
#include "language.h"

namespace {

// Runs before the libraries the tool links have initialised themselves
// (Qt, the C++ runtime, a sanitizer's runtime), which takes milliseconds:
// a SIGINT or SIGTERM in that time would otherwise end the process by its
// default action instead of cancelling. Only the kernel is asked, since the
// C library's own wrappers may not be ready yet.
void blockEarly(int, char**, char**) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // The kernel's signal set is the first 64 bits of the C library's.
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &set, nullptr, _NSIG / 8);
}

}  // namespace

__attribute__((section(".preinit_array"),
               used)) static void (*const kBlockEarly)(int, char**, char**) = blockEarly;

int main(int argc, char** argv) {
    // First, so that every thread started later inherits the blocked
    // signals (this also stands where the early block above does not run).
    tavorin::capture::SignalCancel cancel;
    // A reader that went away (a closed pipe) shows as a failed write.
    std::signal(SIGPIPE, SIG_IGN);
    // The arguments as the system passed them: names and texts go on as
    // these bytes or are refused, never as a decoded stand-in.
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i) args << QByteArray(argv[i]);
    QCoreApplication app(argc, argv);
    tavorin::setLanguage(tavorin::languageFromEnvironment());
    return tavorin::capture::capture(args);
}
