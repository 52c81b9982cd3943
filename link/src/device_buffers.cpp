#include "device_buffers.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace ombrix {

std::size_t ReadAhead::held() {
    std::lock_guard lock(mutex_);
    return end_ - begin_;
}

void ReadAhead::clear() {
    std::lock_guard lock(mutex_);
    begin_ = end_ = 0;
}

bool ReadAhead::keep(unsigned char byte) {
    std::lock_guard lock(mutex_);
    if (end_ == kBlock) {
        // Room that was handed out at the front is used again rather than
        // losing the byte.
        if (begin_ == 0) return false;
        std::memmove(block_, block_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    block_[end_++] = byte;
    return true;
}

std::size_t ReadAhead::takeLocked(unsigned char* buffer, std::size_t size) {
    std::size_t n = std::min(size, end_ - begin_);
    std::memcpy(buffer, block_ + begin_, n);
    begin_ += n;
    if (begin_ == end_) begin_ = end_ = 0;
    return n;
}

bool BatchedFile::write(const unsigned char* bytes, std::size_t size) {
    if (used_ + size > kBatch && !flush()) return false;
    if (size >= kBatch) return writeThrough(bytes, size);
    std::memcpy(batch_ + used_, bytes, size);
    used_ += size;
    return true;
}

bool BatchedFile::flush() {
    if (used_ == 0) return true;
    bool ok = writeThrough(batch_, used_);
    used_ = 0;
    return ok;
}

bool HeldFile::write(const unsigned char* bytes, std::size_t size) {
    try {
        held_.insert(held_.end(), bytes, bytes + size);
    } catch (const std::bad_alloc&) {
        return fail(kNoMemoryError);
    }
    return true;
}

Commit RewrittenFile::writeOut(const unsigned char* bytes, std::size_t size) {
    if (!locked_) {
        const Lock l = lock();
        if (l == Lock::Busy) return Commit::Busy;
        if (l == Lock::Failed) return Commit::Failed;
        locked_ = true;
    }
    const std::int64_t old = length();
    if (old < 0) return Commit::Failed;
    const Reserve room = reserve(size);
    if (room == Reserve::Failed) return Commit::Failed;
    std::size_t head = size;
    if (room == Reserve::Unsupported && size > static_cast<std::uint64_t>(old)) {
        // The new end first: the only part that needs new room.
        const auto oldSize = static_cast<std::size_t>(old);
        if (!writeAt(oldSize, bytes + oldSize, size - oldSize)) {
            const int why = error();
            (void)setLength(oldSize);
            fail(why);
            return Commit::Failed;
        }
        head = oldSize;
    }
    if (!writeAt(0, bytes, head) || !setLength(size) || !sync()) return Commit::Failed;
    return Commit::Done;
}

}  // namespace ombrix
