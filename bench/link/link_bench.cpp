// Figures of the link library over a real pseudo-terminal, each printed at
// the end beside its target:
//  - ReplyLatency: from the moment the scanner's last write begins to the
//    moment Ombrix_ResponseRecv returns, against a plain poll() + read()
//    reader of the same pty in the same run (the floor). Once with the whole
//    reply in one write, once with the terminator coming alone after the
//    rest. Target: the library's median within 1.1 x the floor's.
//  - IdleWaitCpu: CPU time the calling thread spends per second of an
//    Ombrix_ResponseRecv that waits for a reply that never comes. Without a
//    pump the target is at most 0.5 ms per second; with one, the pump must
//    still run about every 10 ms.
//  - CancelLatency: from Ombrix_ComCancel on another thread to the waiting
//    read (no pump) returning. Target: at most 5 ms, worst case.
//  - BlockedSendCpu: CPU time burnt by an Ombrix_DataSend held by XOFF for
//    its whole 1000 ms. Target: under 50 ms.
//  - ImageThroughput: an image reply received into a file, against a plain
//    read() + write() copy of the same stream through the same pty in the
//    same run. Target: a ratio of at least 0.8.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "ombrix.h"
#include "pty_peer.h"

namespace {

using namespace tavorin::test;
using tavorin::bench::atLeast;
using tavorin::bench::atMost;
using tavorin::bench::median;
using Clock = std::chrono::steady_clock;
constexpr int kCom = 231;

// ---- Helpers --------------------------------------------------------------

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double percentile90(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() * 9 / 10];
}

// Opens the slave side the way any program would, raw and non-blocking.
int openRaw(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// ---- Reply latency ------------------------------------------------------------

// The least a reader can do: sleep in poll() and read() what came, until the
// terminator is in.
bool floorRead(int fd) {
    unsigned char buf[64];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) return false;
        if (buf[n - 1] == '.' || buf[n - 1] == '!') return true;
    }
}

// One reply, timed from the start of the scanner's last write to the return
// of `reader`. The reply comes at a varying moment, as a real scanner's
// would; with `terminatorAlone` its body comes first and the reader takes
// it and waits again before the '.' follows.
template <class Reader>
double replySample(PtyPeer& peer, bool terminatorAlone, unsigned phase, Reader reader) {
    Clock::time_point sent;
    std::thread scanner([&] {
        std::this_thread::sleep_for(std::chrono::microseconds(500 + (phase * 1300) % 9000));
        if (terminatorAlone) {
            peer.send(Bytes{'R', 'E', 'P', 0x06});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        sent = Clock::now();
        peer.send(terminatorAlone ? Bytes{'.'} : Bytes{'R', 'E', 'P', 0x06, '.'});
    });
    bool ok = reader();
    auto done = Clock::now();
    scanner.join();
    return ok ? std::chrono::duration<double, std::micro>(done - sent).count() : -1;
}

void ReplyLatency(benchmark::State& state) {
    const bool terminatorAlone = state.range(0) != 0;
    PortDirectory dir;
    PtyPeer peer(dir, kCom);
    // Opened before the library takes the port exclusively; both read the
    // same tty, one at a time.
    int floorFd = openRaw(peer.slavePath());
    int h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0);
    if (h < 0 || floorFd < 0) {
        state.SkipWithError("open failed");
        if (floorFd >= 0) close(floorFd);
        return;
    }
    std::vector<double> library, floor;
    unsigned phase = 0;
    for (auto _ : state) {
        // Alternating which goes first keeps drifts of the machine out of
        // the comparison.
        double lib = 0, plain = 0;
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (phase % 2 == 0)) {
                lib = replySample(peer, terminatorAlone, phase, [&] {
                    unsigned char buf[32];
                    return Ombrix_ResponseRecv(h, buf, sizeof buf) == 5;
                });
            } else {
                plain =
                    replySample(peer, terminatorAlone, phase, [&] { return floorRead(floorFd); });
            }
        }
        ++phase;
        if (lib < 0 || plain < 0) {
            state.SkipWithError("reply lost");
            break;
        }
        library.push_back(lib);
        floor.push_back(plain);
        state.SetIterationTime(lib / 1e6);
    }
    Ombrix_PortClose(h);
    close(floorFd);
    if (library.empty()) return;
    const double lib = median(library), plain = median(floor);
    state.counters["median_us"] = lib;
    state.counters["p90_us"] = percentile90(library);
    state.counters["floor_median_us"] = plain;
    state.counters["ratio"] = lib / plain;
    const std::string how = terminatorAlone ? "terminator alone" : "one write";
    atMost("reply latency, " + how + ": library median", lib, "us", 1.1 * plain);
    atMost("reply latency, " + how + ": median / poll()+read() floor", lib / plain, "x", 1.1);
}
BENCHMARK(ReplyLatency)
    ->ArgName("terminator_alone")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

// ---- Idle waits -------------------------------------------------------------

std::atomic<int> g_pumpCalls{0};
void countingPump() {
    g_pumpCalls.fetch_add(1);
}

void IdleWaitCpu(benchmark::State& state) {
    const bool withPump = state.range(0) != 0;
    PortDirectory dir;
    PtyPeer peer(dir, kCom);
    int h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0);
    if (h < 0) {
        state.SkipWithError("open failed");
        return;
    }
    Ombrix_TimeoutSet(h, 1000, -1);
    Ombrix_PumpSet(withPump ? &countingPump : nullptr);
    g_pumpCalls.store(0);
    double cpuMs = 0, wallS = 0;
    for (auto _ : state) {
        unsigned char buf[16];
        auto start = Clock::now();
        double before = threadCpuMs();
        int32_t r = Ombrix_ResponseRecv(h, buf, sizeof buf);
        cpuMs += threadCpuMs() - before;
        wallS += std::chrono::duration<double>(Clock::now() - start).count();
        if (r != OMBRIX_E_TIMEOUT) {
            state.SkipWithError("the wait did not time out");
            break;
        }
    }
    Ombrix_PumpSet(nullptr);
    Ombrix_PortClose(h);
    if (wallS <= 0) return;
    state.counters["cpu_ms_per_s"] = cpuMs / wallS;
    if (withPump) {
        const double perSecond = g_pumpCalls.load() / wallS;
        state.counters["pump_per_s"] = perSecond;
        atLeast("idle ResponseRecv with a pump: pump calls per second", perSecond, "/s", 90);
    } else {
        atMost("idle ResponseRecv without a pump: CPU per second waited", cpuMs / wallS, "ms", 0.5);
    }
}
BENCHMARK(IdleWaitCpu)
    ->ArgName("pump")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void CancelLatency(benchmark::State& state) {
    PortDirectory dir;
    PtyPeer peer(dir, kCom);
    int h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0);
    if (h < 0) {
        state.SkipWithError("open failed");
        return;
    }
    Ombrix_TimeoutSet(h, 10000, -1);
    std::vector<double> samples;
    unsigned phase = 0;
    for (auto _ : state) {
        Clock::time_point raised;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(20000 + (phase++ * 1700) % 9000));
            raised = Clock::now();
            Ombrix_ComCancel(h);
        });
        unsigned char buf[16];
        int32_t r = Ombrix_ResponseRecv(h, buf, sizeof buf);
        auto done = Clock::now();
        canceller.join();
        if (r != OMBRIX_E_CANCELLED) {
            state.SkipWithError("the wait was not cancelled");
            break;
        }
        samples.push_back(std::chrono::duration<double, std::milli>(done - raised).count());
    }
    Ombrix_PortClose(h);
    if (samples.empty()) return;
    const double worst = *std::max_element(samples.begin(), samples.end());
    state.counters["median_ms"] = median(samples);
    state.counters["max_ms"] = worst;
    atMost("cancel from another thread to the read's return, worst", worst, "ms", 5);
}
BENCHMARK(CancelLatency)->Iterations(50)->Unit(benchmark::kMillisecond);

void BlockedSendCpu(benchmark::State& state) {
    PortDirectory dir;
    PtyPeer peer(dir, kCom);
    int h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 1);  // XON/XOFF
    if (h < 0) {
        state.SkipWithError("open failed");
        return;
    }
    const unsigned char data[] = {'A', 'B'};
    double cpu = 0;
    int rounds = 0;
    for (auto _ : state) {
        peer.send(Bytes{0x13});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        double before = threadCpuMs();
        int32_t r = Ombrix_DataSend(h, data, sizeof data);
        cpu += threadCpuMs() - before;
        ++rounds;
        peer.send(Bytes{0x11});
        if (r != OMBRIX_E_TIMEOUT) {
            state.SkipWithError("the send was not held");
            break;
        }
    }
    Ombrix_PortClose(h);
    if (!rounds) return;
    state.counters["cpu_ms"] = cpu / rounds;
    atMost("send held by XOFF for 1000 ms: CPU", cpu / rounds, "ms", 50);
}
BENCHMARK(BlockedSendCpu)->Iterations(3)->Unit(benchmark::kMillisecond);

// ---- Image throughput ---------------------------------------------------------

Bytes imageStream(std::size_t dataSize) {
    const std::size_t sub = 40;
    std::uint32_t length = static_cast<std::uint32_t>(dataSize + sub);
    Bytes s{0x16,
            0,
            static_cast<unsigned char>(length),
            static_cast<unsigned char>(length >> 8),
            static_cast<unsigned char>(length >> 16),
            static_cast<unsigned char>(length >> 24),
            0};
    s.insert(s.end(), sub - 1, 'h');
    s.push_back(0x1D);
    for (std::size_t i = 0; i < dataSize; ++i) s.push_back(static_cast<unsigned char>(i * 13));
    s.push_back(0x06);
    s.push_back('.');
    return s;
}

// The baseline: the slave opened raw and copied into a file with plain
// read() and write() as the bytes arrive.
double plainCopySeconds(PtyPeer& peer, const Bytes& stream, const std::string& path) {
    int fd = open(peer.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    auto start = Clock::now();
    std::thread scanner([&] { peer.send(stream); });
    std::vector<unsigned char> buf(4096);
    std::size_t got = 0;
    while (got < stream.size()) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        if (write(out, buf.data(), static_cast<std::size_t>(n)) != n) break;
        got += static_cast<std::size_t>(n);
    }
    fsync(out);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    scanner.join();
    close(out);
    close(fd);
    return seconds;
}

void ImageThroughput(benchmark::State& state) {
    PortDirectory dir;
    PtyPeer peer(dir, kCom);
    const Bytes stream = imageStream(static_cast<std::size_t>(state.range(0)));
    const std::string path = dir.runtimeDir() + "/image.bin";
    double plain = 0, library = 0;
    for (auto _ : state) {
        plain += plainCopySeconds(peer, stream, path + ".plain");

        int h = Ombrix_PortOpen(kCom, 9, 1, 0, 0, 0);
        if (h < 0) {
            state.SkipWithError("open failed");
            break;
        }
        unsigned char reply[16];
        auto start = Clock::now();
        std::thread scanner([&] { peer.send(stream); });
        int32_t r = Ombrix_ImageRecv(h, path.c_str(), reply, sizeof reply, 2);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        scanner.join();
        Ombrix_PortClose(h);
        if (r != 2) {
            state.SkipWithError("image not received");
            break;
        }
        library += seconds;
        state.SetIterationTime(seconds);
    }
    if (library <= 0) return;
    state.counters["ratio"] = plain / library;
    state.counters["MB_per_s"] = static_cast<double>(stream.size()) *
                                 static_cast<double>(state.iterations()) / library / 1e6;
    atLeast("4 MiB image into a file: speed / plain read()+write() copy", plain / library, "x",
            0.8);
}
BENCHMARK(ImageThroughput)
    ->Arg(4 << 20)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace
