// What the session log costs the terminal: a scanner this program plays
// sends 1,000 blocks of 64 bytes, 10 ms apart, as unsolicited data to a
// terminal, in runs with the log off and with it on. Prints
//   - the program's CPU (its GUI thread) over the runs of each kind, with
//     the log on held against 1.1 times the log off,
//   - the longest the event loop went without an iteration while the log
//     was written, beside the same with the log off (a receive waits inside
//     the library, which runs the loop every 10 ms),
// each beside its target.
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <atomic>
#include <thread>

#include "figures.h"
#include "frm_terminal.h"
#include "program_bench.h"

using namespace tavorin;
using bench::Clock;

namespace {

constexpr int kCom = 251;
constexpr int kBlocks = 1000;
constexpr std::size_t kBlockBytes = 64;
constexpr auto kSpacing = std::chrono::milliseconds(10);
// Runs of each kind: the log's own cost is far below the noise of a single
// run on a busy machine.
constexpr int kRounds = 3;

// Block k: its number, printable filler, and CR, 64 bytes in all.
test::Bytes block(int k) {
    char head[16];
    std::snprintf(head, sizeof head, "BLK%04d ", k);
    std::string text(head);
    while (text.size() < kBlockBytes - 1) text += char('A' + text.size() % 26);
    text += '\r';
    return test::bytes(text);
}

struct Run {
    double cpuMs = 0;
    bench::LoopGaps gaps;
    bool whole = false;
};

// One stream of blocks into the terminal. With `probe`, a 5 ms timer
// measures the event loop's gaps (it costs CPU of its own, so the CPU
// figures come from runs without it).
Run stream(FrmTerminal& t, std::int32_t port, test::PtyPeer& peer, bool probe) {
    Run run;
    t.BtnClear_Click();
    std::atomic<bool> sent{false};
    bench::LoopGapProbe gaps;
    if (probe) gaps.start();

    const double cpu0 = bench::threadCpuMs();
    std::thread sender([&] {
        const Clock::time_point start = Clock::now();
        for (int k = 0; k < kBlocks; ++k) {
            std::this_thread::sleep_until(start + kSpacing * k);
            peer.send(block(k));
        }
        sent = true;
    });
    // The run ends once everything sent has been read and handled, or when
    // it has taken far longer than the stream.
    QEventLoop loop;
    QTimer done;
    done.setInterval(50);
    const Clock::time_point began = Clock::now();
    QObject::connect(&done, &QTimer::timeout, [&] {
        if ((sent && RecvChk(port) == 0 && t.RecvTimer.isActive()) ||
            Clock::now() - began > 6 * kSpacing * kBlocks)
            loop.quit();
    });
    done.start();
    loop.exec();
    sender.join();
    run.cpuMs = bench::threadCpuMs() - cpu0;
    gaps.stop();
    run.gaps = gaps.gaps();
    run.whole = t.RecvText->toPlainText().count(QStringLiteral("<CR>")) == kBlocks;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    bench::offscreenUnlessChosen();
    QApplication app(argc, argv);
    bench::BenchProgram program(app);
    RecordingDialog& boxes = program.boxes;

    test::PtyPeer peer(program.ports, kCom);
    Common common;
    FrmImage main(common);
    main.show();
    main.ChkTermMinimum->setChecked(false);
    // A block ends when the line has been quiet for 5 ms: the blocks come
    // 10 ms apart.
    if (!bench::openSlot(main, common, kCom, QStringLiteral("5"))) return 1;
    const std::int32_t port = common.ComHandle[0];
    FrmTerminal& t = *main.TermForm[0];

    // Off and on alternate, three times each, so that a drift of the machine's
    // load during the runs touches both alike.
    double offMs = 0, onMs = 0;
    bool whole = true;
    const QString logPath = QDir::current().absoluteFilePath(QStringLiteral("session.txt"));
    for (int round = 0; round < kRounds; ++round) {
        const Run off = stream(t, port, peer, false);
        boxes.fileAnswers = {logPath};
        t.MnuLog->trigger();
        const Run on = stream(t, port, peer, false);
        t.MnuLog->trigger();
        offMs += off.cpuMs;
        onMs += on.cpuMs;
        whole = whole && off.whole && on.whole;
    }
    // The loop's gaps with the log off are printed beside it for comparison:
    // whatever the line's cadence costs the loop is not the log's.
    const Run gapsOff = stream(t, port, peer, true);
    boxes.fileAnswers = {logPath};
    t.MnuLog->trigger();
    const Run gaps = stream(t, port, peer, true);
    t.MnuLog->trigger();

    QFile log(logPath);
    const bool logged = log.open(QIODevice::ReadOnly) && log.readAll().count("<CR>") == kBlocks;
    if (!whole || !gapsOff.whole || !gaps.whole || !logged || !boxes.messages.isEmpty()) {
        std::fprintf(stderr, "the blocks did not all arrive (shown %d, logged %d): %s\n", whole,
                     logged, qPrintable(boxes.messages.join(u", ")));
        return 1;
    }
    std::printf(
        "%d blocks of %zu bytes, %lld ms apart, as unsolicited data; %d runs each, offscreen\n",
        kBlocks, kBlockBytes, static_cast<long long>(kSpacing.count()), kRounds);
    std::printf("program CPU with the log off: %.1f ms\n", offMs);
    std::printf("longest event-loop gap with the log off: %.1f ms (%.1f ms as measured)\n",
                gapsOff.gaps.ownMs, gapsOff.gaps.longestMs);
    bench::atMost("program CPU with the log on (target 1.1 x off)", onMs, "ms", 1.1 * offMs);
    bench::recordLoopGap("longest event-loop gap with the log on", gaps.gaps);
    bench::printFigures();
    std::fflush(stdout);
    main.requestClose(UnloadMode::Program);
    return 0;
}
