// What tavorin-capture decides before it touches a port: its command line
// read into one request, built from the same tab tables, composers, field
// checks, settings texts and connection choices the program's windows use,
// so that a script and the operator's desktop can never compose differently.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <span>

#include "comsetting_logic.h"
#include "image_logic.h"
#include "language.h"

namespace tavorin::capture {

// The exit statuses, each with what it means; --help and the manual page
// list them.
enum Status : int {
    kAck = 0,         // the scanner acknowledged the command
    kUsage = 2,       // the command line is wrong
    kRefused = 3,     // a field's check, the composer or the file name refused
    kNak = 4,         // the scanner refused a parameter
    kEnq = 5,         // the scanner refused the command
    kNoReply = 6,     // the scanner's reply was empty
    kOtherReply = 7,  // a reply that is neither ACK, NAK nor ENQ
    kNoLibrary = 8,   // the link library could not be loaded
    kOutputLost = 9,  // standard output could not be written
    // 10 + the library's failure: 11 port, 12 file, 13 time-out,
    // 14 cancelled (also by SIGINT or SIGTERM), 15 parameter,
    // 16 communication, 17 no room, 18 busy; 19 any other failure.
    kLibraryBase = 10,
    kCancelled = 14,
    kBusy = 18,
    kNoPicture = 20,  // --ship or --box answered without a picture
};
struct StatusRow {
    int status;
    Text meaning;
};
std::span<const StatusRow> statuses();
// The status of a negative library result.
int statusForLibrary(std::int32_t code);
int statusForReply(image::Reply reply);
// The status of a failed open: its result's, except for a port whose
// server serves another client (OMBRIX_OPEN_TURNED_AWAY), which is busy.
int statusForOpen(std::int32_t code, std::int32_t reason);

// What a run that got the scanner's reply reports. `tab`: the image tab
// the command was composed on (none for --raw); `picture`: whether a
// picture came before the reply. A ship or box command that the scanner
// acknowledged without a picture took none; --raw is any command, so its
// acknowledgement is never called an image command's.
struct ReplyOutcome {
    int status;
    QString message;
};
ReplyOutcome replyOutcome(std::optional<image::Tab> tab, bool picture, const QByteArray& reply);
// What a status means, in the current language.
QString statusMeaning(int status);

enum class Action { Help, List, Capture };

struct Request {
    Action action = Action::Capture;
    bool json = false;

    // The port: a COM number, or a device path (com 0) for which a COM
    // number is found when the port is opened.
    int com = 0;
    QString devicePath;
    comsetting::Positions line{};
    std::int32_t timeout = 0;

    // The command as it goes on the wire, the tab it was composed on (none
    // for --raw), whether an image reply is awaited, and whether the reply
    // is a snap's: awaited without a time limit, as the program waits for
    // the trigger.
    QString command;
    std::optional<image::Tab> tab;
    bool image = false;
    bool snap = false;
    // Where an image goes; empty when none is awaited.
    QString output;
    // IMGSNP with its trigger list at "トリガで撮影".
    bool waitsForTrigger = false;
};

struct Parsed {
    int status = kAck;  // kAck: `request` is ready
    QString message;    // why it is not
    Request request;
};
// Reads the arguments (without the program's name) as the system passed
// them. Settings files named by --settings are read here.
Parsed parse(const QList<QByteArray>& args);
// The same for arguments that are texts already (in the locale's encoding).
Parsed parse(const QStringList& args);

// A list option's value: the item whose name or caption it is, or -1.
int itemIndex(const image::Field& f, const QString& value);
// A connection choice from its command-line spelling: baud rates as
// numbers (115200), the others by the start of their description piece
// (8, N, 1, none, rts, xon) or by the dialog's own entry text; -1 for none.
int choiceIndex(comsetting::List list, const QString& value);
// The format code a raw IMGSHP or IMGBOX command asks for with its "F"
// modifier, else the tab's default; -1 for any other command.
int rawFormatCode(const QString& command);

QString helpText();

}  // namespace tavorin::capture
