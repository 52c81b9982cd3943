// An in-memory serial device for the fuzz targets: it plays back one byte
// stream, delivered in the pieces the input chose, and then hangs up, so
// that every wait in the library ends at once instead of running into its
// time-outs. Real serial behaviour is tested over pseudo-terminals; this is
// only a fast, deterministic source of hostile bytes.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "device.h"

namespace ombrix::fuzz {

class MemoryDevice final : public Device {
  public:
    MemoryDevice(std::vector<unsigned char> stream, std::vector<std::size_t> pieces)
        : stream_(std::move(stream)), pieces_(std::move(pieces)) {
        release();
    }

    void configure(const LineSettings&) override {}
    void purge(bool input, bool) override {
        // Discarding input throws away what has "arrived"; the rest of the
        // stream is still on its way, as on a real line.
        if (input) read_ = visible_;
    }
    int queued() override {
        if (closed_ || (read_ == visible_ && visible_ == stream_.size())) return closed_ ? -1 : 0;
        if (read_ == visible_) release();
        return static_cast<int>(visible_ - read_);
    }
    IoResult read(unsigned char* buffer, std::size_t size) override {
        if (closed_) return {Io::Gone, 0};
        if (read_ == visible_) {
            if (visible_ == stream_.size()) return {Io::Gone, 0};
            release();
        }
        std::size_t n = std::min(size, visible_ - read_);
        std::memcpy(buffer, stream_.data() + read_, n);
        read_ += n;
        return {Io::Ok, n};
    }
    IoResult write(const unsigned char*, std::size_t size) override {
        return closed_ ? IoResult{Io::Gone, 0} : IoResult{Io::Ok, size};
    }
    Wait waitReadable(int) override { return exhausted() ? Wait::Gone : Wait::Ready; }
    Wait waitWritable(int) override { return closed_ ? Wait::Gone : Wait::Ready; }
    Wait waitOutputDrained(int) override { return closed_ ? Wait::Gone : Wait::Ready; }
    Wait waitArrival(int) override { return Wait::Gone; }
    void wake() override {}
    void close() override { closed_ = true; }

  private:
    bool exhausted() const { return closed_ || (read_ == visible_ && visible_ == stream_.size()); }
    // Makes the next piece of the stream "arrive".
    void release() {
        std::size_t piece = pieces_.empty() ? 1 : pieces_[next_++ % pieces_.size()];
        visible_ = std::min(stream_.size(), visible_ + std::max<std::size_t>(piece, 1));
    }

    std::vector<unsigned char> stream_;
    std::vector<std::size_t> pieces_;
    std::size_t next_ = 0;
    std::size_t read_ = 0;
    std::size_t visible_ = 0;
    bool closed_ = false;
};

}  // namespace ombrix::fuzz
