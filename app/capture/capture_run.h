// tavorin-capture at work: the request run through the program's binding to
// the link library, cancelled cleanly by a request from outside (a signal),
// with a progress bar while the picture arrives, and the outcome as a line
// or as JSON.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

#include "capture_options.h"

namespace tavorin::capture {

struct Outcome {
    int status = kAck;
    QString message;
    QString command;
    QString file;  // the image written; empty when none was
    std::int64_t bytes = 0;
    double seconds = 0;
    QByteArray reply;  // the scanner's reply as it came
};

// Opens the port, sends the command, awaits the reply (the image into
// `request.output`), closes the port. `progress`: draw a bar on stderr.
Outcome run(const Request& request, bool progress);

// The ports the connection dialog lists, one a line: COM number, device,
// name, separated by tabs; or a JSON array of them. `warning` says why the
// port directory's aliases are missing from it, when the library ignores
// that directory; else it is empty.
int listPorts(bool json, QByteArray& out, QString& warning);

QByteArray toJson(const Outcome& outcome);

// The whole tool: reads the arguments (as the system passed them, without
// the program's name), does what they ask, prints the outcome (standard
// output: the JSON object, the port list or a text reply; standard error:
// messages and the progress bar) and returns the exit status. A standard
// output that could not be written makes it kOutputLost.
int capture(const QList<QByteArray>& args);

// What a request from outside to stop the run does (see CancelSignals, which
// calls it on a thread of its own): the first cancels the running command,
// which then ends cleanly with status kCancelled; a second one ends the
// process at once with that status, removing the run's temporary alias
// first, at the run's next pump or within 200 ms.
void cancelRequested(int count);

}  // namespace tavorin::capture
