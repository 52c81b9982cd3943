// The port watch on Windows: WM_DEVICECHANGE, received by a hidden window of
// our own. The system broadcasts DBT_DEVNODES_CHANGED to every top-level
// window when a device comes or goes, and a window registered for the COM
// port interface also gets that interface's arrival and removal, which is
// what a plugged or pulled USB serial adapter makes. The window belongs to
// the program's thread, so its messages are dispatched by Qt's own event
// loop and the owner is told there; nothing runs on another thread.
#include <windows.h>
// After windows.h, which the device-change declarations build on.
#include <dbt.h>

#include "portwatch.h"

namespace tavorin {

namespace {

// The device interface class of COM ports.
constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr wchar_t kWindowClass[] = L"TavorinPortWatch";

LRESULT CALLBACK watchProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DEVICECHANGE &&
        (wparam == DBT_DEVNODES_CHANGED || wparam == DBT_DEVICEARRIVAL ||
         wparam == DBT_DEVICEREMOVECOMPLETE)) {
        auto* owner = reinterpret_cast<PortWatch*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (owner) owner->note();
        return TRUE;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

class WindowsWatch : public PortWatch::Platform {
  public:
    ~WindowsWatch() override {
        if (notification_) UnregisterDeviceNotification(notification_);
        if (window_) DestroyWindow(window_);
    }

    bool start(PortWatch& owner) {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW cls{};
        cls.lpfnWndProc = watchProc;
        cls.hInstance = instance;
        cls.lpszClassName = kWindowClass;
        // A second watch finds the class already there.
        if (!RegisterClassW(&cls) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
        // A top-level window, never shown: a message-only window would miss
        // the broadcasts.
        window_ = CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0,
                                  nullptr, nullptr, instance, nullptr);
        if (!window_) return false;
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&owner));

        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = kComPortInterface;
        // Without it the broadcasts still tell of every device node that
        // changes; with it an adapter is seen as soon as its port is ready.
        notification_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        return true;
    }

  private:
    HWND window_ = nullptr;
    HDEVNOTIFY notification_ = nullptr;
};

}  // namespace

std::unique_ptr<PortWatch::Platform> PortWatch::Platform::start(PortWatch& owner) {
    auto watch = std::make_unique<WindowsWatch>();
    if (!watch->start(owner)) return nullptr;
    return watch;
}

}  // namespace tavorin
