// The link library's two everyday figures, measured the same way natively and
// (built for Windows) under Wine, so that scripts/windows.sh can print them
// side by side:
//  - command + reply: from Ombrix_CmndSend to the return of
//    Ombrix_ResponseRecv, against a scanner that answers at once;
//  - idle wait: CPU time the calling thread spends per second of an
//    Ombrix_ResponseRecv that waits for a reply that never comes, with no
//    pump registered (on Windows the default pump then dispatches the
//    thread's messages every 10 ms; on POSIX the wait sleeps).
// Each line is "figure|unit|value|target" with this platform's target.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include "ombrix.h"
#include "pty_peer.h"

namespace {

using namespace tavorin::test;
using Clock = std::chrono::steady_clock;

#ifdef _WIN32
constexpr bool kWine = true;
int firstCom() {
    return comBase();
}
PtyPeer::Responder answers(const std::string& text, const Bytes& reply) {
    return PtyPeer::Responder({{"BEPBEP?", PtyPeer::standardGreeting()}, {text, reply}});
}
double threadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e4;
    };
    return ms(kernel) + ms(user);
}
#else
constexpr bool kWine = false;
int firstCom() {
    return 233;
}
PtyPeer::Responder answers(const std::string& text, const Bytes& reply) {
    return [text, reply](const std::string& command, char) {
        if (command == "BEPBEP?") return PtyPeer::standardGreeting();
        return command == text ? reply : Bytes{};
    };
}
double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}
#endif

void figure(const char* name, const char* unit, double value, double target) {
    std::printf("%s|%s|%.3f|%.3f\n", name, unit, value, target);
}

double at(std::vector<double> v, double share) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[static_cast<std::size_t>(static_cast<double>(v.size() - 1) * share)];
}

}  // namespace

int main() {
    PortDirectory dir;
    PtyPeer peer(dir, firstCom());
    peer.setResponder(answers("LATENCY", bytes("LATENCY\x06.")));
    int h = Ombrix_PortOpen(firstCom(), 9, 1, 0, 0, 0);
    if (h < 0) {
        std::fprintf(stderr, "open failed: %d\n", h);
        return 1;
    }

    std::vector<double> replies;
    const unsigned char command[] = {'L', 'A', 'T', 'E', 'N', 'C', 'Y'};
    for (int i = 0; i < 300; ++i) {
        unsigned char buf[32];
        auto start = Clock::now();
        if (Ombrix_CmndSend(h, command, sizeof command) != 0 ||
            Ombrix_ResponseRecv(h, buf, sizeof buf) != 9) {
            std::fprintf(stderr, "reply %d lost\n", i);
            return 1;
        }
        if (i >= 20) {  // the first ones warm caches and the peer up
            replies.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    figure("command + reply, median", "ms", at(replies, 0.5), kWine ? 3.0 : 0.5);
    figure("command + reply, 90th percentile", "ms", at(replies, 0.9), kWine ? 5.0 : 1.0);

    Ombrix_PumpSet(nullptr);
    Ombrix_TimeoutSet(h, 1000, -1);
    double cpu = 0, wall = 0;
    for (int i = 0; i < 3; ++i) {
        unsigned char buf[16];
        auto start = Clock::now();
        double before = threadCpuMs();
        if (Ombrix_ResponseRecv(h, buf, sizeof buf) != OMBRIX_E_TIMEOUT) {
            std::fprintf(stderr, "the idle wait did not time out\n");
            return 1;
        }
        cpu += threadCpuMs() - before;
        wall += std::chrono::duration<double>(Clock::now() - start).count();
    }
    // Natively the wait sleeps in the kernel; under Wine it wakes every
    // 10 ms to dispatch the thread's messages, which costs a little.
    figure("idle wait without a registered pump, CPU per second", "ms", cpu / wall,
           kWine ? 30.0 : 0.5);
    Ombrix_PortClose(h);
    return 0;
}
