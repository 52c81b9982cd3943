// How close the whole receive path comes to the line's own speed: the
// scanner paces an image at 115200 8N1 as a real UART would, the link
// library receives it into a file, and the line efficiency is the ideal
// line time of the bytes sent divided by the time the transfer took.
// Printed at the end beside their targets:
//  - the paced transfer's line efficiency: at least 0.95, so that the
//    receive path costs a real line no more than a twentieth of its speed;
//  - the unpaced transfer's speed against that line's: at least 10 times,
//    so that the path is never what a picture waits for on the fastest line
//    the library offers.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "figures.h"
#include "ombrix.h"
#include "vscanner/scanner.h"

namespace {

// The line both transfers are held against: 115200 baud, ten bits a byte.
constexpr double kLineBytesPerSecond = 115200.0 / 10.0;

// Every run gets its own port directory, so that the benchmark never
// meets the aliases of scanners someone else is running.
class PrivatePorts {
  public:
    PrivatePorts() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vscanner-bench-XXXXXX").string();
        if (mkdtemp(pattern.data())) dir_ = pattern;
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }
    ~PrivatePorts() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

// The bytes on the line, their ideal line time and the measured time, of
// all transfers together; all zero when one failed.
struct Shipped {
    double bytes = 0;
    double lineSeconds = 0;
    double measuredSeconds = 0;
};

Shipped shipImage(benchmark::State& state, const std::string& command, bool paced) {
    PrivatePorts ports;
    vscanner::Options opt;
    opt.pace = paced;
    vscanner::Scanner scanner(opt);
    const int h = Ombrix_PortOpen(scanner.com(), 9, 1, 0, 0, 0);  // 115200 8N1
    if (h < 0) {
        state.SkipWithError("the port did not open");
        return {};
    }
    const std::string path = ports.file("bench.img");
    double lineSeconds = 0, measuredSeconds = 0, bytes = 0;
    bool failed = false;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        Ombrix_CmndSend(h, reinterpret_cast<const unsigned char*>(command.data()),
                        static_cast<int>(command.size()));
        unsigned char reply[64];
        const int n = Ombrix_ImageRecv(h, path.c_str(), reply, sizeof reply, 2);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (n < 2 || reply[n - 2] != 0x06) {
            state.SkipWithError("the transfer failed");
            failed = true;
            break;
        }
        state.SetIterationTime(elapsed);
        int32_t length = 0, received = 0;
        Ombrix_ImageProgress(h, &length, &received);
        // Everything the scanner put on the line: the 7 header bytes, the
        // announced length (sub-header and file) and the closing reply.
        const double sent = 7.0 + length + n;
        bytes += sent;
        lineSeconds += sent / kLineBytesPerSecond;
        measuredSeconds += elapsed;
    }
    Ombrix_PortClose(h);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    if (measuredSeconds > 0) {
        // Without pacing there is no line to compare with.
        if (paced) state.counters["line_efficiency"] = lineSeconds / measuredSeconds;
        state.counters["image_bytes"] = bytes / static_cast<double>(state.iterations());
    }
    if (failed) return {};
    return {bytes, lineSeconds, measuredSeconds};
}

// A 320 x 320 grey KIM: 102412 bytes of file, about 8.9 s at 115200.
void BM_PacedShip100K(benchmark::State& state) {
    const Shipped s = shipImage(state, "IMGSHP0F8D0L319R0T319B", true);
    if (s.measuredSeconds > 0) {
        tavorin::bench::atLeast("paced 100 KB KIM at 115200 8N1: line time / transfer time",
                                s.lineSeconds / s.measuredSeconds, "x", 0.95);
    }
}
BENCHMARK(BM_PacedShip100K)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The full-size grey BMP without pacing: what the pty and the library move
// when the line sets no limit.
void BM_UnpacedShipBmp(benchmark::State& state) {
    const Shipped s = shipImage(state, "IMGSHP8F8D", false);
    if (s.measuredSeconds > 0) {
        tavorin::bench::atLeast("unpaced full-size BMP: speed / a 115200 8N1 line's",
                                s.bytes / s.measuredSeconds / kLineBytesPerSecond, "x", 10);
    }
}
BENCHMARK(BM_UnpacedShipBmp)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
