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
        int n = closed_.load() ? -1 : queue_.load();
        // Runs after the count was taken, as a reader on another thread
        // may run between the watcher's count and its next look.
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            hook.swap(onCount_);
        }
        if (hook) hook();
        return n;
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
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return arrived_ || woken_ || closed_.load(); });
        if (closed_.load()) return ombrix::Wait::Gone;
        bool arrival = arrived_;
        arrived_ = woken_ = false;
        return arrival ? ombrix::Wait::Ready : ombrix::Wait::Woken;
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
    void take() { queue_.store(0); }
    void onNextCount(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        onCount_ = std::move(hook);
    }
    bool hookPending() {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(onCount_);
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<int> queue_{0};
    std::atomic<bool> closed_{false};
    bool arrived_ = false;
    bool woken_ = false;
    std::function<void()> onCount_;
};

TEST(WatcherCoreTest, AReaderThatConsumesTheNoticeBetweenTwoLooksEarnsNoStaleNotice) {
    NoticeSink sink(kMessage);
    ASSERT_TRUE(sink.ready());
    auto device = std::make_shared<ScriptedDevice>();
    int h = ombrix::InstallDevice(240, device);
    ASSERT_GE(h, 0);
    ASSERT_EQ(Ombrix_RecvStart(h, sink.target(), kMessage), OMBRIX_OK);

    device->arrive(3);
    EXPECT_EQ(sink.take(200ms), 1);

    // While the notice is unconsumed the watcher keeps looking. Right after
    // its next count, the client reads the three bytes and re-arms the
    // notice: the count the watcher holds is stale, and nothing is queued.
    device->onNextCount([&] {
        device->take();
        ombrix::port(h).notified.store(0);
    });
    auto start = std::chrono::steady_clock::now();
    while (device->hookPending() && std::chrono::steady_clock::now() - start < 2s) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_FALSE(device->hookPending());
    EXPECT_EQ(sink.take(150ms), 0) << "a notice for bytes the client had already read";

    // The watcher is still armed for the next arrival.
    device->arrive(2);
    EXPECT_EQ(sink.take(200ms), 1);

    EXPECT_EQ(Ombrix_RecvStop(h), OMBRIX_OK);
    EXPECT_EQ(Ombrix_PortClose(h), OMBRIX_OK);
}

}  // namespace
}  // namespace tavorin::test
