// Shared set-up for the link library's tests: a private port directory, a
// scanner played on a pseudo-terminal, and a pump the test can script.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "ombrix.h"
#include "pty_peer.h"

namespace tavorin::test {

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

class LinkTest : public ::testing::Test {
  protected:
    static constexpr int kCom = 201;

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
        auto start = Clock::now();
        auto done = std::make_shared<bool>(false);
        pumpAction() = [=] {
            if (!*done && Clock::now() - start >= after) {
                *done = true;
                action();
            }
        };
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
