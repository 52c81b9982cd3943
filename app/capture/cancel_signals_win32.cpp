// The cancel requests on Windows: the console's control events (Ctrl+C,
// Ctrl+Break, the console window closed, the user logging off, the system
// shutting down). The system runs a console handler on a thread it makes
// for the event, so the handler is ordinary code there as well.
#include <windows.h>

#include <atomic>

#include "cancel_signals.h"

namespace tavorin::capture {
namespace {

std::atomic<CancelSignals::Handler> g_handler{nullptr};
std::atomic<int> g_count{0};
// Requests that came while they were held and nobody listened yet.
std::atomic<int> g_held{0};

BOOL WINAPI onConsoleEvent(DWORD event) {
    const CancelSignals::Handler handler = g_handler.load();
    if (!handler) {
        g_held.fetch_add(1);
        return TRUE;
    }
    handler(g_count.fetch_add(1) + 1);
    // The system ends the process as soon as the handler of a closing
    // console returns: that close is a second request, which ends the run
    // at once and cleanly rather than in the middle of a file.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        handler(g_count.fetch_add(1) + 1);
    }
    return TRUE;
}

}  // namespace

void holdCancelRequests() {
    (void)SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

CancelSignals::CancelSignals(Handler handler) : impl_(nullptr) {
    g_handler.store(handler);
    (void)SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    for (int held = g_held.exchange(0); held > 0; --held) handler(g_count.fetch_add(1) + 1);
}

CancelSignals::~CancelSignals() {
    // Later requests are taken and dropped: the run has been reported.
    g_handler.store(nullptr);
}

void endAtOnce(const char* line, std::size_t size, int status) {
    DWORD written = 0;
    if (size > 0) {
        (void)WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(size), &written,
                        nullptr);
    }
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    ExitProcess(static_cast<UINT>(status));
}

bool standardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace tavorin::capture
