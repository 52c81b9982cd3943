// tavorin-capture: the image commands of the program's tabs from a script.
#include <QCoreApplication>
#include <csignal>

#include "capture_run.h"
#include "language.h"

int main(int argc, char** argv) {
    // First, so that every thread started later inherits the blocked signals.
    tavorin::capture::SignalCancel cancel;
    // A reader that went away (a closed pipe) shows as a failed write.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    tavorin::setLanguage(tavorin::languageFromEnvironment());
    return tavorin::capture::capture(app.arguments().mid(1));
}
