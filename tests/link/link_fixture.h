// Shared set-up for the link library's tests: a private port directory, a
// scanner played on a pseudo-terminal, and a pump the test can script. The
// same suites run natively and, built for Windows, under Wine; there the
// peer header of tests/windows stands in for the one of tests/support.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include "ombrix.h"
#include "pty_peer.h"

namespace tavorin::test {

#ifndef _WIN32
// The COM numbers a test program uses: this one and the eleven above it.
inline int comBase() {
    return 201;
}
#endif

// CPU time the calling thread has used, in milliseconds: a wait that spins
// shows here, however it ends.
inline double threadCpuMs() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e4;
    };
    return ms(kernel) + ms(user);
#else
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
#endif
}

// A scanner that answers `text` with `reply`, and the greeting as usual.
inline PtyPeer::Responder answering(const std::string& text, Bytes reply) {
#ifdef _WIN32
    return PtyPeer::Responder({{"BEPBEP?", PtyPeer::standardGreeting()}, {text, reply}});
#else
    return [text, reply](const std::string& command, char) {
        if (command == "BEPBEP?") return PtyPeer::standardGreeting();
        return command == text ? reply : Bytes{};
    };
#endif
}

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The library takes a plain function pointer; tests install closures here.
inline std::function<void()>& pumpAction() {
    static std::function<void()> action;
    return action;
}
inline void testPump() {
    if (pumpAction()) pumpAction()();
}

// Makes the test's pump run `action` once, `after` from now.
inline void runInPumpAfter(std::chrono::milliseconds after, std::function<void()> action) {
    auto start = Clock::now();
    auto done = std::make_shared<bool>(false);
    pumpAction() = [=] {
        if (!*done && Clock::now() - start >= after) {
            *done = true;
            action();
        }
    };
}

class LinkTest : public ::testing::Test {
  protected:
    const int kCom = comBase();

    void SetUp() override {
        peer = std::make_unique<PtyPeer>(dir, kCom);
        Ombrix_PumpSet(&testPump);
    }

    void TearDown() override {
        Ombrix_PumpSet(nullptr);
        pumpAction() = nullptr;
        for (int h = 0; h < 10; ++h) Ombrix_PortClose(h);
    }

    // Opens kCom at 9600 8N1 without flow control; fails the test otherwise.
    int openPort(int flow = 0) {
        int h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, flow);
        EXPECT_GE(h, 0) << "open failed";
        peer->clearWire();
        return h;
    }

    // Runs `action` once from inside the pump, `after` into the call.
    void pumpOnceAfter(std::chrono::milliseconds after, std::function<void()> action) {
        runInPumpAfter(after, std::move(action));
    }

    PortDirectory dir;
    std::unique_ptr<PtyPeer> peer;
};

// Waits until the library sees `n` bytes queued on the port.
inline bool waitQueued(int handle, int n, std::chrono::milliseconds limit = 2000ms) {
    auto start = Clock::now();
    while (Ombrix_RecvChk(handle) < n) {
        if (Clock::now() - start > limit) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace tavorin::test
