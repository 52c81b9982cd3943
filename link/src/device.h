// The one boundary between the portable core of the link library and the
// operating system. The core never calls the platform directly: it opens a
// device by path, configures its line, and moves bytes through this
// interface. Everything below the Device class is what one platform provides
// (the *_posix.cpp files, or device_win32.cpp with port_name_win32.cpp): the
// serial device, the network device, the file a picture goes to, the
// watcher's notice, the port name of a COM number, the default message pump,
// the watcher's priority and the clock. The fuzz targets bring an in-memory
// Device of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "network_name.h"
#include "ombrix.h"

namespace ombrix {

struct LineSettings {
    int baud = 9600;    // bits per second
    int dataBits = 8;   // 7 or 8
    int stopBits = 1;   // 1 or 2
    char parity = 'N';  // 'N', 'E' or 'O'
    bool rtsCts = false;
    bool xonXoff = false;

    // How long `bytes` take to leave on this line: a start bit, the data
    // bits, a parity bit where there is one and the stop bits each. Rounded
    // up, so that a wait sized by it never wakes before the bytes are out.
    int msToSend(int bytes) const {
        const std::int64_t bits = 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
        const std::int64_t rate = baud > 0 ? baud : 9600;
        return static_cast<int>((bytes * bits * 1000 + rate - 1) / rate);
    }
};

enum class Io {
    Ok,          // `count` bytes moved (at least one)
    WouldBlock,  // nothing moved now; try again after a wait
    Gone,        // the device vanished (hang-up, unplug) or was closed
    Error,       // the driver refused with another error
};

struct IoResult {
    Io status;
    std::size_t count;
};

enum class Wait {
    Ready,    // the condition waited for holds
    Timeout,  // the time ran out
    Woken,    // wake() was called
    Gone,     // the device vanished or was closed
};

// Why a device could not be opened. CannotOpen is any reason the others do
// not name; NotTerminal is a name that leads to something other than a
// terminal device (a regular file, a FIFO, a socket, a directory); NoEvent
// means the device opened but its wake-up machinery could not be made.
// The network's own: BadName (a malformed network name), NoHost (the name does not resolve),
// Unreachable (no route to the host), Refused (nothing listens there), NoAnswer (no connection, or
// no answer to the telnet negotiation, within the open's time), NoComControl (the server refuses
// the option that sets the line), LineNotSet (it set a line setting otherwise than asked, or did
// not answer it), TurnedAway (it said something and closed: another client has the port), Telnet
// (a raw port's server speaks telnet), Dropped (the server closed the connection while the open
// was setting it up, without a word), Cancelled (the open's record was cancelled while it waited).
enum class OpenError {
    None,
    Denied,
    NoDevice,
    Held,
    CannotOpen,
    NotTerminal,
    NoEvent,
    BadName,
    NoHost,
    Unreachable,
    Refused,
    NoAnswer,
    NoComControl,
    LineNotSet,
    TurnedAway,
    Telnet,
    Dropped,
    Cancelled,
};

// A line setting a network server did not set as asked, in the terms of
// the public header's OMBRIX_LINE_* values: which setting, the value asked
// for and the value set (or OMBRIX_LINE_NO_ANSWER, OMBRIX_LINE_OTHER).
enum class LineSetting {
    None = 0,
    Speed = OMBRIX_LINE_SPEED,
    DataBits = OMBRIX_LINE_DATA,
    Parity = OMBRIX_LINE_PARITY,
    StopBits = OMBRIX_LINE_STOP,
    Flow = OMBRIX_LINE_FLOW,
};
struct LineFault {
    LineSetting setting = LineSetting::None;
    int asked = 0;
    int set = 0;
    bool operator==(const LineFault&) const = default;
};

// Why an open failed, with what the far end told beyond the reason.
struct OpenFault {
    OpenFault() = default;
    OpenFault(OpenError why, std::string said = {}, LineFault setting = {})
        : error(why), words(std::move(said)), line(setting) {}
    OpenError error = OpenError::None;
    std::string words;  // TurnedAway: the server's own words, one line of printable ASCII
    LineFault line;     // LineNotSet: the setting the server did not set as asked
};

class Device {
  public:
    virtual ~Device() = default;

    // Applies the line settings. Like a serial driver, a device may refuse
    // parts it cannot do (a pseudo-terminal has no modem lines); such
    // refusals are not errors for the caller. A network server that sets
    // the line otherwise than asked is another matter -- the scanner would
    // talk at another speed with nothing to show for it -- and refusal()
    // tells it.
    virtual void configure(const LineSettings& line) = 0;

    // Discards the input queue, the output queue, or both.
    virtual void purge(bool input, bool output) = 0;

    // Waits until the bytes earlier writes handed to the driver have left
    // its output queue, or until `timeoutMs` passed: Ready once the queue
    // is empty, Timeout while bytes are still held (a stalled line, flow
    // control), Woken on interrupt(), Gone once the device has vanished.
    // A purge of the output would throw such bytes away although the send
    // that wrote them reported success; a command waits here first.
    virtual Wait waitOutputDrained(int timeoutMs) = 0;

    // Bytes waiting in the input queue; clears a pending line error as a
    // status read does. -1 once the device has vanished or was closed.
    virtual int queued() = 0;

    // Non-blocking transfers.
    virtual IoResult read(unsigned char* buffer, std::size_t size) = 0;
    virtual IoResult write(const unsigned char* bytes, std::size_t size) = 0;

    // Waits until input is waiting (level: returns Ready at once while bytes
    // are queued) or until `timeoutMs` passed (negative: no limit). Neither
    // wake() nor interrupt() ends it: the drain relies on it to measure a
    // quiet line.
    virtual Wait waitReadable(int timeoutMs) = 0;

    // Waits until the output can take bytes.
    virtual Wait waitWritable(int timeoutMs) = 0;

    // The calling thread's waits for a reply or for room to write: as
    // waitReadable() and waitWritable(), but interrupt() ends them with
    // Woken, so that they may sleep until their deadline and still end at
    // once on a cancel from another thread or a close. An interrupt with
    // nobody waiting ends the next such wait at once; the caller then looks
    // at its flags and waits again. A device that cannot be interrupted
    // waits at most one 10 ms slice, which the callers' loops tolerate.
    virtual Wait waitReadableOrInterrupted(int timeoutMs) {
        return waitReadable(timeoutMs < 0 || timeoutMs > 10 ? 10 : timeoutMs);
    }
    virtual Wait waitWritableOrInterrupted(int timeoutMs) {
        return waitWritable(timeoutMs < 0 || timeoutMs > 10 ? 10 : timeoutMs);
    }

    // Ends the interruptible wait in progress, from any thread.
    virtual void interrupt() {}

    // The caller gives up on the bytes its last write() was refused for
    // (time-out, cancel). A device that holds a write it has accepted but
    // not yet completed drops it here, so that bytes reported as not sent
    // are not sent later either. Nothing to do where a refused write left
    // nothing behind.
    virtual void abandonWrite() {}

    // Waits until new input arrives after the call began (an edge, not a
    // level: bytes already queued do not end it), until wake() or the
    // device vanished. This is what the watcher thread sleeps in; it may run
    // on another thread than every other call.
    virtual Wait waitArrival(int timeoutMs) = 0;

    // Waits until wake() or until the device vanished or was closed; unlike
    // waitArrival(), new input does not end it. The watcher sleeps in it
    // while its last notice is unconsumed, when arrivals are no news, so
    // that it costs nothing until a reader, a stop or a close wakes it. A
    // device that could see its own end only by polling leaves that to the
    // wake its close() gives.
    virtual Wait waitWake(int timeoutMs) = 0;

    // Ends a waitArrival() or waitWake() in progress, from any thread; a
    // wake with nobody waiting ends the next such wait at once.
    virtual void wake() = 0;

    // Why the far end refuses this connection, as far as it has shown: a
    // network server that set the line otherwise than configure() asked, or
    // did not answer it; one that turned the connection away with words of
    // its own; one that speaks another protocol than the port's name says;
    // one that closed without a word. A server that has said something and
    // not yet closed is given up to `graceMs` to close, which is what tells
    // a refusal from a scanner's answer. A serial device never refuses.
    virtual OpenFault refusal(int graceMs) {
        (void)graceMs;
        return {};
    }

    // Closes the device. After it returns no thread is inside a system call
    // on the device's descriptor, and every later call answers Gone / -1, so
    // a watcher thread that still holds the object never touches a
    // descriptor number that the system may already have handed out again.
    virtual void close() = 0;
};

// What an open that waits (for a name, a connection, a server's answers) is
// given by the caller: `pump` runs the caller's pump and tells whether one
// ran, so that the wait must come back within a slice to run it again;
// `cancelled` tells whether the record the open is taking was cancelled.
struct OpenWait {
    std::function<bool()> pump;
    std::function<bool()> cancelled;
};

// Sleeps the calling thread.
void sleepMs(int ms);

// How far a commit() got.
enum class Commit {
    Done,     // the picture stands under the target's name
    Busy,     // another writer holds the target; nothing changed: ask again after
              // waitCommit(), for a bounded time
    Blocked,  // the reader of a FIFO or device has not taken every byte yet: ask
              // again after waitCommit(), for as long as the caller is willing
    Failed,   // error() says why
};

// The file an image is stored in. What the user's path names decides how
// it is written:
//   - a new file, or an existing regular file in a directory that lets a
//     file be created: the bytes go to a temporary beside it (a short name
//     of fixed length), which replaces it only on commit() and then carries
//     the replaced file's permission bits, and its owner, group and extended
//     attributes (access lists among them) where the process may set them
//     and the file system keeps them;
//   - an existing regular file in a directory that does not let a file be
//     created (or whose sticky bit would refuse the rename), or one with
//     more than one name (hard links): the bytes are held in memory and the
//     file is rewritten in place on commit() (see RewrittenFile), so that
//     every name shows the new picture;
//   - an existing file that is not a regular one (a FIFO, a device): the
//     bytes are held in memory and written to it on commit().
// A symbolic link at the path is followed to its final target, and the link
// stays. Destroying an uncommitted file removes the temporary and leaves
// whatever stood under the target's name untouched.
class OutputFile {
  public:
    virtual ~OutputFile() = default;
    // Takes all bytes; false when the disk (or memory) refused them.
    virtual bool write(const unsigned char* bytes, std::size_t size) = 0;
    // Makes the data durable and puts it under the target's name, or says
    // why it cannot yet.
    virtual Commit commit() = 0;
    // After Busy or Blocked: sleeps until commit() may get further (the
    // reader took bytes), at most `ms`.
    virtual void waitCommit(int ms) { sleepMs(ms); }
    // The system's error number behind the last refusal (errno on POSIX,
    // GetLastError() on Windows); 0 where the system gave none.
    int error() const { return error_; }

  protected:
    // Records the system's reason; false, for the refusing call to return.
    bool fail(int error) {
        error_ = error;
        return false;
    }

  private:
    int error_ = 0;
};

// The system's error number for memory that ran out (ENOMEM,
// ERROR_NOT_ENOUGH_MEMORY), for the portable files that hold a picture.
extern const int kNoMemoryError;

// Prepares the file for `path`; null when it cannot be written: no such
// directory, a directory at the path, an existing file the process may not
// write, a FIFO with no reader, or no temporary and no writable file.
// `error` then receives the system's error number, as OutputFile::error().
std::unique_ptr<OutputFile> createOutputFile(const char* path, int& error);

// Posts a watcher's notice: `target` and `message` as given to
// Ombrix_RecvStart (a descriptor on POSIX, a window on Windows). Never
// blocks; a notice that cannot be delivered now is dropped (the client
// learns of the bytes from the next one, or by polling).
void postNotice(std::intptr_t target, std::uint32_t message);

// Runs on the watcher thread as it starts: gives it the priority that lets a
// notice follow the first byte promptly, where the platform has one to give.
void raiseWatcherPriority();

// The platform's own pump, run by the waits while the client registered
// none. Returns true when it dispatched the calling thread's pending events,
// so that a wait must wake every slice to run it again; false where the
// platform has nothing to dispatch and a wait may sleep to its deadline.
bool defaultPump();

// Resolves a COM number (1..OMBRIX_COM_MAX) to the path openDevice() takes. Writes it
// zero-terminated and sets `*length` (without the zero); false when the
// buffer is too small for it, with `*length` still set.
bool comPath(std::int32_t com, char* buffer, std::size_t capacity, std::size_t* length);

// Opens the serial device at `path` for exclusive use. On failure returns
// null and sets `error` to the reason.
std::shared_ptr<Device> openDevice(const char* path, OpenError& error);

// Connects to a network port: resolves the name, connects and, for
// rfc2217://, negotiates the telnet options, all within a few seconds and
// without freezing the caller (`wait` is run about every slice). The
// device's configure() then sends the line's settings and waits a short,
// bounded time for the server's answers, with the same `wait`, and
// refusal() tells whether the server set the line as asked; a raw socket://
// port takes no settings. On failure returns null and sets `fault` to the
// reason. Where the platform reaches network ports through drivers of their
// own (COM ports), there is none: NoDevice.
std::shared_ptr<Device> openNetwork(const NetworkName& name, const OpenWait& wait,
                                    OpenFault& fault);

// Milliseconds on a monotonic clock.
std::int64_t tickMs();

}  // namespace ombrix
