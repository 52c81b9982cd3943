// Where a watcher's notices go, as a program receives them: the write end of
// a pipe on POSIX, a real window on Windows (the notice is a posted message
// that the window procedure sees when the thread's messages are dispatched).
#pragma once

#include <chrono>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace tavorin::test {

class NoticeSink {
  public:
    explicit NoticeSink(std::uint32_t message) : message_(message) {
#ifdef _WIN32
        static const ATOM windowClass = [] {
            WNDCLASSA c{};
            c.lpfnWndProc = &NoticeSink::windowProc;
            c.hInstance = GetModuleHandleA(nullptr);
            c.lpszClassName = "TavorinNoticeSink";
            return RegisterClassA(&c);
        }();
        window_ = CreateWindowExA(0, MAKEINTATOM(windowClass), "notices", WS_OVERLAPPED, 0, 0, 10,
                                  10, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
#else
        if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
#endif
    }
    ~NoticeSink() {
        close();
#ifndef _WIN32
        if (fds_[1] >= 0) ::close(fds_[1]);
#endif
    }
    NoticeSink(const NoticeSink&) = delete;
    NoticeSink& operator=(const NoticeSink&) = delete;

    bool ready() const {
#ifdef _WIN32
        return window_ != nullptr;
#else
        return fds_[1] >= 0;
#endif
    }

    // The `window` argument of Ombrix_RecvStart.
    std::intptr_t target() const {
#ifdef _WIN32
        return reinterpret_cast<std::intptr_t>(window_);
#else
        return fds_[1];
#endif
    }

    // Receives for `window`, then returns how many notices came since the
    // last call; -1 once one carried another message number (or, on
    // Windows, parameters other than 0).
    int take(std::chrono::milliseconds window) {
        auto deadline = std::chrono::steady_clock::now() + window;
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            // One pass even when the time is up: what came is still taken.
            int wait = left > 0 ? static_cast<int>(left) : 0;
#ifdef _WIN32
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(wait), QS_ALLINPUT);
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
#else
            pollfd p{fds_[0], POLLIN, 0};
            while (poll(&p, 1, wait) > 0) {
                std::uint32_t message = 0;
                if (read(fds_[0], &message, sizeof message) != sizeof message) return -1;
                if (message != message_) wrong_ = true;
                ++count_;
                wait = 0;
            }
#endif
            if (left <= 0) break;
        }
        int n = wrong_ ? -1 : count_;
        count_ = 0;
        return n;
    }

    // The client goes away: its read end closed, its window destroyed.
    void close() {
#ifdef _WIN32
        if (window_) DestroyWindow(window_);
        window_ = nullptr;
#else
        if (fds_[0] >= 0) ::close(fds_[0]);
        fds_[0] = -1;
#endif
    }

  private:
#ifdef _WIN32
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
        auto* self = reinterpret_cast<NoticeSink*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self && message >= WM_APP) {
            if (message != self->message_ || w != 0 || l != 0) self->wrong_ = true;
            ++self->count_;
            return 0;
        }
        return DefWindowProcA(window, message, w, l);
    }
    HWND window_ = nullptr;
#else
    int fds_[2] = {-1, -1};
#endif
    std::uint32_t message_;
    int count_ = 0;
    bool wrong_ = false;
};

}  // namespace tavorin::test
