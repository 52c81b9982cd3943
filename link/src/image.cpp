// Image transfer: the answer to an image command is either an ordinary reply
// or an image reply (a header announcing the length, a sub-header ending in
// GS, the image file's bytes, a closing reply). The bytes go to a file that
// is written whole or not at all.
#include <algorithm>
#include <cstring>
#include <limits>

#include "port.h"

namespace ombrix {
namespace {

constexpr std::int32_t kHeaderSize = 6;       // the byte after SYN, L (4), a byte
constexpr std::int32_t kSubHeaderMax = 1025;  // GS included
constexpr std::int32_t kChunk = 1024;
constexpr std::int32_t kIdleMs = 1000;

std::int32_t lengthField(const unsigned char* header) {
    std::uint32_t value =
        static_cast<std::uint32_t>(header[1]) | static_cast<std::uint32_t>(header[2]) << 8 |
        static_cast<std::uint32_t>(header[3]) << 16 | static_cast<std::uint32_t>(header[4]) << 24;
    // Lengths past the signed range cannot be counted in the port record;
    // the caller treats -1 as a broken header.
    return value > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())
               ? -1
               : static_cast<std::int32_t>(value);
}

// Reads an ordinary reply whose first byte has already arrived.
std::int32_t restOfReply(std::int32_t handle, unsigned char* buffer, std::int32_t capacity) {
    std::int32_t r = RecvUntil(handle, buffer + 1, capacity - 1, nullptr, "!", ".", kIdleMs);
    if (r < 0) {
        buffer[0] = 0;
        return r;
    }
    return r + 1;
}

// Waits for the first byte of the answer. On SYN reads the six header bytes
// and stores the announced length in `length`: returns 6, or -6 for a header
// cut short or a length of 0. Otherwise reads the ordinary reply into buffer
// and returns its length with `ordinary` set. Failures store 0 in buffer[0].
std::int32_t RecvImageHeader(std::int32_t handle, unsigned char* buffer, std::int32_t capacity,
                             std::int32_t* length, bool* ordinary) {
    *length = 0;
    *ordinary = false;
    Port& p = port(handle);
    std::shared_ptr<Device> dev = p.device;
    std::int32_t r = RecvByte(p, *dev, &buffer[0], p.firstTimeout);
    if (r != OMBRIX_OK) {
        buffer[0] = 0;
        return r;
    }
    if (buffer[0] != SYN) {
        *ordinary = true;
        return restOfReply(handle, buffer, capacity);
    }

    // The header is read into a buffer of its own: the caller's may be
    // smaller than the six bytes, and is only shown as much as it holds.
    unsigned char header[kHeaderSize] = {};
    std::int32_t n = RecvCount(handle, header, kHeaderSize);
    std::memcpy(buffer, header, static_cast<std::size_t>(std::min(capacity, kHeaderSize)));
    if (n == kHeaderSize) {
        std::int32_t announced = lengthField(header);
        if (announced <= 0) return OMBRIX_E_COMM;
        *length = announced;
        return kHeaderSize;
    }
    // Silence after the SYN is a header cut short as much as a partial one.
    buffer[0] = 0;
    return n >= 0 ? OMBRIX_E_COMM : n;
}

// Whether a closing reply is one: ACK, NAK or ENQ and then '.' or '!', after
// text (a scanner's replies may hold several, each with its own ACK, NAK or
// ENQ). Anything else -- bytes no reply holds, a reply longer than the
// buffer -- means the image's announced length was not the picture's: the
// picture went on past it, or the stream was altered on the way.
bool isClosingReply(const unsigned char* reply, std::int32_t length) {
    auto answer = [](unsigned char b) { return b == ACK || b == NAK || b == ENQ; };
    if (length < 2 || !answer(reply[length - 2]) ||
        (reply[length - 1] != '.' && reply[length - 1] != '!'))
        return false;
    return std::all_of(reply, reply + length - 2, [&](unsigned char b) {
        return (b >= 0x20 && b <= 0x7E) || b == '\r' || b == '\n' || answer(b);
    });
}

// Records why the file failed and returns OMBRIX_E_FILE.
std::int32_t fileFailed(Port& p, int error) {
    p.fileFailure = error;
    return OMBRIX_E_FILE;
}

// Puts the whole picture under its name. Another writer that holds the
// target is waited for as long as a reply's first byte would be (the
// default when that wait has no limit: the picture is here, no trigger is
// awaited), then the file fails with the refusal's reason; a reader that
// has not taken every byte yet is waited for until a cancel. Both waits run
// the pump and end on a cancel within a slice, also one from another
// thread.
std::int32_t commitFile(Port& p, OutputFile& file) {
    const std::int64_t limit =
        p.firstTimeout > 0 ? p.firstTimeout : OMBRIX_DEFAULT_FIRST_TIMEOUT_MS;
    const std::int64_t start = tickMs();
    for (;;) {
        const Commit c = file.commit();
        if (c == Commit::Done) return OMBRIX_OK;
        if (c == Commit::Failed) return fileFailed(p, file.error());
        (void)pump();
        if (p.cancel.load()) return OMBRIX_E_CANCELLED;
        if (c == Commit::Busy && tickMs() - start > limit) return fileFailed(p, file.error());
        file.waitCommit(kSliceMs);
    }
}

// Reads the sub-header and the L - h image bytes into `file`, made for
// `path`; the file is not yet committed. The received count takes every
// byte that arrived, a chunk cut short included, so that a broken transfer
// tells how far it got.
std::int32_t StoreImageData(std::int32_t handle, const char* path, std::int32_t length,
                            std::unique_ptr<OutputFile>& file) {
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;

    unsigned char local[kSubHeaderMax];
    std::int32_t h = RecvUntil(handle, local, kSubHeaderMax, nullptr, "\x1d", nullptr, kIdleMs);
    if (h < 0) return h;
    // A sub-header that silence ended without its GS, or one longer than
    // the whole announced length, leaves nothing sound to store.
    if (h == 0 || local[h - 1] != GS || h > length) return OMBRIX_E_COMM;

    // Decided before any image byte is read, so that a wrong path costs the
    // scanner's bytes nothing but a drain.
    int error = 0;
    file = createOutputFile(path, error);
    if (!file) return fileFailed(p, error);

    p.cancel.store(0);
    std::int32_t remaining = length - h;
    std::int32_t failure = OMBRIX_OK;
    while (remaining > 0) {
        std::int32_t chunk = std::min(remaining, kChunk);
        std::int32_t got = 0;
        std::int32_t n = RecvCount(handle, local, chunk, &got);
        if (n < 0) {
            p.imageReceived.fetch_add(got);
            failure = n;
            break;
        }
        if (n == 0) {
            failure = OMBRIX_E_COMM;
            break;
        }
        p.imageReceived.fetch_add(n);
        if (!file->write(local, static_cast<std::size_t>(n))) {
            failure = fileFailed(p, file->error());
            break;
        }
        if (n < chunk) {
            failure = OMBRIX_E_TIMEOUT;
            break;
        }
        remaining -= chunk;
        if (p.cancel.load()) break;
    }
    if (failure != OMBRIX_OK) return failure;
    if (p.cancel.load()) return OMBRIX_E_CANCELLED;
    return OMBRIX_OK;
}

}  // namespace

std::int32_t RecvCount(std::int32_t handle, unsigned char* buffer, std::int32_t count,
                       std::int32_t* got) {
    std::int32_t total = 0;
    // Whatever ends the read, the caller learns how many bytes it holds.
    struct Tell {
        std::int32_t* to;
        const std::int32_t& total;
        ~Tell() {
            if (to) *to = total;
        }
    } tell{got, total};
    if (!validHandle(handle) || buffer == nullptr || count <= 0) return OMBRIX_E_PARAM;
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    std::shared_ptr<Device> dev = p.device;

    p.cancel.store(0);
    while (count > 0 && !p.cancel.load()) {
        // Bytes that are already queued are taken straight away: a
        // non-blocking read returns at most what the driver holds, which is
        // the same as asking the queue first, with one system call instead
        // of two. Only an empty queue leads into the waiting loop.
        IoResult r = dev->read(buffer + total, static_cast<std::size_t>(count));
        if (r.status == Io::Ok) {
            total += static_cast<std::int32_t>(r.count);
            count -= static_cast<std::int32_t>(r.count);
            continue;
        }
        if (r.status == Io::Error) {
            (void)dev->queued();
            return OMBRIX_E_COMM;
        }
        // The queue is empty: wait, running the caller's pump if there is
        // one, until bytes come, the line has been idle too long, or a
        // cancel.
        const std::int64_t start = tickMs();
        for (;;) {
            std::int64_t idle = tickMs() - start;
            if (idle > kIdleMs) return total;
            bool pumping = pump();
            if (p.cancel.load()) break;
            Wait w = dev->waitReadableOrInterrupted(waitLength(pumping, kIdleMs - idle + 1));
            if (p.cancel.load()) break;
            if (w == Wait::Ready) break;
            // A hung-up line never fills again; bytes it left are still read.
            if (w == Wait::Gone) {
                if (dev->queued() <= 0) return OMBRIX_E_COMM;
                break;
            }
        }
    }
    if (p.cancel.load()) return OMBRIX_E_CANCELLED;
    return total;
}

}  // namespace ombrix

using namespace ombrix;

extern "C" {

OMBRIX_API int32_t Ombrix_ImageRecv(int32_t handle, const char* path, unsigned char* buffer,
                                    int32_t capacity, int32_t mode) {
    if (!validHandle(handle) || path == nullptr || path[0] == '\0' || buffer == nullptr ||
        capacity <= 0 || mode != 2) {
        return OMBRIX_E_PARAM;
    }
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    std::shared_ptr<Device> dev = p.device;

    p.imageState.store(OMBRIX_IMAGE_RUNNING);
    p.imageLength.store(0);
    p.imageReceived.store(0);
    p.fileFailure = 0;

    auto finish = [&](std::int32_t result) {
        ConsumeNotice(p);
        p.imageState.store(OMBRIX_IMAGE_IDLE);
        return result;
    };
    auto fail = [&](std::int32_t result) {
        p.imageState.store(OMBRIX_IMAGE_FAILED);
        DrainInput(p, *dev);
        return finish(result);
    };

    std::int32_t length = 0;
    bool ordinary = false;
    std::int32_t r = RecvImageHeader(handle, buffer, capacity, &length, &ordinary);
    if (r < 0) return fail(r);
    if (ordinary) return finish(r);

    p.imageLength.store(length);
    std::unique_ptr<OutputFile> file;
    r = StoreImageData(handle, path, length, file);
    // Every failure drops the temporary with the object: what stood under
    // the target's name stays as it was.
    if (r != OMBRIX_OK) {
        file.reset();
        return fail(r);
    }
    // The closing reply decides whether the bytes are the picture. One that
    // does not come (silence, a cancel, the line gone) casts no doubt on
    // what came before it; one that is no reply does.
    r = RecvUntil(handle, buffer, capacity, nullptr, "!", ".", kIdleMs);
    if (r == OMBRIX_E_NO_ROOM || (r >= 0 && !isClosingReply(buffer, r))) {
        file.reset();
        return fail(OMBRIX_E_COMM);
    }
    // Only now does the image replace what stood under its name.
    if (const std::int32_t put = commitFile(p, *file); put != OMBRIX_OK) return fail(put);
    return finish(r);
}

OMBRIX_API int32_t Ombrix_ImageProgress(int32_t handle, int32_t* length, int32_t* received) {
    if (length) *length = 0;
    if (received) *received = 0;
    if (!validHandle(handle)) return OMBRIX_E_NOT_OPEN;
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    if (length) *length = p.imageLength.load();
    if (received) *received = p.imageReceived.load();
    return p.imageState.load();
}

OMBRIX_API int32_t Ombrix_FileFailure(int32_t handle) {
    if (!validHandle(handle)) return OMBRIX_E_PARAM;
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    return p.fileFailure;
}

OMBRIX_API int32_t Ombrix_ImageDebug(int32_t handle, const char* path, unsigned char* buffer,
                                     int32_t capacity, int32_t* length_field, int32_t* byte_count) {
    if (byte_count) *byte_count = 0;
    if (length_field) *length_field = 0;
    if (!validHandle(handle) || path == nullptr || path[0] == '\0' || buffer == nullptr ||
        capacity <= 0 || length_field == nullptr || byte_count == nullptr) {
        return OMBRIX_E_PARAM;
    }
    Port& p = port(handle);
    if (!p.open()) return OMBRIX_E_NOT_OPEN;
    p.fileFailure = 0;
    std::shared_ptr<Device> dev = p.device;

    std::int32_t r = RecvByte(p, *dev, &buffer[0], p.dataTimeout);
    if (r != OMBRIX_OK) {
        buffer[0] = 0;
        return r;
    }
    if (buffer[0] != SYN) return restOfReply(handle, buffer, capacity);

    // The dump is a diagnostic record of the line: it is written as it
    // comes and kept whatever ends the stream, so it commits at the end
    // rather than only on a clean finish.
    int error = 0;
    std::unique_ptr<OutputFile> file = createOutputFile(path, error);
    if (!file) return fileFailed(p, error);
    p.cancel.store(0);
    std::int32_t last = OMBRIX_OK;
    for (;;) {
        unsigned char block[kChunk] = {};
        // A full block leaves the next byte in the queue for the next block.
        std::int32_t n = RecvUntil(handle, block, kChunk, nullptr, nullptr, nullptr, kIdleMs);
        if (n >= 0 || n == OMBRIX_E_NO_ROOM || n == OMBRIX_E_TIMEOUT) {
            if (*byte_count <= 0) *length_field = std::max<std::int32_t>(lengthField(block), 0);
            std::int32_t size = n == OMBRIX_E_NO_ROOM ? kChunk : n == OMBRIX_E_TIMEOUT ? 0 : n;
            *byte_count += size;
            if (size > 0 && !file->write(block, static_cast<std::size_t>(size))) {
                last = fileFailed(p, file->error());
                break;
            }
        }
        if (n == OMBRIX_E_TIMEOUT) {
            last = OMBRIX_OK;
            break;
        }
        if (n < 0 && n != OMBRIX_E_NO_ROOM) {
            last = n;
            break;
        }
        last = n < 0 ? OMBRIX_OK : n;
        if (p.cancel.load()) break;
    }
    const std::int32_t committed = commitFile(p, *file);
    if (committed < 0 && last >= 0) last = committed;
    ConsumeNotice(p);
    if (last < 0) return last;
    if (p.cancel.load()) return OMBRIX_E_CANCELLED;
    return OMBRIX_OK;
}

}  // extern "C"
