// Sending: raw bytes, and commands in the scanner's frame.

#include <algorithm>
#include <cstring>
#include <vector>

#include "port.h"

namespace ombrix {
namespace {

// How long the driver may take to accept a write before the send gives up.
constexpr int kWriteLimitMs = 1000;

// The scanner's command frame: SYN 'M' CR, the command, and '.' unless the
// command already ends in '!' or '.'.
std::vector<unsigned char> commandFrame(const unsigned char* command, int32_t length) {
    const unsigned char last = command[length - 1];
    const bool ended = last == '!' || last == '.';
    std::vector<unsigned char> frame(static_cast<std::size_t>(length) + (ended ? 3 : 4));
    frame[0] = SYN;
    frame[1] = 'M';
    frame[2] = '\r';
    std::memcpy(frame.data() + 3, command, static_cast<std::size_t>(length));
    if (!ended) frame.back() = '.';
    return frame;
}

}  // namespace
}  // namespace ombrix

using namespace ombrix;

extern "C" {

OMBRIX_API int32_t Ombrix_DataSend(int32_t handle, const unsigned char* bytes, int32_t length) {
    if (!validHandle(handle) || bytes == nullptr || bytes[0] == 0 || length <= 0) {
        return OMBRIX_E_PARAM;
    }
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    std::shared_ptr<Device> dev = p.device;
    p.cancel.store(0);

    std::size_t done = 0;
    const auto total = static_cast<std::size_t>(length);
    std::int64_t deadline = -1;
    for (;;) {
        IoResult r = dev->write(bytes + done, total - done);
        if (r.status == Io::Ok) {
            done += r.count;
            if (done == total) return p.cancel.load() ? OMBRIX_E_CANCELLED : OMBRIX_OK;
        } else if (r.status != Io::WouldBlock) {
            // The driver refused outright, or the device is gone: reporting
            // success here would let the caller wait ten seconds for a reply
            // to a command that never left.
            return OMBRIX_E_COMM;
        }
        // The rest is pending (output full, or held by flow control). Giving
        // up drops it: what is reported as not sent must not leave later.
        auto giveUp = [&](std::int32_t result) {
            dev->abandonWrite();
            return result;
        };
        if (deadline < 0) deadline = tickMs() + kWriteLimitMs;
        if (p.cancel.load()) return giveUp(OMBRIX_E_CANCELLED);
        std::int64_t left = deadline - tickMs();
        if (left < 0) return giveUp(OMBRIX_E_TIMEOUT);
        // Sleep until the driver can take more, the limit, or a cancel from
        // another thread; messages are not dispatched here. The same bytes
        // are offered again after the wait.
        Wait w = dev->waitWritableOrInterrupted(waitLength(false, left + 1));
        if (w == Wait::Gone) return giveUp(OMBRIX_E_COMM);
    }
}

OMBRIX_API int32_t Ombrix_CmndSend(int32_t handle, const unsigned char* command, int32_t length) {
    if (!validHandle(handle) || command == nullptr || command[0] == 0 || length < 1) {
        return OMBRIX_E_PARAM;
    }
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    std::shared_ptr<Device> dev = p.device;
    // The bytes of the send before this one (a command, a trigger frame)
    // may still wait in the driver although that send reported success; a
    // purge of the output would destroy them. They are given the time a
    // send is given to leave; only what is still held after it (a line
    // stopped by flow control) is discarded.
    p.cancel.store(0);
    bool drained = false;
    for (const std::int64_t deadline = tickMs() + kWriteLimitMs;;) {
        Wait w = dev->waitOutputDrained(
            static_cast<int>(std::max<std::int64_t>(deadline - tickMs(), 0)));
        if (w == Wait::Gone) return OMBRIX_E_COMM;
        if (w == Wait::Ready) drained = true;
        if (w != Wait::Woken) break;
        // An interrupt without a cancel behind it was left over from a wait
        // that has ended; the drain goes on.
        if (p.cancel.load()) return OMBRIX_E_CANCELLED;
    }
    // Every command starts from an empty input queue: leftovers of an
    // earlier reply would otherwise be taken for this command's answer.
    dev->purge(true, !drained);

    // One write for the whole frame: the scanner sees it arrive as one.
    const std::vector<unsigned char> frame = commandFrame(command, length);
    return Ombrix_DataSend(handle, frame.data(), static_cast<int32_t>(frame.size()));
}

OMBRIX_API int32_t Ombrix_CmndFrame(const unsigned char* command, int32_t length,
                                    unsigned char* buffer, int32_t capacity) {
    if (command == nullptr || command[0] == 0 || length < 1 || buffer == nullptr || capacity < 1) {
        return OMBRIX_E_PARAM;
    }
    const std::vector<unsigned char> frame = commandFrame(command, length);
    if (frame.size() > static_cast<std::size_t>(capacity)) return OMBRIX_E_NO_ROOM;
    std::memcpy(buffer, frame.data(), frame.size());
    return static_cast<int32_t>(frame.size());
}

}  // extern "C"
