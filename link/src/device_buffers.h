// The buffering both platforms' devices and image files share: the device's
// read-ahead, and the two ways an image file takes its bytes (batched on
// their way to a temporary, or held whole until the file itself is
// rewritten). Only the system calls underneath differ between platforms;
// they come in through a callback or a virtual function, so that this part
// is written, and tested, once.
#pragma once

#include <cstddef>
#include <cstdint>
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
// bytes reach the disk (writeThrough, which records the system's reason
// when it refuses) and calls flush() before it commits.
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
// it was. A platform's file says how the whole picture is written out
// (writeOut); it may be asked again after Busy or Blocked, and goes on from
// where it stood.
class HeldFile : public OutputFile {
  public:
    // False when memory refused the bytes.
    bool write(const unsigned char* bytes, std::size_t size) final;
    Commit commit() final { return writeOut(held_.data(), held_.size()); }

  protected:
    // Writes the whole picture into the file, replacing what it held.
    virtual Commit writeOut(const unsigned char* bytes, std::size_t size) = 0;

  private:
    std::vector<unsigned char> held_;
};

// A regular file rewritten in place, so that it keeps what makes it that
// file: its other names (hard links), its owner, mode and attributes, its
// place in a folder that takes no new file. The old picture must survive
// anything that stops the new one from fitting, so commit() goes in this
// order:
//   1. take the file for this writer alone (an exclusive lock): a second
//      writer of the same file gets Busy and nothing changes, so two
//      pictures never mix;
//   2. make sure the disk has room for the whole new picture (a
//      reservation that changes neither the file's length nor a byte of
//      it); a full disk fails here with the old file untouched;
//   3. only then write the picture over the old one and set the length.
// Where the file system cannot reserve, the part of the new picture beyond
// the old end is written first and the length set back on a failure, so
// that a full disk still fails before an old byte is touched; only a write
// over a hole of a sparse old file, or over blocks a copy-on-write file
// system must copy, can then meet a full disk midway. The platform says how
// each step is done; every refusal records the system's reason (fail()).
class RewrittenFile : public HeldFile {
  protected:
    enum class Lock { Taken, Busy, Failed };
    enum class Reserve { Done, Unsupported, Failed };
    // Takes the exclusive lock, or says another writer holds it (Busy,
    // with its reason recorded). A file system that keeps no locks counts
    // as Taken.
    virtual Lock lock() = 0;
    // The file's length now; negative on a failure.
    virtual std::int64_t length() = 0;
    // Room for `size` bytes from the file's start, without changing its
    // length or content.
    virtual Reserve reserve(std::uint64_t size) = 0;
    virtual bool writeAt(std::uint64_t offset, const unsigned char* bytes, std::size_t size) = 0;
    virtual bool setLength(std::uint64_t size) = 0;
    // Makes what was written durable.
    virtual bool sync() = 0;

  private:
    Commit writeOut(const unsigned char* bytes, std::size_t size) final;
    bool locked_ = false;
};

}  // namespace ombrix
