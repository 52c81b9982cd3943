// What the operator feels while a picture arrives: an IMGSHP of about
// 100 KB, paced at 115200 8N1 by a scanner this program plays, run through
// the main window's own run button. Prints
//   - the longest the event loop went without an iteration during the
//     transfer (the windows answer clicks and repaint within that),
//   - the program's CPU during the transfer, as a share of one core,
//   - the time from the scanner's last byte to the viewer showing it,
// each beside its target.
#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QRandomGenerator>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "figures.h"
#include "frm_picture.h"
#include "program_bench.h"

using namespace tavorin;
using bench::Clock;
using bench::ms;
using bench::threadCpuMs;

namespace {

constexpr int kBaud = 115200;
constexpr int kBitsPerChar = 10;  // 8N1
constexpr int kCom = 250;

// A JPEG of about 100 KB: noise keeps the encoder from shrinking it.
QByteArray pictureOfAbout100KB() {
    QImage image(520, 400, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, random.generate() | 0xFF000000);
    }
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 60);
    return out;
}

// The scanner: answers the greeting at once and ships the picture at the
// line's pace once the image command has arrived.
class PacedScanner {
  public:
    PacedScanner(const test::PortDirectory& ports, test::Bytes reply)
        : peer_(ports, kCom), reply_(std::move(reply)) {
        peer_.setResponder([this](const std::string& text, char) -> test::Bytes {
            if (text == "BEPBEP?") return test::PtyPeer::standardGreeting();
            if (text.rfind("IMGSHP", 0) == 0) {
                std::lock_guard lock(mutex_);
                asked_ = true;
                cv_.notify_all();
            }
            return {};
        });
        sender_ = std::thread([this] { ship(); });
    }
    ~PacedScanner() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            cv_.notify_all();
        }
        sender_.join();
    }
    Clock::time_point lastByte() const { return lastByte_.load(); }
    std::size_t bytes() const { return reply_.size(); }

  private:
    void ship() {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return asked_ || stop_; });
                if (stop_) return;
                asked_ = false;
            }
            // 64 characters at a time, each chunk leaving when the line
            // would have finished the one before.
            constexpr std::size_t kChunk = 64;
            const auto perChunk = std::chrono::nanoseconds(
                static_cast<long long>(kChunk * kBitsPerChar * 1e9 / kBaud));
            const Clock::time_point start = Clock::now();
            for (std::size_t at = 0, k = 0; at < reply_.size(); at += kChunk, ++k) {
                std::this_thread::sleep_until(start + perChunk * k);
                const auto end = std::min(reply_.size(), at + kChunk);
                peer_.send(test::Bytes(reply_.begin() + static_cast<long>(at),
                                       reply_.begin() + static_cast<long>(end)));
            }
            lastByte_.store(Clock::now());
        }
    }

    test::PtyPeer peer_;
    test::Bytes reply_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool asked_ = false;
    bool stop_ = false;
    std::atomic<Clock::time_point> lastByte_{};
    std::thread sender_;
};

struct Figures {
    bench::LoopGaps gaps;
    double cpuShare = 0;
    double lastByteToViewerMs = 0;
    bool ok = false;
};

// One run of the IMGSHP tab's button. With `probe`, a 5 ms timer measures
// the event loop's gaps (and costs CPU of its own, so the CPU figure comes
// from a run without it).
Figures runOnce(FrmImage& main, Common& common, PacedScanner& scanner, bool probe) {
    Figures f;
    Clock::time_point shown{};
    struct ShowWatch : QObject {
        Clock::time_point* at;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Show) *at = Clock::now();
            return false;
        }
    } watch;
    watch.at = &shown;
    main.pictureWindow().installEventFilter(&watch);

    bench::LoopGapProbe gaps([&common] { return common.WaitState == Wait::Transfer; });
    if (probe) gaps.start();

    const Clock::time_point start = Clock::now();
    const double cpu0 = threadCpuMs();
    main.CmdImgExec_Click(1);
    const double cpu = threadCpuMs() - cpu0;
    const Clock::time_point end = Clock::now();
    gaps.stop();
    f.gaps = gaps.gaps();
    main.pictureWindow().removeEventFilter(&watch);

    f.cpuShare = cpu / ms(end - start);
    f.lastByteToViewerMs = ms(shown - scanner.lastByte());
    f.ok = shown != Clock::time_point{} && main.ImageOK;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    bench::offscreenUnlessChosen();
    QApplication app(argc, argv);
    bench::BenchProgram program(app);
    const RecordingDialog& boxes = program.boxes;

    const QByteArray picture = pictureOfAbout100KB();
    PacedScanner scanner(program.ports,
                         test::PtyPeer::imageReply(
                             "IMGSHP", test::Bytes(picture.begin(), picture.end()), "IMGSHP\x06."));
    Common common;
    FrmImage main(common);
    main.show();
    if (!bench::openSlot(main, common, kCom)) return 1;

    const Figures timing = runOnce(main, common, scanner, true);
    const Figures load = runOnce(main, common, scanner, false);
    if (!timing.ok || !load.ok || !boxes.messages.isEmpty()) {
        std::fprintf(stderr, "the picture did not arrive whole: %s\n",
                     qPrintable(boxes.messages.join(", ")));
        return 1;
    }
    const double lineSeconds = double(scanner.bytes()) * kBitsPerChar / kBaud;
    std::printf("IMGSHP of %zu bytes at 115200 8N1 (%.1f s on the line), offscreen\n",
                scanner.bytes(), lineSeconds);
    bench::recordLoopGap("longest event-loop gap during the transfer", timing.gaps);
    bench::below("program CPU during the transfer", load.cpuShare * 100, "%", 5);
    bench::below("scanner's last byte -> viewer showing",
                 std::max(timing.lastByteToViewerMs, load.lastByteToViewerMs), "ms", 100);
    bench::printFigures();
    std::fflush(stdout);
    main.requestClose(UnloadMode::Program);
    return 0;
}
