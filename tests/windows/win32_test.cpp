// What holds only on Windows: the default message pump inside every wait,
// its replacement by a registered pump, pictures that another program holds
// open or that have a second name, and the names of COM ports.
#include <windows.h>

#include <cstring>

#include "image_fixture.h"

namespace tavorin::test {
namespace {

constexpr UINT kAppMessage = WM_APP + 1;

// A window of the program's: it counts the messages it is sent and, when
// its timer fires, cancels the port's wait as a Cancel button would.
class ProgramWindow {
  public:
    ProgramWindow() {
        static const ATOM windowClass = [] {
            WNDCLASSA c{};
            c.lpfnWndProc = &ProgramWindow::proc;
            c.hInstance = GetModuleHandleA(nullptr);
            c.lpszClassName = "TavorinProgramWindow";
            return RegisterClassA(&c);
        }();
        hwnd = CreateWindowExA(0, MAKEINTATOM(windowClass), "program", WS_OVERLAPPEDWINDOW, 0, 0,
                               100, 100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~ProgramWindow() { DestroyWindow(hwnd); }

    HWND hwnd;
    int cancelHandle = -1;
    int timerTicks = 0;
    int appMessages = 0;

  private:
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM w, LPARAM l) {
        auto* self = reinterpret_cast<ProgramWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self && message == WM_TIMER) {
            KillTimer(window, w);
            ++self->timerTicks;
            Ombrix_ComCancel(self->cancelHandle);
            return 0;
        }
        if (self && message == kAppMessage) {
            ++self->appMessages;
            return 0;
        }
        return DefWindowProcA(window, message, w, l);
    }
};

TEST_F(LinkTest, WithNoPumpRegisteredAWaitDispatchesTheThreadsMessagesAndTheyMayCancelIt) {
    int h = openPort();
    Ombrix_PumpSet(nullptr);
    ProgramWindow window;
    window.cancelHandle = h;
    ASSERT_NE(SetTimer(window.hwnd, 1, 200, nullptr), 0u);
    Ombrix_TimeoutSet(h, 5000, -1);
    unsigned char buf[16];
    auto start = Clock::now();
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_CANCELLED);
    auto ms = msSince(start);
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 600);
    EXPECT_EQ(window.timerTicks, 1);

    // The same holds in the image transfer's wait for its first byte, after
    // the command that lowers the cancel flag again.
    const unsigned char command[] = {'I', 'M', 'G', 'S', 'H', 'P'};
    ASSERT_EQ(Ombrix_CmndSend(h, command, sizeof command), OMBRIX_OK);
    ASSERT_NE(SetTimer(window.hwnd, 2, 100, nullptr), 0u);
    std::string path = dir.runtimeDir() + "\\picture.jpg";
    start = Clock::now();
    EXPECT_EQ(Ombrix_ImageRecv(h, path.c_str(), buf, sizeof buf, 2), OMBRIX_E_CANCELLED);
    EXPECT_LT(msSince(start), 600);
    EXPECT_EQ(window.timerTicks, 2);
}

TEST_F(LinkTest, ARegisteredPumpReplacesTheDefaultAndNullRestoresIt) {
    int h = openPort();
    ProgramWindow window;
    int pumpCalls = 0;
    pumpAction() = [&] { ++pumpCalls; };
    PostMessageA(window.hwnd, kAppMessage, 0, 0);
    Ombrix_TimeoutSet(h, 150, -1);
    unsigned char buf[16];
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_TIMEOUT);
    EXPECT_GE(pumpCalls, 5) << "the registered pump runs about every 10 ms";
    EXPECT_EQ(window.appMessages, 0) << "and the default one does not run beside it";

    Ombrix_PumpSet(nullptr);
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_TIMEOUT);
    EXPECT_EQ(window.appMessages, 1) << "the default pump is back";
}

TEST_F(LinkTest, AQuitMessageIsLeftForTheProgramsOwnLoop) {
    int h = openPort();
    Ombrix_PumpSet(nullptr);
    Ombrix_TimeoutSet(h, 50, -1);
    PostQuitMessage(7);
    unsigned char buf[16];
    EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_TIMEOUT);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
}

TEST_F(ImageTest, APictureAViewerHoldsOpenStaysWholeAndNoTemporaryIsLeft) {
    int h = openPort();
    writePrevious();
    struct Case {
        const char* name;
        DWORD sharing;
    };
    // A viewer that lets nobody write refuses the file before any image
    // byte is taken; one that lets others write but not replace it fails
    // the replacement once every byte is in.
    for (Case c : {Case{"read sharing only", FILE_SHARE_READ},
                   Case{"no delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
        SCOPED_TRACE(c.name);
        HANDLE viewer = CreateFileA(target.c_str(), GENERIC_READ, c.sharing, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
        peer->send(imageReply(subHeader(20), pattern(3000), 3020));
        EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), OMBRIX_E_FILE);
        CloseHandle(viewer);
        EXPECT_EQ(Ombrix_RecvChk(h), 0);
        EXPECT_EQ(readFile(target), bytes("previous image"));
        EXPECT_EQ(folderEntries(), std::set<std::string>{"picture.jpg"});
    }
    // Let go, the same transfer replaces it.
    peer->send(imageReply(subHeader(20), pattern(3000), 3020));
    EXPECT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), 2);
    EXPECT_EQ(readFile(target), pattern(3000));
}

TEST_F(ImageTest, BothNamesOfAFileWithAHardLinkShowTheNewPicture) {
    int h = openPort();
    writePrevious();
    const std::string second = folder + "/second.jpg";
    ASSERT_TRUE(CreateHardLinkA(second.c_str(), target.c_str(), nullptr));
    peer->send(imageReply(subHeader(20), pattern(3000), 3020));
    ASSERT_EQ(Ombrix_ImageRecv(h, target.c_str(), reply, sizeof reply, 2), 2);
    EXPECT_EQ(readFile(target), pattern(3000));
    EXPECT_EQ(readFile(second), pattern(3000));
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"picture.jpg", "second.jpg"}));
}

TEST(PortNameTest, AComNumberNamesItsDeviceInTheDeviceNamespace) {
    char path[32];
    EXPECT_EQ(Ombrix_PortName(5, path, sizeof path), 8);
    EXPECT_STREQ(path, "\\\\.\\COM5");
    EXPECT_EQ(Ombrix_PortName(256, path, sizeof path), 10);
    EXPECT_STREQ(path, "\\\\.\\COM256");
    EXPECT_EQ(Ombrix_PortName(0, path, sizeof path), OMBRIX_E_NO_ROOM);
    EXPECT_EQ(Ombrix_PortName(257, path, sizeof path), OMBRIX_E_NO_ROOM);
    EXPECT_EQ(Ombrix_PortName(5, path, 8), OMBRIX_E_PARAM);  // "\\.\COM5" needs 9
    EXPECT_EQ(Ombrix_PortName(5, nullptr, 32), OMBRIX_E_PARAM);

    // The system numbers the ports itself: no folder of aliases, nothing to
    // remember for a USB adapter.
    EXPECT_EQ(Ombrix_PortFolder(path, sizeof path), 0);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(Ombrix_PortFolder(nullptr, 32), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_PortScan(), 0);
    EXPECT_EQ(Ombrix_PortFolderCheck(), OMBRIX_FOLDER_MISSING);
}

}  // namespace
}  // namespace tavorin::test
