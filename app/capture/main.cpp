// tavorin-capture: the image commands of the program's tabs from a script.
#include <QByteArray>
#include <QCoreApplication>
#include <QList>

#include "cancel_signals.h"
#include "capture_run.h"
#include "language.h"

int main(int argc, char** argv) {
    // First, so that every thread started later (Qt's, the library's)
    // leaves the requests to the listener.
    tavorin::capture::CancelSignals cancel(&tavorin::capture::cancelRequested);
    // The arguments as the system passed them: names and texts go on as
    // these bytes or are refused, never as a decoded stand-in.
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i) args << QByteArray(argv[i]);
    QCoreApplication app(argc, argv);
    tavorin::setLanguage(tavorin::languageFromEnvironment());
    return tavorin::capture::capture(args);
}
