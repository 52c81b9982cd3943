// The watcher against a device whose queue the test scripts, so that an
// interleaving that real lines show only now and then happens every time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "notice_sink.h"
#include "port.h"

namespace tavorin::test {
namespace {

using namespace std::chrono_literals;
constexpr std::uint32_t kMessage = 0x8124;

class ScriptedDevice final : public ombrix::Device {
  public:
    void configure(const ombrix::LineSettings&) override {}
    void purge(bool input, bool) override {
        if (input) queue_.store(0);
    }
    int queued() override {
        ++calls_;
        return closed_.load() ? -1 : queue_.load();
    }
    ombrix::IoResult read(unsigned char*, std::size_t) override {
        return {ombrix::Io::WouldBlock, 0};
    }
    ombrix::IoResult write(const unsigned char*, std::size_t size) override {
        return {ombrix::Io::Ok, size};
    }
    ombrix::Wait waitReadable(int) override { return ombrix::Wait::Timeout; }
    ombrix::Wait waitWritable(int) override { return ombrix::Wait::Ready; }
    ombrix::Wait waitOutputDrained(int) override { return ombrix::Wait::Ready; }
    ombrix::Wait waitArrival(int) override {
        ++calls_;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return arrived_ || woken_ || closed_.load(); });
        if (closed_.load()) return ombrix::Wait::Gone;
        bool arrival = arrived_;
        arrived_ = woken_ = false;
        return arrival ? ombrix::Wait::Ready : ombrix::Wait::Woken;
    }
    ombrix::Wait waitWake(int) override {
        ++calls_;
        std::unique_lock lock(mutex_);
        behindNotice_ = true;
        changed_.wait(lock, [&] { return woken_ || closed_.load(); });
        behindNotice_ = false;
        woken_ = false;
        return closed_.load() ? ombrix::Wait::Gone : ombrix::Wait::Woken;
    }
    void wake() override {
        std::lock_guard lock(mutex_);
        woken_ = true;
        changed_.notify_all();
    }
    void close() override {
        std::lock_guard lock(mutex_);
        closed_.store(true);
        changed_.notify_all();
    }

    void arrive(int n) {
        std::lock_guard lock(mutex_);
        queue_.fetch_add(n);
        arrived_ = true;
        changed_.notify_all();
    }
    void take(int n) { queue_.fetch_sub(n); }
    // Every call the watcher made into the device: each is a time it woke.
    int calls() const { return calls_.load(); }
    bool asleepBehindNotice() {
        std::lock_guard lock(mutex_);
        return behindNotice_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<int> queue_{0};
    std::atomic<int> calls_{0};
    std::atomic<bool> closed_{false};
    bool arrived_ = false;
    bool woken_ = false;
    bool behindNotice_ = false;
};

bool eventually(const std::function<bool()>& condition) {
    auto start = std::chrono::steady_clock::now();
    while (!condition()) {
        if (std::chrono::steady_clock::now() - start > 2s) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(WatcherCoreTest, BehindAnUnconsumedNoticeTheWatcherSleepsUntilAReaderConsumesIt) {
    NoticeSink sink(kMessage);
    ASSERT_TRUE(sink.ready());
    auto device = std::make_shared<ScriptedDevice>();
    int h = ombrix::InstallDevice(240, device);
    ASSERT_GE(h, 0);
    ombrix::Port& port = ombrix::port(h);
    ASSERT_EQ(Ombrix_RecvStart(h, sink.target(), kMessage), OMBRIX_OK);

    device->arrive(3);
    EXPECT_EQ(sink.take(200ms), 1);
    ASSERT_TRUE(eventually([&] { return device->asleepBehindNotice(); }));

    // Not a single wake-up in a second, even with more bytes coming in.
    const int calls = device->calls();
    device->arrive(2);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(device->calls() - calls, 0) << "wake-ups behind an unconsumed notice";
    EXPECT_EQ(sink.take(0ms), 0);

    // A reader that took only the first reply wakes it as it consumes the
    // notice, and the rest is told at once.
    device->take(3);
    ombrix::ConsumeNotice(port);
    EXPECT_EQ(sink.take(200ms), 1);
    // One that took everything earns no notice, and the next arrival does.
    ASSERT_TRUE(eventually([&] { return device->asleepBehindNotice(); }));
    device->take(2);
    ombrix::ConsumeNotice(port);
    EXPECT_EQ(sink.take(150ms), 0) << "a notice for bytes the client had already read";
    device->arrive(2);
    EXPECT_EQ(sink.take(200ms), 1);

    // A device that vanishes behind the notice ends the watcher by itself.
    ASSERT_TRUE(eventually([&] { return device->asleepBehindNotice(); }));
    device->close();
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(port.watcher->mutex);
        return port.watcher->ended;
    }));

    EXPECT_EQ(Ombrix_RecvStop(h), OMBRIX_OK);
    EXPECT_EQ(Ombrix_PortClose(h), OMBRIX_OK);
}

}  // namespace
}  // namespace tavorin::test
