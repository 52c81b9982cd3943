// The buffering both platforms' devices and image files share: the device's
// read-ahead, and the two ways an image file takes its bytes (batched on
// their way to a temporary, or held whole until the file itself is
// rewritten). Only the system calls underneath differ between platforms;
// they come in through a callback or a virtual function, so that this part
// is written, and tested, once.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "device.h"

namespace ombrix {

// Bytes taken from the driver ahead of the reader. Replies are read a byte
// at a time and image chunks a kilobyte at a time; filling one block per
// driver read makes a fast line cost one system call per block instead of
// one per byte. What the block holds still counts as queued, and a purge
// discards it, so the rest of the library sees exactly the driver's queue.
// Every member may be called from any thread.
class ReadAhead {
  public:
    static constexpr std::size_t kBlock = 4096;

    // Hands out up to `size` held bytes. With none held, `readNow` -- a
    // non-blocking read of the driver, IoResult(unsigned char*, size_t) --
    // is asked: a read of a whole block or more straight into the caller's
    // buffer, a smaller one into the block. Its failures come back as they
    // are. `readNow` runs with the block locked, so that two readers never
    // interleave their bytes.
    template <class ReadNow>
    IoResult read(unsigned char* buffer, std::size_t size, ReadNow&& readNow) {
        std::lock_guard lock(mutex_);
        if (begin_ == end_) {
            if (size >= kBlock) return readNow(buffer, size);
            IoResult r = readNow(block_, kBlock);
            if (r.status != Io::Ok) return r;
            begin_ = 0;
            end_ = r.count;
        }
        return {Io::Ok, takeLocked(buffer, size)};
    }

    // Bytes held and not yet handed out.
    std::size_t held();

    // Drops what is held, as a purge of the input does.
    void clear();

    // Appends one byte taken from the driver outside read() (a wait that
    // read it to learn that input came). False only when the block is full,
    // which a caller that keeps a byte only while nothing is held never
    // meets.
    bool keep(unsigned char byte);

  private:
    std::size_t takeLocked(unsigned char* buffer, std::size_t size);

    std::mutex mutex_;
    unsigned char block_[kBlock];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// An image file written as the transfer goes, into a temporary that replaces
// the target on commit. Chunks arrive a kilobyte at a time; collecting them
// saves a system call per chunk on a fast line. A platform's file says how
// bytes reach the disk (writeThrough) and calls flush() before it commits.
class BatchedFile : public OutputFile {
  public:
    static constexpr std::size_t kBatch = 64 * 1024;

    bool write(const unsigned char* bytes, std::size_t size) final;

  protected:
    // Hands what is collected to writeThrough(); false when it refused.
    bool flush();

    // Writes all of `bytes` to the file; false on any failure.
    virtual bool writeThrough(const unsigned char* bytes, std::size_t size) = 0;

  private:
    unsigned char batch_[kBatch];
    std::size_t used_ = 0;
};

// An image file written into the target itself. The bytes are held in memory
// until commit(), so that a failed or cancelled transfer leaves the target as
// it was; only a failure while it is being rewritten can leave it short. A
// platform's file says how the whole picture is written out (writeOut).
class HeldFile : public OutputFile {
  public:
    // False when memory refused the bytes.
    bool write(const unsigned char* bytes, std::size_t size) final;
    bool commit() final { return writeOut(held_.data(), held_.size()); }

  protected:
    // Writes the whole picture into the file, replacing what it held.
    virtual bool writeOut(const unsigned char* bytes, std::size_t size) = 0;

  private:
    std::vector<unsigned char> held_;
};

}  // namespace ombrix
