// Figures of the link library over a real pseudo-terminal:
//  - ReplyLatency: from the scanner's last reply byte to Ombrix_ResponseRecv
//    returning. A plain 10 ms sleep-and-poll would average about 5 ms; the
//    target is a median under 1 ms.
//  - BlockedSendCpu: CPU time burnt by an Ombrix_DataSend held by XOFF for its
//    whole 1000 ms. Target: under 50 ms.
//  - ImageThroughput: an image reply received into a file, against a plain
//    read()+write() copy of the same stream through the same pty in the same
//    run ("ratio", target at least 0.8).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.h"
#include "pty_peer.h"

namespace {

using namespace tavorin::test;
using Clock = std::chrono::steady_clock;
constexpr int kCom = 231;

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void ReplyLatency(benchmark::State& state) {
    PortDirectory dir;
    PtyPeer peer(dir, kCom);
    int h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0);
    if (h < 0) {
        state.SkipWithError("open failed");
        return;
    }
    const Bytes reply{'R', 'E', 'P', 0x06, '.'};
    std::vector<double> samples;
    unsigned char buf[32];
    unsigned phase = 0;
    for (auto _ : state) {
        Clock::time_point sent;
        // The reply comes at varying moments within the library's 10 ms
        // slice, as a real scanner's would.
        std::thread scanner([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(500 + (phase++ * 1300) % 9000));
            sent = Clock::now();
            peer.send(reply);
        });
        int32_t r = Ombrix_ResponseRecv(h, buf, sizeof buf);
        auto done = Clock::now();
        scanner.join();
        if (r != 5) {
            state.SkipWithError("reply lost");
            break;
        }
        double us = std::chrono::duration<double, std::micro>(done - sent).count();
        samples.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    Ombrix_PortClose(h);
    if (samples.empty()) return;
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p90_us"] = samples[samples.size() * 9 / 10];
}
BENCHMARK(ReplyLatency)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

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
    if (rounds) state.counters["cpu_ms"] = cpu / rounds;
}
BENCHMARK(BlockedSendCpu)->Iterations(3)->Unit(benchmark::kMillisecond);

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
    if (library > 0) {
        state.counters["ratio"] = plain / library;
        state.counters["MB_per_s"] = static_cast<double>(stream.size()) *
                                     static_cast<double>(state.iterations()) / library / 1e6;
    }
}
BENCHMARK(ImageThroughput)
    ->Arg(4 << 20)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
