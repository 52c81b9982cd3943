// The port table and the routines the exports share. Internal to the
// library; the fuzz targets include it to install an in-memory device.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "device.h"
#include "ombrix.h"

namespace ombrix {

constexpr int kPortCount = 10;

// The wait slice: while a pump is registered it runs at least this often
// while a call waits, which keeps the program's timers and buttons alive.
constexpr int kSliceMs = 10;

// Latin names for the bytes the protocol gives a meaning.
constexpr unsigned char SYN = 0x16;
constexpr unsigned char ACK = 0x06;
constexpr unsigned char NAK = 0x15;
constexpr unsigned char ENQ = 0x05;
constexpr unsigned char GS = 0x1D;

// A running watcher thread and the signal it gives when it has ended, so
// that Ombrix_RecvStop can keep the caller's pump going while it waits
// instead of blocking in join().
struct Watcher {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool ended = false;
};

struct Port {
    // Written only by the calling thread; the COM number is also read by
    // Ombrix_OpenCancel, which another thread may call.
    std::atomic<std::int32_t> com{0};
    std::shared_ptr<Device> device;
    std::int32_t firstTimeout = OMBRIX_DEFAULT_FIRST_TIMEOUT_MS;
    std::int32_t dataTimeout = OMBRIX_DEFAULT_DATA_TIMEOUT_MS;

    // Shared with the watcher thread, or raised by a cancel that arrives
    // through the pump while a wait further down the stack reads it.
    std::atomic<std::int32_t> cancel{0};
    std::atomic<std::int32_t> notified{0};
    std::atomic<std::int32_t> watcherRun{0};
    std::atomic<std::intptr_t> notifyTarget{0};
    std::atomic<std::uint32_t> notifyMessage{0};
    std::unique_ptr<Watcher> watcher;

    std::atomic<std::int32_t> imageState{0};
    // The system's error number behind the last image transfer's
    // OMBRIX_E_FILE (see Ombrix_FileFailure); calling thread only.
    std::int32_t fileFailure = 0;
    std::atomic<std::int32_t> imageLength{0};
    std::atomic<std::int32_t> imageReceived{0};

    bool open() const { return device != nullptr; }
};

// The process-wide table, zero at load.
Port& port(int handle);
inline bool validHandle(std::int32_t handle) {
    return handle >= 0 && handle < kPortCount;
}

// Runs the registered pump, or the platform's default when none is
// registered; true when something was dispatched and the wait must come
// back within a slice to dispatch again.
bool pump();

// How long one wait of the calling thread may sleep when `leftMs` remain
// until its deadline (negative: none): one slice while a pump must run,
// else the whole time, since the device wakes the wait for a byte, a
// cancel or a close. Never 0, which would turn the wait into a spin.
inline int waitLength(bool pumping, std::int64_t leftMs) {
    const std::int64_t longest = pumping ? kSliceMs : std::int64_t{1} << 30;
    if (leftMs < 0) return pumping ? kSliceMs : -1;
    return static_cast<int>(leftMs < 1 ? 1 : leftMs > longest ? longest : leftMs);
}

// Discards everything the scanner sends until a status read finds the input
// empty. Returns early if the device vanishes.
void DrainInput(Port& p, Device& dev);

// Waits for one byte (0 with *out set), or -1, -3, -4, -6. `timeoutMs` of 0
// or less waits without limit. Only tests the cancel flag.
std::int32_t RecvByte(Port& p, Device& dev, unsigned char* out, std::int32_t timeoutMs);

// Collects bytes into buffer until an end text arrived behind the start text,
// the line was silent for `laterMs` after at least one byte, the buffer
// overflowed (-7) or the read was cancelled (-4). An overflow takes no byte
// it has no room for: the buffer holds `capacity` bytes and the next byte
// still waits in the queue, so that a further read goes on from there.
std::int32_t RecvUntil(std::int32_t handle, unsigned char* buffer, std::int32_t capacity,
                       const char* start, const char* end1, const char* end2, std::int32_t laterMs);

// Reads up to `count` bytes as they arrive, in as few driver reads as the
// queue allows. Returns the number read (fewer once the line has been idle
// for 1000 ms before a read), -4 on a cancel, -5, -1 or -6; `*got`, when
// given, receives the number read in every case (the bytes stay in the
// buffer on a failure too).
std::int32_t RecvCount(std::int32_t handle, unsigned char* buffer, std::int32_t count,
                       std::int32_t* got = nullptr);

// Re-arms the watcher's notice once a reader or a clear consumed it, and
// wakes the watcher that sleeps behind it, so that bytes still queued are
// told at once. Calling thread only.
void ConsumeNotice(Port& p);

// Ends the port's watcher thread, waiting for it without pumping. Used where
// a record is reset; the thread ends promptly once it is woken.
void ReapWatcher(Port& p);

// Installs an already opened device into the lowest free record, as a
// successful open would, without the greeting. Returns the handle or -7.
// Used by the fuzz targets' in-memory device.
std::int32_t InstallDevice(std::int32_t com, std::shared_ptr<Device> device);

}  // namespace ombrix
