// The port table and the port lifecycle: open with the greeting, close,
// time-outs, clearing the input and cancelling.
#include <array>
#include <cstring>
#include <string>

#include "network_name.h"
#include "port.h"
#include "port_names.h"

namespace ombrix {
namespace {

std::array<Port, kPortCount> g_ports;
std::atomic<Ombrix_PumpFn> g_pump{nullptr};

constexpr std::array<int, 10> kBaudRates = {300,  600,   1200,  2400,  4800,
                                            9600, 19200, 38400, 57600, 115200};

void resetRecord(Port& p) {
    // A watcher left behind by a close ends by itself once its device is
    // gone; reaping it here keeps a reopened record from inheriting (or
    // leaking) it.
    ReapWatcher(p);
    p.com = 0;
    p.device.reset();
    p.firstTimeout = OMBRIX_DEFAULT_FIRST_TIMEOUT_MS;
    p.dataTimeout = OMBRIX_DEFAULT_DATA_TIMEOUT_MS;
    p.cancel.store(0);
    p.notified.store(0);
    p.notifyTarget.store(0);
    p.notifyMessage.store(0);
    p.imageState.store(0);
    p.imageLength.store(0);
    p.imageReceived.store(0);
    p.fileFailure = 0;
}

// Closes the device and frees the record; the other fields keep their
// values until the record is opened again.
void releaseRecord(Port& p) {
    if (p.device) {
        p.device->wake();
        p.device->purge(true, false);
        p.device->close();
    }
    p.device.reset();
    p.com = 0;
}

// How long a server that said something instead of greeting back is given
// to close: a server that turns a client away closes at once, a scanner
// that answered wrongly never does.
constexpr int kRefusalGraceMs = 250;

// Per thread, as the system's own last-error value is: the program asks
// right after its own open, whatever other threads do.
thread_local OpenFault g_openFault;

int32_t openFailureOf(OpenError error) {
    switch (error) {
        case OpenError::None:
            return OMBRIX_OPEN_OK;
        case OpenError::Denied:
            return OMBRIX_OPEN_DENIED;
        case OpenError::NoDevice:
            return OMBRIX_OPEN_NO_DEVICE;
        case OpenError::Held:
            return OMBRIX_OPEN_HELD;
        case OpenError::NotTerminal:
            return OMBRIX_OPEN_NOT_TTY;
        case OpenError::BadName:
            return OMBRIX_OPEN_BAD_NAME;
        case OpenError::NoHost:
            return OMBRIX_OPEN_NO_HOST;
        case OpenError::Unreachable:
            return OMBRIX_OPEN_UNREACHABLE;
        case OpenError::TurnedAway:
            return OMBRIX_OPEN_TURNED_AWAY;
        case OpenError::Telnet:
            return OMBRIX_OPEN_TELNET;
        case OpenError::LineNotSet:
            return OMBRIX_OPEN_LINE_NOT_SET;
        case OpenError::Refused:
            return OMBRIX_OPEN_REFUSED;
        case OpenError::NoAnswer:
            return OMBRIX_OPEN_NO_ANSWER;
        case OpenError::NoComControl:
            return OMBRIX_OPEN_NO_COM_CONTROL;
        case OpenError::Dropped:
            return OMBRIX_OPEN_DROPPED;
        case OpenError::Cancelled:
            return OMBRIX_OPEN_OK;
        default:
            return OMBRIX_OPEN_OTHER;
    }
}

// The result code an open fails with for a reason: the wake-up machinery
// stands in for the record's event, and failing to make it is a
// communication error, as the event's creation is; so is a server that
// cannot or does not set the line, or hangs up on the open without a word.
// A server that turns the open away, or speaks another protocol, cannot be
// opened as named.
int32_t resultOf(OpenError error) {
    switch (error) {
        case OpenError::NoEvent:
        case OpenError::NoComControl:
        case OpenError::LineNotSet:
        case OpenError::Dropped:
            return OMBRIX_E_COMM;
        case OpenError::Cancelled:
            return OMBRIX_E_CANCELLED;
        case OpenError::BadName:
            return OMBRIX_E_PARAM;
        default:
            return OMBRIX_E_NOT_OPEN;
    }
}

}  // namespace

Port& port(int handle) {
    return g_ports[static_cast<std::size_t>(handle)];
}

bool pump() {
    Ombrix_PumpFn fn = g_pump.load();
    if (!fn) return defaultPump();
    fn();
    return true;
}

void DrainInput(Port& p, Device& dev) {
    for (;;) {
        dev.purge(true, true);
        // Give the line two slices to show whether the scanner is still
        // sending; a byte that comes sooner ends the wait, and the loop
        // discards it with the next purge.
        (void)dev.waitReadable(kSliceMs);
        pump();
        (void)dev.waitReadable(kSliceMs);
        // A vanished device has nothing left to drain; without this test the
        // loop would never see an empty queue.
        if (dev.queued() <= 0) return;
    }
}

std::int32_t InstallDevice(std::int32_t com, std::shared_ptr<Device> device) {
    for (int h = 0; h < kPortCount; ++h) {
        Port& p = g_ports[static_cast<std::size_t>(h)];
        if (p.com == 0) {
            resetRecord(p);
            p.com = com;
            p.device = std::move(device);
            return h;
        }
    }
    return OMBRIX_E_NO_ROOM;
}

}  // namespace ombrix

using namespace ombrix;

extern "C" {

OMBRIX_API int32_t Ombrix_PortOpen(int32_t com, int32_t baud, int32_t data, int32_t stop,
                                   int32_t parity, int32_t flow) {
    g_openFault = OpenFault{};
    int chosen = -1;
    for (int h = 0; h < kPortCount; ++h) {
        const Port& p = port(h);
        if (p.com == com && com != 0) {
            g_openFault.error = OpenError::Held;
            return OMBRIX_E_NOT_OPEN;
        }
        if (p.com == 0) {
            chosen = h;
            break;
        }
    }
    if (chosen < 0) return OMBRIX_E_NO_ROOM;
    if (com < 1 || com > OMBRIX_COM_MAX) return OMBRIX_E_NO_ROOM;

    char path[4096];
    std::size_t length = 0;
    if (!comPath(com, path, sizeof path, &length)) {
        g_openFault.error = OpenError::CannotOpen;
        return OMBRIX_E_NOT_OPEN;
    }

    // The record is reserved before the device is opened: a connection to a
    // network port takes a while, the pump runs meanwhile, and an open that
    // a handler starts then must take another record (or find this COM
    // number held), while a cancel of this number or handle reaches the wait.
    Port& p = port(chosen);
    resetRecord(p);
    p.com = com;
    // A failure before the record took the device frees the record and
    // tells why; a cancel is said by the result alone.
    auto refuse = [&](const OpenFault& fault) {
        p.com = 0;
        if (fault.error != OpenError::Cancelled) g_openFault = fault;
        return resultOf(fault.error);
    };

    OpenFault fault;
    std::shared_ptr<Device> device;
    if (isNetworkName(path)) {
        NetworkName name;
        if (!parseNetworkName(path, name)) return refuse(OpenFault{OpenError::BadName});
        const OpenWait wait{[] { return pump(); }, [&p] { return p.cancel.load() != 0; }};
        device = openNetwork(name, wait, fault);
    } else {
        device = openDevice(path, fault.error);
    }
    if (!device) return refuse(fault);
    device->purge(true, true);

    // The device goes again, and the record is freed, on every failure
    // from here until the record takes the device.
    auto giveUp = [&](int32_t result) {
        device->close();
        p.com = 0;
        return result;
    };
    // All settings are checked, in this order, before any is applied.
    if (baud < 0 || baud > 9) return giveUp(OMBRIX_E_PARAM);
    if (data != 0 && data != 1) return giveUp(OMBRIX_E_PARAM);
    if (stop != 0 && stop != 1) return giveUp(OMBRIX_E_PARAM);
    if (parity < 0 || parity > 2) return giveUp(OMBRIX_E_PARAM);
    LineSettings line;
    line.baud = kBaudRates[static_cast<std::size_t>(baud)];
    line.dataBits = data == 0 ? 7 : 8;
    line.stopBits = stop == 0 ? 1 : 2;
    line.parity = "NEO"[parity];
    line.rtsCts = (flow & 2) != 0;
    line.xonXoff = (flow & 1) != 0;
    device->configure(line);
    // A network port's settings take a moment to be answered, and a cancel
    // may come meanwhile; the greeting's send would lower the flag.
    if (p.cancel.load()) return giveUp(OMBRIX_E_CANCELLED);
    // A server that set the line otherwise than asked leaves the scanner
    // talking at another speed: nothing it says would make sense.
    if (OpenFault set = device->refusal(0); set.error != OpenError::None) {
        device->close();
        return refuse(set);
    }
    p.device = device;

    static const unsigned char greeting[] = {'B', 'E', 'P', 'B', 'E', 'P', '?'};
    int32_t r = Ombrix_CmndSend(chosen, greeting, sizeof greeting);
    unsigned char answer[9] = {};
    if (r == 0) {
        r = Ombrix_ResponseRecv(chosen, answer, sizeof answer);
        if (r == 9 && std::memcmp(answer, "BEPBEP", 6) == 0 && answer[7] == ACK &&
            answer[8] == '.') {
            return chosen;
        }
    }
    // What came instead of the greeting may be a server's refusal (the
    // port is another client's, the stream is telnet): that says more than
    // the greeting's own failure.
    OpenFault why;
    if (r != OMBRIX_E_CANCELLED) why = device->refusal(kRefusalGraceMs);
    // A close that came through the pump has already freed the record.
    if (port(chosen).device == device) Ombrix_PortClose(chosen);
    device->close();
    if (why.error != OpenError::None) {
        g_openFault = why;
        return resultOf(why.error);
    }
    return r < 0 ? r : OMBRIX_E_COMM;
}

OMBRIX_API int32_t Ombrix_PortClose(int32_t handle) {
    if (!validHandle(handle)) return OMBRIX_E_PARAM;
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    if (p.imageState.load() == OMBRIX_IMAGE_RUNNING) return OMBRIX_E_BUSY;
    p.cancel.store(1);
    releaseRecord(p);
    return OMBRIX_OK;
}

OMBRIX_API int32_t Ombrix_TimeoutSet(int32_t handle, int32_t first, int32_t data) {
    if (!validHandle(handle)) return OMBRIX_OK;
    Port& p = port(handle);
    p.firstTimeout = first < 0 ? OMBRIX_DEFAULT_FIRST_TIMEOUT_MS : first;
    p.dataTimeout = data < 0 ? OMBRIX_DEFAULT_DATA_TIMEOUT_MS : data;
    return OMBRIX_OK;
}

OMBRIX_API int32_t Ombrix_ComClear(int32_t handle) {
    if (!validHandle(handle)) return OMBRIX_OK;
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_OK;
    std::shared_ptr<Device> dev = p.device;
    DrainInput(p, *dev);
    ConsumeNotice(p);
    return OMBRIX_OK;
}

OMBRIX_API int32_t Ombrix_ComCancel(int32_t handle) {
    if (!validHandle(handle)) return OMBRIX_OK;
    Port& p = port(handle);
    p.cancel.store(1);
    if (p.open()) {
        // The watcher re-arms itself; a wait of the calling thread ends at
        // once even when it sleeps without a pump.
        p.device->wake();
        p.device->interrupt();
    }
    return OMBRIX_OK;
}

OMBRIX_API int32_t Ombrix_OpenCancel(int32_t com) {
    if (com < 1 || com > OMBRIX_COM_MAX) return OMBRIX_OK;
    for (int h = 0; h < kPortCount; ++h) {
        if (port(h).com == com) return Ombrix_ComCancel(h);
    }
    return OMBRIX_OK;
}

OMBRIX_API int32_t Ombrix_RecvChk(int32_t handle) {
    if (!validHandle(handle)) return 0;
    Port& p = port(handle);
    if (!p.open()) return 0;
    // A device that has vanished would otherwise read as "nothing waiting"
    // for ever to a caller that polls.
    int n = p.device->queued();
    return n < 0 ? OMBRIX_E_COMM : n;
}

OMBRIX_API int32_t Ombrix_PortName(int32_t com, char* buffer, int32_t capacity) {
    if (com < 1 || com > OMBRIX_COM_MAX) return OMBRIX_E_NO_ROOM;
    if (buffer == nullptr || capacity <= 0) return OMBRIX_E_PARAM;
    std::size_t length = 0;
    if (!comPath(com, buffer, static_cast<std::size_t>(capacity), &length)) return OMBRIX_E_PARAM;
    return static_cast<int32_t>(length);
}

OMBRIX_API int32_t Ombrix_PortFolder(char* buffer, int32_t capacity) {
    if (buffer == nullptr || capacity <= 0) return OMBRIX_E_PARAM;
    std::size_t length = 0;
    if (!portFolder(buffer, static_cast<std::size_t>(capacity), &length)) return OMBRIX_E_PARAM;
    return static_cast<int32_t>(length);
}

OMBRIX_API int32_t Ombrix_PortFolderCheck(void) {
    return portFolderCheck();
}

OMBRIX_API int32_t Ombrix_PortScan(void) {
    return rememberSerialIds();
}

OMBRIX_API int32_t Ombrix_PortAdd(const char* target, int32_t first) {
    if (target == nullptr || *target == 0) return OMBRIX_E_PARAM;
    return addAlias(target, first);
}

OMBRIX_API int32_t Ombrix_PortRemove(int32_t com) {
    if (com < 1 || com > OMBRIX_COM_MAX) return OMBRIX_E_NO_ROOM;
    return removeAlias(com);
}

OMBRIX_API int32_t Ombrix_OpenFailure(void) {
    return openFailureOf(g_openFault.error);
}

OMBRIX_API int32_t Ombrix_OpenFailureText(char* buffer, int32_t capacity) {
    if (buffer == nullptr || capacity <= 0) return OMBRIX_E_PARAM;
    const std::string& words = g_openFault.words;
    if (words.size() >= static_cast<std::size_t>(capacity)) return OMBRIX_E_PARAM;
    std::memcpy(buffer, words.c_str(), words.size() + 1);
    return static_cast<int32_t>(words.size());
}

OMBRIX_API int32_t Ombrix_OpenFailureLine(int32_t* asked, int32_t* set) {
    if (asked) *asked = 0;
    if (set) *set = 0;
    const LineFault& line = g_openFault.line;
    if (g_openFault.error != OpenError::LineNotSet) return 0;
    if (asked) *asked = line.asked;
    if (set) *set = line.set;
    return static_cast<int32_t>(line.setting);
}

OMBRIX_API int32_t Ombrix_PortNameCheck(const char* name) {
    if (name == nullptr) return OMBRIX_E_PARAM;
    if (!isNetworkName(name)) return OMBRIX_NAME_DEVICE;
    NetworkName parsed;
    switch (checkNetworkName(name, parsed)) {
        case NameFault::None:
            return OMBRIX_NAME_NETWORK;
        case NameFault::Scheme:
            return OMBRIX_NAME_SCHEME;
        case NameFault::User:
            return OMBRIX_NAME_USER;
        case NameFault::Host:
            return OMBRIX_NAME_HOST;
        case NameFault::Ipv6:
            return OMBRIX_NAME_IPV6;
        case NameFault::NoPort:
            return OMBRIX_NAME_NO_PORT;
        case NameFault::Port:
            return OMBRIX_NAME_PORT;
        case NameFault::Path:
            return OMBRIX_NAME_PATH;
    }
    return OMBRIX_NAME_SCHEME;
}

OMBRIX_API int32_t Ombrix_PumpSet(Ombrix_PumpFn fn) {
    g_pump.store(fn);
    return OMBRIX_OK;
}

}  // extern "C"
