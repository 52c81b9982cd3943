// The serial device on Windows: \\.\COMn opened for overlapped I/O,
// configured through its DCB, waited on with events. Everything the core
// needs from the platform besides the device lives here as well: the image
// file, the watcher's window message, the default message pump and the
// clock.
//
// Waits never rely on the driver's read time-outs (they are all 0): the
// library bounds every wait itself, with a one-byte read that sleeps in the
// driver until a byte comes and is cancelled when the wait is over. Reads
// then ask only for what ClearCommError reports queued, so they complete at
// once.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <vector>

#include "device.h"
#include "device_buffers.h"

namespace ombrix {
namespace {

DWORD waitTime(int timeoutMs) {
    return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
}

// How often a watcher polls the queue once event waits proved useless.
constexpr int kArrivalPollMs = 5;
// Event waits that end with no new byte, in a row, before polling instead.
constexpr int kUselessWaitLimit = 4;

class Win32Device final : public Device {
  public:
    Win32Device(HANDLE handle, HANDLE readEvent, HANDLE writeEvent, HANDLE commEvent,
                HANDLE wakeEvent, HANDLE interruptEvent)
        : handle_(handle),
          readEvent_(readEvent),
          writeEvent_(writeEvent),
          commEvent_(commEvent),
          wakeEvent_(wakeEvent),
          interruptEvent_(interruptEvent) {}

    ~Win32Device() override {
        close();
        for (HANDLE e : {readEvent_, writeEvent_, commEvent_, wakeEvent_, interruptEvent_}) {
            CloseHandle(e);
        }
    }

    void configure(const LineSettings& line) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle_, &dcb)) return;
        dcb.BaudRate = static_cast<DWORD>(line.baud);
        dcb.fBinary = TRUE;
        dcb.ByteSize = static_cast<BYTE>(line.dataBits);
        dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        dcb.Parity = line.parity == 'E' ? EVENPARITY : line.parity == 'O' ? ODDPARITY : NOPARITY;
        dcb.fParity = line.parity != 'N';
        // DTR always on; RTS follows the hardware flow choice, as on POSIX.
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutxCtsFlow = line.rtsCts;
        dcb.fRtsControl = line.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
        // Software flow control is both directions or none; a stale setting
        // left by another program must not inject XON/XOFF into the input.
        dcb.fOutX = line.xonXoff;
        dcb.fInX = line.xonXoff;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 2048;
        dcb.XoffLim = 2048;
        // Every byte reaches the caller as it came: no error replacement,
        // no null stripping, and an error does not stall the port.
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        // A driver may refuse parts it cannot do (an emulated port has no
        // modem lines); that is no error for the caller.
        (void)SetCommState(handle_, &dcb);
        COMMTIMEOUTS none{};
        (void)SetCommTimeouts(handle_, &none);
        line_ = line;
    }

    // ClearCommError reports the driver's output count beside the input
    // count; an emulated port on a pseudo-terminal always reports 0 there,
    // as the pseudo-terminal itself does. No write of the layer is in flight
    // here: a send returns only once its write completed or was abandoned.
    Wait waitOutputDrained(int timeoutMs) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return Wait::Gone;
        const std::int64_t deadline = tickMs() + (timeoutMs < 0 ? 0 : timeoutMs);
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!ClearCommError(handle_, &errors, &status)) return Wait::Gone;
            if (status.cbOutQue == 0) return Wait::Ready;
            std::int64_t left = deadline - tickMs();
            if (left <= 0) return Wait::Timeout;
            // The queue is given the time it takes at the line's speed
            // before it is asked again.
            auto held = static_cast<int>(std::min<DWORD>(status.cbOutQue, 1 << 20));
            auto slice =
                static_cast<DWORD>(std::clamp<std::int64_t>(line_.msToSend(held), 1, left));
            DWORD r = WaitForSingleObject(interruptEvent_, slice);
            if (r == WAIT_OBJECT_0) return closing_.load() ? Wait::Gone : Wait::Woken;
            if (r == WAIT_FAILED) return Wait::Gone;
        }
    }

    void purge(bool input, bool output) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return;
        if (output) {
            std::lock_guard writing(writeMutex_);
            abandonInFlight();
            (void)PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
        }
        if (input) {
            (void)PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR);
            ahead_.clear();
        }
    }

    int queued() override {
        std::shared_lock lock(mutex_);
        return queuedLocked();
    }

    IoResult read(unsigned char* buffer, std::size_t size) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return {Io::Gone, 0};
        // The driver is asked only for what it reports queued, so that the
        // read completes at once.
        return ahead_.read(buffer, size, [this](unsigned char* into, std::size_t most) {
            int waiting = driverQueue();
            if (waiting < 0) return IoResult{Io::Gone, 0};
            if (waiting == 0) return IoResult{Io::WouldBlock, 0};
            return readDriver(into, std::min(most, static_cast<std::size_t>(waiting)));
        });
    }

    // One write is in flight at a time, in a buffer the device owns. A
    // write that the driver does not complete at once is refused for now
    // (WouldBlock) but stays in flight; the caller waits for room and offers
    // the same bytes again, and is then told how many the driver took. So a
    // send reports success only once the driver has the bytes, as on POSIX,
    // and a send that gives up drops them (abandonWrite).
    IoResult write(const unsigned char* bytes, std::size_t size) override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return {Io::Gone, 0};
        std::lock_guard writing(writeMutex_);
        if (writing_) {
            DWORD done = 0;
            if (!GetOverlappedResult(handle_, &writeOv_, &done, FALSE)) {
                DWORD e = GetLastError();
                if (e == ERROR_IO_INCOMPLETE) return {Io::WouldBlock, 0};
                writing_ = false;
                return {failure(e), 0};
            }
            writing_ = false;
            return done > 0 ? IoResult{Io::Ok, done} : IoResult{Io::WouldBlock, 0};
        }
        try {
            writeBuffer_.assign(bytes, bytes + size);
        } catch (const std::bad_alloc&) {
            return {Io::Error, 0};
        }
        writeOv_ = OVERLAPPED{};
        writeOv_.hEvent = writeEvent_;
        if (!WriteFile(handle_, writeBuffer_.data(), static_cast<DWORD>(size), nullptr,
                       &writeOv_)) {
            DWORD e = GetLastError();
            if (e != ERROR_IO_PENDING) return {failure(e), 0};
            writing_ = true;
            return {Io::WouldBlock, 0};
        }
        DWORD done = 0;
        if (!GetOverlappedResult(handle_, &writeOv_, &done, FALSE)) {
            return {failure(GetLastError()), 0};
        }
        return done > 0 ? IoResult{Io::Ok, done} : IoResult{Io::WouldBlock, 0};
    }

    void abandonWrite() override {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return;
        std::lock_guard writing(writeMutex_);
        abandonInFlight();
    }

    Wait waitReadable(int timeoutMs) override { return readableWait(timeoutMs, false); }
    Wait waitReadableOrInterrupted(int timeoutMs) override { return readableWait(timeoutMs, true); }
    Wait waitWritable(int timeoutMs) override { return writableWait(timeoutMs, false); }
    Wait waitWritableOrInterrupted(int timeoutMs) override { return writableWait(timeoutMs, true); }

    void interrupt() override { SetEvent(interruptEvent_); }

    // The watcher's wait: the driver's character-received event, or, where
    // event waits end by themselves without input (an emulated port does
    // that every few milliseconds), the queue polled every 5 ms.
    Wait waitArrival(int timeoutMs) override { return watchLine(timeoutMs, true); }

    // The watcher's sleep behind an unconsumed notice. Where the driver's
    // events can be trusted they are waited for as well, since a pulled
    // device ends the pending event wait with a failure; arrivals end it
    // too, and are let pass. Where they cannot (the emulated port) only the
    // wake is waited for: polling the queue for a hang-up would wake the
    // thread every few milliseconds for as long as the notice stays
    // unconsumed, and the consumer, a stop and a close all wake it anyway.
    Wait waitWake(int timeoutMs) override { return watchLine(timeoutMs, false); }

    void wake() override { SetEvent(wakeEvent_); }

    void close() override {
        // Wake a watcher and the calling thread's wait first, so that they
        // let go of the shared lock; only then can the exclusive lock be had.
        closing_.store(true);
        wake();
        interrupt();
        std::unique_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return;
        {
            std::lock_guard writing(writeMutex_);
            abandonInFlight();
        }
        CancelIoEx(handle_, nullptr);
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

  private:
    enum class CommWait { Event, Woken, Timeout, Failed };

    // The two watcher waits: until new input (`arrivalsEnd`) or only until
    // the wake, a time-out or the device's end.
    Wait watchLine(int timeoutMs, bool arrivalsEnd) {
        // Held shared for the whole wait: close() takes it exclusively, so
        // the handle cannot be closed, and its value reused, under the wait.
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return Wait::Gone;
        const std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
        int before = queuedLocked();
        if (before < 0) return Wait::Gone;
        for (;;) {
            if (closing_.load()) return Wait::Gone;
            int slice = leftUntil(deadline);
            if (polling_) {
                if (arrivalsEnd && (slice < 0 || slice > kArrivalPollMs)) slice = kArrivalPollMs;
                if (WaitForSingleObject(wakeEvent_, waitTime(slice)) == WAIT_OBJECT_0) {
                    return closing_.load() ? Wait::Gone : Wait::Woken;
                }
            } else {
                CommWait c = waitCommEventOrWake(slice);
                if (c == CommWait::Woken) return closing_.load() ? Wait::Gone : Wait::Woken;
                if (c == CommWait::Failed) return Wait::Gone;
            }
            int now = queuedLocked();
            if (now < 0) return Wait::Gone;
            if (now > before) {
                uselessWaits_ = 0;
                if (arrivalsEnd) return Wait::Ready;
            } else {
                // Nothing new: an event left from bytes the client has read
                // since, or a wait that ended by itself.
                countUselessWait();
            }
            before = now;
            if (deadline >= 0 && leftUntil(deadline) == 0) return Wait::Timeout;
        }
    }

    static int leftUntil(std::int64_t deadline) {
        if (deadline < 0) return -1;
        std::int64_t left = deadline - tickMs();
        return left > 0 ? static_cast<int>(left) : 0;
    }

    // One wait for the driver's character-received event or the watcher's
    // wake, at most `slice` ms (negative: no limit). An event wait that the
    // driver ends at once, or refuses, counts as an event: the queue that
    // the caller reads next tells what it meant. Called with mutex_ held.
    CommWait waitCommEventOrWake(int slice) {
        OVERLAPPED ov{};
        ov.hEvent = commEvent_;
        DWORD mask = 0;
        if (WaitCommEvent(handle_, &mask, &ov) || GetLastError() != ERROR_IO_PENDING) {
            return CommWait::Event;
        }
        HANDLE events[2] = {commEvent_, wakeEvent_};
        DWORD r = WaitForMultipleObjects(2, events, FALSE, waitTime(slice));
        DWORD ignored = 0;
        if (r == WAIT_OBJECT_0) {
            (void)GetOverlappedResult(handle_, &ov, &ignored, FALSE);
            return CommWait::Event;
        }
        CancelIoEx(handle_, &ov);
        (void)GetOverlappedResult(handle_, &ov, &ignored, TRUE);
        if (r == WAIT_OBJECT_0 + 1) return CommWait::Woken;
        return r == WAIT_TIMEOUT ? CommWait::Timeout : CommWait::Failed;
    }

    // An event wait that brought no new byte may happen once; several in a
    // row mean event waits cannot be trusted on this port, and the queue is
    // polled from then on.
    void countUselessWait() {
        if (!polling_ && ++uselessWaits_ >= kUselessWaitLimit) polling_ = true;
    }

    // The driver's input count; -1 once the device is gone. A status read
    // also clears a pending line error, which would otherwise stop the port.
    int driverQueue() {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle_, &errors, &status)) return -1;
        return static_cast<int>(status.cbInQue);
    }

    int queuedLocked() {
        if (handle_ == INVALID_HANDLE_VALUE) return -1;
        int n = driverQueue();
        if (n < 0) return -1;
        return n + static_cast<int>(ahead_.held());
    }

    // A failed transfer: the device is gone when even a status read fails
    // or the error says so; otherwise the driver refused.
    Io failure(DWORD error) {
        if (error == ERROR_BROKEN_PIPE || error == ERROR_NOT_READY ||
            error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_BAD_COMMAND ||
            error == ERROR_INVALID_HANDLE) {
            return Io::Gone;
        }
        return driverQueue() < 0 ? Io::Gone : Io::Error;
    }

    IoResult readDriver(unsigned char* buffer, std::size_t size) {
        OVERLAPPED ov{};
        ov.hEvent = readEvent_;
        if (!ReadFile(handle_, buffer, static_cast<DWORD>(size), nullptr, &ov)) {
            DWORD e = GetLastError();
            if (e != ERROR_IO_PENDING) return {failure(e), 0};
            // The bytes are queued, so this completes at once; the limit
            // only guards against a driver that lost them meanwhile.
            if (WaitForSingleObject(readEvent_, 1000) != WAIT_OBJECT_0) CancelIoEx(handle_, &ov);
        }
        DWORD got = 0;
        if (!GetOverlappedResult(handle_, &ov, &got, TRUE)) {
            DWORD e = GetLastError();
            if (e != ERROR_OPERATION_ABORTED) return {failure(e), 0};
        }
        return got > 0 ? IoResult{Io::Ok, got} : IoResult{Io::WouldBlock, 0};
    }

    Wait readableWait(int timeoutMs, bool interruptible) {
        if (ahead_.held() > 0) return Wait::Ready;
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return Wait::Gone;

        // A one-byte read completes at once while bytes are queued, and
        // otherwise sleeps in the driver until one comes; it is cancelled
        // when the time is up or on an interrupt. Asking the queue first
        // would cost a driver call on every slice of a pumping wait.
        unsigned char byte = 0;
        OVERLAPPED ov{};
        ov.hEvent = readEvent_;
        Wait result = Wait::Ready;
        if (!ReadFile(handle_, &byte, 1, nullptr, &ov)) {
            DWORD e = GetLastError();
            if (e != ERROR_IO_PENDING) return Wait::Gone;
            HANDLE events[2] = {readEvent_, interruptEvent_};
            DWORD r =
                WaitForMultipleObjects(interruptible ? 2 : 1, events, FALSE, waitTime(timeoutMs));
            if (r != WAIT_OBJECT_0) {
                CancelIoEx(handle_, &ov);
                result = r == WAIT_TIMEOUT        ? Wait::Timeout
                         : r == WAIT_OBJECT_0 + 1 ? Wait::Woken
                                                  : Wait::Gone;
            }
        }
        DWORD got = 0;
        if (!GetOverlappedResult(handle_, &ov, &got, TRUE) &&
            GetLastError() != ERROR_OPERATION_ABORTED) {
            // A hang-up ends the pending read with an error; so does a
            // pulled adapter.
            return Wait::Gone;
        }
        if (got == 1) {
            // A byte that won the race against the cancel is kept: it is
            // the first of the reply. Nothing was held when the wait began,
            // and only this thread reads, so there is room for it.
            (void)ahead_.keep(byte);
            if (result == Wait::Timeout) result = Wait::Ready;
        }
        if (result == Wait::Woken && closing_.load()) return Wait::Gone;
        return result;
    }

    Wait writableWait(int timeoutMs, bool interruptible) {
        std::shared_lock lock(mutex_);
        if (handle_ == INVALID_HANDLE_VALUE) return Wait::Gone;
        {
            std::lock_guard writing(writeMutex_);
            if (!writing_) return Wait::Ready;
        }
        HANDLE events[2] = {writeEvent_, interruptEvent_};
        DWORD r = WaitForMultipleObjects(interruptible ? 2 : 1, events, FALSE, waitTime(timeoutMs));
        if (r == WAIT_OBJECT_0) return Wait::Ready;
        if (r == WAIT_TIMEOUT) return Wait::Timeout;
        if (r == WAIT_OBJECT_0 + 1) return closing_.load() ? Wait::Gone : Wait::Woken;
        return Wait::Gone;
    }

    // Cancels the write in flight and waits until the driver let go of its
    // buffer. Called with writeMutex_ held.
    void abandonInFlight() {
        if (!writing_) return;
        CancelIoEx(handle_, &writeOv_);
        DWORD ignored = 0;
        (void)GetOverlappedResult(handle_, &writeOv_, &ignored, TRUE);
        writing_ = false;
    }

    std::shared_mutex mutex_;
    HANDLE handle_;
    const HANDLE readEvent_;
    const HANDLE writeEvent_;
    const HANDLE commEvent_;
    // Separate from the interrupt: the watcher takes its wake-ups, and must
    // neither steal a cancel meant for the calling thread nor lose its own.
    const HANDLE wakeEvent_;
    const HANDLE interruptEvent_;
    std::atomic<bool> closing_{false};
    LineSettings line_;

    ReadAhead ahead_;

    std::mutex writeMutex_;
    OVERLAPPED writeOv_{};
    std::vector<unsigned char> writeBuffer_;
    bool writing_ = false;

    // The watcher's own state; only its thread touches it.
    int uselessWaits_ = 0;
    bool polling_ = false;
};

}  // namespace

std::shared_ptr<Device> openDevice(const char* path, OpenError& error) {
    error = OpenError::CannotOpen;
    // No sharing: a port that another program holds cannot be opened.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        switch (GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                error = OpenError::NoDevice;
                break;
            // A COM port that another program holds is refused as access
            // denied: the driver allows one handle at a time.
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                error = OpenError::Held;
                break;
            default:
                break;
        }
        return nullptr;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
        CloseHandle(h);
        return nullptr;
    }
    // Room for a burst of image data between two reads; a driver that
    // keeps its own sizes may ignore it.
    (void)SetupComm(h, 16384, 4096);
    COMMTIMEOUTS none{};
    (void)SetCommTimeouts(h, &none);
    // Armed from the start, so that a watcher is armed as soon as it runs.
    (void)SetCommMask(h, EV_RXCHAR);

    error = OpenError::NoEvent;
    HANDLE events[5] = {};
    bool ok = true;
    for (int i = 0; i < 5; ++i) {
        // The first three belong to overlapped operations (manual reset);
        // the wake and the interrupt are taken by the wait they end.
        events[i] = CreateEventA(nullptr, i < 3, FALSE, nullptr);
        ok = ok && events[i] != nullptr;
    }
    if (!ok) {
        for (HANDLE e : events) {
            if (e) CloseHandle(e);
        }
        CloseHandle(h);
        return nullptr;
    }
    error = OpenError::None;
    return std::make_shared<Win32Device>(h, events[0], events[1], events[2], events[3], events[4]);
}

std::shared_ptr<Device> openNetwork(const NetworkName&, const OpenWait&, OpenFault& fault) {
    // A device server's own driver makes a COM port of a network port here;
    // resolution never yields a network name on this platform.
    fault = OpenFault{OpenError::NoDevice};
    return nullptr;
}

bool comPath(std::int32_t com, char* buffer, std::size_t capacity, std::size_t* length) {
    // The device namespace reaches every COM number, also those above 9,
    // which the plain name "COM10" does not.
    char path[32];
    int n = std::snprintf(path, sizeof path, "\\\\.\\COM%d", static_cast<int>(com));
    *length = static_cast<std::size_t>(n);
    if (static_cast<std::size_t>(n) + 1 > capacity) return false;
    std::memcpy(buffer, path, static_cast<std::size_t>(n) + 1);
    return true;
}

const int kNoMemoryError = ERROR_NOT_ENOUGH_MEMORY;

namespace {

bool writeAll(HANDLE file, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// Writes into a temporary that replaces the target on commit.
class ReplacingFile final : public BatchedFile {
  public:
    ReplacingFile(HANDLE file, std::string temp, std::string target, DWORD oldAttributes)
        : file_(file),
          temp_(std::move(temp)),
          target_(std::move(target)),
          oldAttributes_(oldAttributes) {}

    ~ReplacingFile() override {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
        if (!committed_) DeleteFileA(temp_.c_str());
    }

    Commit commit() override {
        // Flushed before the rename: otherwise a power loss right after it
        // can leave an empty file under the user's name.
        if (!flush()) return Commit::Failed;
        if (!FlushFileBuffers(file_)) return failed();
        HANDLE f = file_;
        file_ = INVALID_HANDLE_VALUE;
        if (!CloseHandle(f)) return failed();
        if (!MoveFileExA(temp_.c_str(), target_.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return failed();
        }
        committed_ = true;
        // The replaced file's attributes (hidden, archive ...) stay with
        // the name, as a rewrite would have kept them.
        if (oldAttributes_ != INVALID_FILE_ATTRIBUTES) {
            (void)SetFileAttributesA(target_.c_str(), oldAttributes_);
        }
        return Commit::Done;
    }

  private:
    bool writeThrough(const unsigned char* bytes, std::size_t size) override {
        return writeAll(file_, bytes, size) || fail(static_cast<int>(GetLastError()));
    }
    Commit failed() {
        fail(static_cast<int>(GetLastError()));
        return Commit::Failed;
    }

    HANDLE file_;
    std::string temp_;
    std::string target_;
    DWORD oldAttributes_;
    bool committed_ = false;
};

// The target itself, rewritten in place once the picture is whole.
class InPlaceFile final : public RewrittenFile {
  public:
    explicit InPlaceFile(HANDLE file) : file_(file) {}
    // Closing the handle also gives the lock up.
    ~InPlaceFile() override { CloseHandle(file_); }

  private:
    bool failedCall() { return fail(static_cast<int>(GetLastError())); }

    Lock lock() override {
        OVERLAPPED whole{};
        if (LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                       MAXDWORD, &whole)) {
            return Lock::Taken;
        }
        const DWORD e = GetLastError();
        fail(static_cast<int>(e));
        return e == ERROR_LOCK_VIOLATION ? Lock::Busy : Lock::Failed;
    }
    std::int64_t length() override {
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file_, &size)) return size.QuadPart;
        failedCall();
        return -1;
    }
    Reserve reserve(std::uint64_t size) override {
        // An allocation below the end of the file would cut it: never less
        // than its length.
        const std::int64_t now = length();
        if (now < 0) return Reserve::Failed;
        FILE_ALLOCATION_INFO room{};
        room.AllocationSize.QuadPart =
            static_cast<LONGLONG>(std::max<std::uint64_t>(size, static_cast<std::uint64_t>(now)));
        if (SetFileInformationByHandle(file_, FileAllocationInfo, &room, sizeof room)) {
            return Reserve::Done;
        }
        const DWORD e = GetLastError();
        if (e == ERROR_INVALID_PARAMETER || e == ERROR_NOT_SUPPORTED ||
            e == ERROR_INVALID_FUNCTION || e == ERROR_CALL_NOT_IMPLEMENTED) {
            return Reserve::Unsupported;
        }
        fail(static_cast<int>(e));
        return Reserve::Failed;
    }
    bool writeAt(std::uint64_t offset, const unsigned char* bytes, std::size_t size) override {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        return (SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) && writeAll(file_, bytes, size)) ||
               failedCall();
    }
    bool setLength(std::uint64_t size) override {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(size);
        return (SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) && SetEndOfFile(file_)) ||
               failedCall();
    }
    bool sync() override { return FlushFileBuffers(file_) || failedCall(); }

    HANDLE file_;
};

// A device (a printer port, NUL), written directly with the whole picture.
class DeviceFile final : public HeldFile {
  public:
    explicit DeviceFile(HANDLE file) : file_(file) {}
    ~DeviceFile() override { CloseHandle(file_); }

  private:
    Commit writeOut(const unsigned char* bytes, std::size_t size) override {
        if (writeAll(file_, bytes, size)) return Commit::Done;
        fail(static_cast<int>(GetLastError()));
        return Commit::Failed;
    }

    HANDLE file_;
};

// A temporary beside the target, so that the rename stays on one volume.
// Its name is short, of fixed length and varies per process and call, so
// that two transfers into one folder never collide.
HANDLE createTemporary(const std::string& dir, std::string& name) {
    static std::atomic<unsigned> counter{0};
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    unsigned seed = static_cast<unsigned>(now.QuadPart) ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned value = (seed + counter.fetch_add(1)) * 2654435761u;
        char candidate[32];
        std::snprintf(candidate, sizeof candidate, ".ombrix-%08x", value);
        std::string path = dir + candidate;
        HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            name = path;
            return f;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return INVALID_HANDLE_VALUE;
}

// A symbolic link (or junction) at the path is followed to its final
// target, which then receives the picture while the link stays.
bool followLinks(std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return true;
    }
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char final[MAX_PATH * 4];
    DWORD n = GetFinalPathNameByHandleA(h, final, sizeof final, FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= sizeof final) return false;
    path.assign(final, n);
    return true;
}

}  // namespace

std::unique_ptr<OutputFile> createOutputFile(const char* path, int& error) {
    // Every refusal keeps the system's reason, taken before any clean-up.
    auto refuse = [&](DWORD why) -> std::unique_ptr<OutputFile> {
        error = static_cast<int>(why);
        return nullptr;
    };
    std::string target(path);
    if (!followLinks(target)) return refuse(GetLastError());
    std::string::size_type slash = target.find_last_of("\\/");
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    if (slash != std::string::npos && slash + 1 == target.size()) {
        return refuse(ERROR_DIRECTORY);
    }

    DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Nothing there yet (or no such folder, which the temporary finds).
        DWORD e = GetLastError();
        if (e != ERROR_FILE_NOT_FOUND) return refuse(e);
        std::string temp;
        HANDLE f = createTemporary(dir, temp);
        if (f == INVALID_HANDLE_VALUE) return refuse(GetLastError());
        return std::make_unique<ReplacingFile>(f, temp, target, INVALID_FILE_ATTRIBUTES);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return refuse(ERROR_DIRECTORY);

    // An existing file the process may not write stays as it is. Opening it
    // for writing (without truncating) asks the system, which knows every
    // rule: the read-only attribute, access lists, sharing by others.
    HANDLE existing = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing == INVALID_HANDLE_VALUE) return refuse(GetLastError());
    // A device (a printer port, NUL) is written directly, never replaced.
    if (GetFileType(existing) != FILE_TYPE_DISK) return std::make_unique<DeviceFile>(existing);
    // A file with more than one name (hard links) is rewritten in place: a
    // rename would give this name a new file and leave the others showing
    // the old picture.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(existing, &info) && info.nNumberOfLinks > 1) {
        return std::make_unique<InPlaceFile>(existing);
    }
    std::string temp;
    HANDLE f = createTemporary(dir, temp);
    if (f == INVALID_HANDLE_VALUE) {
        // The folder takes no new file: rewrite the file in place.
        return std::make_unique<InPlaceFile>(existing);
    }
    CloseHandle(existing);
    return std::make_unique<ReplacingFile>(f, temp, target, attributes);
}

void postNotice(std::intptr_t target, std::uint32_t message) {
    // Both parameters 0. A window that is gone makes this fail, harmlessly.
    (void)PostMessageA(reinterpret_cast<HWND>(target), message, 0, 0);
}

void raiseWatcherPriority() {
    // The notice should follow the first byte promptly even while the
    // client's own threads are busy.
    (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

bool defaultPump() {
    // The calling thread's pending window messages, as its own message loop
    // would handle them, so that its windows stay alive during a wait.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Not ours to take: put it back for the program's own loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}

std::int64_t tickMs() {
    // The performance counter is steady and fine-grained; GetTickCount
    // moves in steps of the system tick (about 15.6 ms), which would make
    // short time-outs jitter by a whole step.
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<std::int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const std::int64_t c = now.QuadPart;
    return c / frequency * 1000 + c % frequency * 1000 / frequency;
}

void sleepMs(int ms) {
    Sleep(static_cast<DWORD>(ms));
}

}  // namespace ombrix
