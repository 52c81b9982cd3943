// Reply reading: one byte at a time into the caller's buffer, until an end
// text, silence, a full buffer or a cancel.
#include <cstring>

#include "port.h"

namespace ombrix {

namespace {

// The wait RecvByte and a full buffer share: `look` tries once without
// waiting and answers Ok, WouldBlock, or a failure of the device.
template <class Look>
std::int32_t AwaitByte(Port& p, Device& dev, std::int32_t timeoutMs, Look&& look) {
    const std::int64_t start = tickMs();
    if (p.cancel.load()) return OMBRIX_E_CANCELLED;
    for (;;) {
        const Io status = look();
        if (status == Io::Ok) return OMBRIX_OK;
        if (status != Io::WouldBlock) {
            (void)dev.queued();  // a status read clears the line error
            return OMBRIX_E_COMM;
        }
        std::int64_t waited = tickMs() - start;
        if (timeoutMs > 0 && waited > timeoutMs) return OMBRIX_E_TIMEOUT;
        bool pumping = pump();
        // A cancel or a close that came through the pump wins over whatever
        // state the device is in now.
        if (p.cancel.load()) return OMBRIX_E_CANCELLED;
        // With a pump, one slice at a time so that it runs every 10 ms;
        // without one, asleep until a byte, the deadline, or a cancel or
        // close from another thread. Either way a byte is seen the moment
        // it comes. The extra millisecond makes the wait end past the
        // deadline, so that the time-out is seen on the next pass.
        Wait w = dev.waitReadableOrInterrupted(
            waitLength(pumping, timeoutMs > 0 ? timeoutMs - waited + 1 : -1));
        if (p.cancel.load()) return OMBRIX_E_CANCELLED;
        if (w == Wait::Gone) {
            // A hung-up line never becomes readable again; without this the
            // wait would last forever (or spin, since poll() reports the
            // hang-up at once). What it left is still taken.
            return look() == Io::Ok ? OMBRIX_OK : OMBRIX_E_COMM;
        }
    }
}

// Waits, as RecvByte does, until a byte is there, but leaves it in the
// queue: a full buffer learns whether the reply goes on without taking a
// byte it has no room for.
std::int32_t AwaitByteLeftQueued(Port& p, Device& dev, std::int32_t timeoutMs) {
    return AwaitByte(p, dev, timeoutMs, [&dev] {
        const int waiting = dev.queued();
        return waiting > 0 ? Io::Ok : waiting == 0 ? Io::WouldBlock : Io::Gone;
    });
}

}  // namespace

std::int32_t RecvByte(Port& p, Device& dev, unsigned char* out, std::int32_t timeoutMs) {
    *out = 0;
    // A byte that is already there is taken without waiting. Behind the
    // first byte of a reply the rest usually sits in the device's
    // read-ahead, so a reply costs no system call per byte.
    return AwaitByte(p, dev, timeoutMs, [&] { return dev.read(out, 1).status; });
}

std::int32_t RecvUntil(std::int32_t handle, unsigned char* buffer, std::int32_t capacity,
                       const char* start, const char* end1, const char* end2,
                       std::int32_t laterMs) {
    if (!validHandle(handle) || buffer == nullptr || capacity <= 0) return OMBRIX_E_PARAM;
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    std::shared_ptr<Device> dev = p.device;

    const std::int32_t startLen = start ? static_cast<std::int32_t>(std::strlen(start)) : 0;
    const std::int32_t end1Len = end1 ? static_cast<std::int32_t>(std::strlen(end1)) : 0;
    const std::int32_t end2Len = end2 ? static_cast<std::int32_t>(std::strlen(end2)) : 0;
    std::int32_t count = 0;
    bool startFound = startLen == 0;
    p.cancel.store(0);
    bool arrived = false;

    // Arming for received characters fails only on a device that is gone.
    if (dev->queued() < 0) return OMBRIX_E_COMM;

    auto cancelled = [&] {
        if (count < capacity) buffer[count] = 0;
        return OMBRIX_E_CANCELLED;
    };
    auto endsWith = [&](const char* text, std::int32_t len) {
        return len > 0 && count >= startLen + len &&
               std::memcmp(buffer + count - len, text, static_cast<std::size_t>(len)) == 0;
    };

    if (p.cancel.load()) return cancelled();
    for (;;) {
        const std::int32_t timeout = arrived ? laterMs : p.firstTimeout;
        if (count == capacity) {
            // Full: a further byte is waited for as any other, but left in
            // the queue, so that a second read goes on where this one
            // stopped and nothing of a long reply is lost. Silence instead
            // ends a reply that fits exactly.
            std::int32_t r = AwaitByteLeftQueued(p, *dev, timeout);
            if (r == OMBRIX_E_TIMEOUT) return count;
            return r == OMBRIX_OK ? OMBRIX_E_NO_ROOM : r;
        }
        unsigned char byte = 0;
        std::int32_t r = RecvByte(p, *dev, &byte, timeout);
        if (r == OMBRIX_E_TIMEOUT) return arrived ? count : OMBRIX_E_TIMEOUT;
        if (r != OMBRIX_OK) {
            if (count < capacity) buffer[count] = 0;
            return r;
        }
        arrived = true;
        buffer[count++] = byte;

        if (!startFound) {
            if (count < startLen) continue;
            if (std::memcmp(buffer, start, static_cast<std::size_t>(startLen)) == 0) {
                startFound = true;
                continue;
            }
            std::memmove(buffer, buffer + 1, static_cast<std::size_t>(count - 1));
            --count;
            buffer[count] = 0;
            continue;
        }
        if (endsWith(end1, end1Len) || endsWith(end2, end2Len)) break;
        if (p.cancel.load()) break;
    }
    if (p.cancel.load()) return cancelled();
    return count;
}

}  // namespace ombrix

using namespace ombrix;

extern "C" {

OMBRIX_API int32_t Ombrix_ResponseRecv(int32_t handle, unsigned char* buffer, int32_t capacity) {
    int32_t r = RecvUntil(handle, buffer, capacity, nullptr, "!", ".", 1000);
    if (validHandle(handle)) ConsumeNotice(port(handle));
    return r;
}

OMBRIX_API int32_t Ombrix_DataRecv(int32_t handle, unsigned char* buffer, int32_t capacity,
                                   const char* start, const char* end) {
    int32_t timeout = validHandle(handle) ? port(handle).dataTimeout : 0;
    int32_t r = RecvUntil(handle, buffer, capacity, start, end, nullptr, timeout);
    if (validHandle(handle)) ConsumeNotice(port(handle));
    return r;
}

}  // extern "C"
