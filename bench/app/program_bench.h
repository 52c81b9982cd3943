// What the program's benchmarks share: the program as they run it (offscreen,
// in a folder of its own, a private port directory, every box answered),
// a slot opened on a played scanner, the GUI thread's CPU and a probe of
// the event loop's gaps that tells them from the machine's own stalls.
#pragma once

#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app_start.h"
#include "binding.h"
#include "common.h"
#include "dialog.h"
#include "figures.h"
#include "frm_comsetting.h"
#include "frm_image.h"
#include "pty_peer.h"
#include "stall_watch.h"

namespace tavorin::bench {

// The CPU the calling thread has used so far, in ms: the program's work is
// its GUI thread's; the played scanner's threads are not the program.
inline double threadCpuMs() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Before the QApplication: the offscreen platform unless one is chosen.
inline void offscreenUnlessChosen() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
}

// The program around its main window, from the application's font to the
// message pump; undone when it goes.
struct BenchProgram {
    QTemporaryDir work;
    test::PortDirectory ports;
    RecordingDialog boxes;

    explicit BenchProgram(QApplication& app) {
        applyProgramFont(app);
        QDir::setCurrent(work.path());
        setDialog(&boxes);
        installPump();
    }
    ~BenchProgram() {
        PumpSet(nullptr);
        setDialog(nullptr);
    }
};

// Opens slot 0 of `main` on COM `com` at 115200 bps with the given data
// time-out, as a user does; false when the port did not open.
inline bool openSlot(FrmImage& main, const Common& common, int com,
                     const QString& timeout = QString()) {
    main.runDialog = [com, timeout](FrmComSetting& d) {
        d.Form_Load();
        for (int i = 0; i < d.CmbPortNo->count(); ++i) {
            if (d.CmbPortNo->itemData(i).toInt() == com) d.CmbPortNo->setCurrentIndex(i);
        }
        d.lists[comsetting::Baud]->setCurrentIndex(9);  // 115200
        if (!timeout.isEmpty()) d.TxtTimeout->setText(timeout);
        d.CmdOpen_Click();
    };
    main.BtnComSetting_Click(0);
    if (common.ComHandle[0] >= 0) return true;
    std::fprintf(stderr, "the played scanner could not be opened\n");
    return false;
}

// What a probe of the event loop found.
struct LoopGaps {
    // The longest time between two iterations, as measured.
    double longestMs = 0;
    // The same with the time the whole machine stood still within each gap
    // taken out: what the program and the system under it made of the gap.
    double ownMs = 0;
    // The longest the machine stood still while the probe ran.
    double machineStallMs = 0;
    // The most CPU the thread spent between two iterations: the longest gap
    // the loop's own work makes, whatever else the machine runs meanwhile.
    double busiestMs = 0;
};

// Holds a loop's gaps, the machine's stalls left out, against the target
// every window shares, with the gap as measured and the stall beside it.
inline void recordLoopGap(const std::string& name, const LoopGaps& gaps) {
    std::printf("%s: as measured %.1f ms, the machine's longest stall %.1f ms\n", name.c_str(),
                gaps.longestMs, gaps.machineStallMs);
    atMost(name, gaps.ownMs, "ms", 20);
}

// A 5 ms timer that keeps the longest time between two of its ticks, counted
// only while `counts` says so (always, without it), and a watch on the
// machine's stalls meanwhile. It costs CPU of its own: a CPU figure comes
// from a run without it.
class LoopGapProbe {
  public:
    explicit LoopGapProbe(std::function<bool()> counts = {}) : counts_(std::move(counts)) {
        ticker_.setInterval(5);
        QObject::connect(&ticker_, &QTimer::timeout, [this] {
            const Clock::time_point now = Clock::now();
            const double cpu = threadCpuMs();
            if (last_ != Clock::time_point{} && (!counts_ || counts_())) {
                const double gap = ms(now - last_);
                found_.longestMs = std::max(found_.longestMs, gap);
                found_.busiestMs = std::max(found_.busiestMs, cpu - lastCpu_);
                // The machine's stalls within a gap are known only once the
                // watch has woken from them: long gaps are weighed at the end.
                if (gap > 10) {
                    longGaps_.push_back({last_, now});
                } else {
                    found_.ownMs = std::max(found_.ownMs, gap);
                }
            }
            last_ = now;
            lastCpu_ = cpu;
        });
    }
    void start() {
        stalls_.emplace();
        ticker_.start();
    }
    void stop() {
        ticker_.stop();
        if (!stalls_) return;
        for (const auto& [from, to] : longGaps_)
            found_.ownMs = std::max(found_.ownMs, ms(to - from) - stalls_->withinMs(from, to));
        found_.machineStallMs = stalls_->longestMs();
        stalls_.reset();
    }
    // Once stopped.
    const LoopGaps& gaps() const { return found_; }

  private:
    std::function<bool()> counts_;
    QTimer ticker_;
    std::optional<StallWatch> stalls_;
    Clock::time_point last_{};
    double lastCpu_ = 0;
    LoopGaps found_;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> longGaps_;
};

}  // namespace tavorin::bench
