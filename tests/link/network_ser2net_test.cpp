// Network ports against a real server: ser2net, started by the test on the
// loopback in front of the virtual scanner's pseudo-terminal. The scanner is
// a strict 115200 8N1 line that paces its bytes, so nothing gets through
// unless the speed asked for reached the pty.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ombrix.h"
#include "pty_peer.h"
#include "ser2net_server.h"
#include "vscanner/scanner.h"

namespace tavorin::test {
namespace {

using Clock = std::chrono::steady_clock;

speed_t ptySpeed(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    const bool ok = fd >= 0 && tcgetattr(fd, &tio) == 0;
    if (fd >= 0) ::close(fd);
    return ok ? cfgetospeed(&tio) : B0;
}

class Ser2netTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vscanner::Options options;
        options.strictLine = vscanner::LineSettings{115200, 8, 'N', 1};
        options.pace = true;
        scanner = std::make_unique<vscanner::Scanner>(options);
    }
    void TearDown() override {
        for (int h = 0; h < 10; ++h) Ombrix_PortClose(h);
    }

    std::string ask(int h, const std::string& command) {
        EXPECT_EQ(Ombrix_CmndSend(h, reinterpret_cast<const unsigned char*>(command.data()),
                                  static_cast<int>(command.size())),
                  0);
        unsigned char buf[128];
        const int n = Ombrix_ResponseRecv(h, buf, sizeof buf);
        return n >= 0 ? std::string(buf, buf + n) : "error " + std::to_string(n);
    }

    PortDirectory dir;
    std::unique_ptr<vscanner::Scanner> scanner;
};

// The greeting, a command and its reply, and a paced JPEG picture (0xFF
// bytes all through it) received whole, through both kinds of port. The
// rfc2217:// port asks for 115200 of a ser2net that starts the pty at 9600;
// the raw port sends no settings, so ser2net is told the speed itself.
TEST_F(Ser2netTest, TheScannerAnswersAndShipsItsPictureThroughSer2net) {
    const struct {
        Ser2net::Kind kind;
        const char* serverLine;
    } cases[] = {{Ser2net::Kind::Rfc2217, "9600n81"}, {Ser2net::Kind::Raw, "115200n81"}};
    for (const auto& c : cases) {
        Ser2net server(scanner->devicePath(), c.kind, c.serverLine);
        SCOPED_TRACE(server.url());
        const int com = Ombrix_PortAdd(server.url().c_str(), 100);
        ASSERT_GE(com, 100);
        const int h = Ombrix_PortOpen(com, 9, 1, 0, 0, 0);
        ASSERT_EQ(h, 0) << server.log();
        EXPECT_EQ(ptySpeed(scanner->devicePath()), B115200);

        EXPECT_EQ(ask(h, "BEPLVL?"), "BEPLVL2\x06.");

        const std::string path = dir.runtimeDir() + "/picture.jpg";
        const unsigned char ship[] = {'I', 'M', 'G', 'S', 'H', 'P', '6', 'F', '2', 'S'};
        ASSERT_EQ(Ombrix_CmndSend(h, ship, sizeof ship), 0);
        unsigned char reply[32];
        const int n = Ombrix_ImageRecv(h, path.c_str(), reply, sizeof reply, 2);
        ASSERT_GE(n, 0);
        EXPECT_EQ(std::string(reply, reply + n), "IMGSHP\x06.");
        std::ifstream in(path, std::ios::binary);
        const std::vector<unsigned char> got{std::istreambuf_iterator<char>(in), {}};
        const std::vector<unsigned char> sent = scanner->lastShipped();
        ASSERT_GT(sent.size(), 1000u);
        EXPECT_GT(std::count(sent.begin(), sent.end(), 0xFF), 10) << "a JPEG's markers";
        EXPECT_TRUE(got == sent) << got.size() << " bytes received, " << sent.size() << " sent";
        EXPECT_EQ(Ombrix_PortClose(h), 0);
        EXPECT_EQ(Ombrix_PortRemove(com), 0);
    }
}

// Each speed asked for reaches the pty, port after port: a closed port
// lets ser2net take the next connection at once. The strict scanner answers
// only at 115200; at any other speed the greeting waits, and the test's pump
// reads the pty's speed meanwhile and cancels.
TEST_F(Ser2netTest, TheSpeedAskedForIsTheLinesSpeed) {
    Ser2net server(scanner->devicePath(), Ser2net::Kind::Rfc2217);
    const int com = Ombrix_PortAdd(server.url().c_str(), 100);
    static speed_t seen;
    static std::string device;
    static Clock::time_point start;
    device = scanner->devicePath();
    Ombrix_PumpSet([] {
        seen = ptySpeed(device);
        if (Clock::now() - start > std::chrono::milliseconds(300)) Ombrix_ComCancel(0);
    });
    const struct {
        int baud;
        speed_t speed;
        int result;
    } cases[] = {{5, B9600, OMBRIX_E_CANCELLED},
                 {9, B115200, 0},
                 {0, B300, OMBRIX_E_CANCELLED},
                 {7, B38400, OMBRIX_E_CANCELLED},
                 {9, B115200, 0}};
    for (const auto& c : cases) {
        start = Clock::now();
        seen = B0;
        const int h = Ombrix_PortOpen(com, c.baud, 1, 0, 0, 0);
        EXPECT_EQ(h, c.result) << c.baud << ": " << Ombrix_OpenFailure() << server.log();
        EXPECT_EQ(h == 0 ? ptySpeed(device) : seen, c.speed) << c.baud;
        if (h >= 0) {
            EXPECT_EQ(Ombrix_PortClose(h), 0);
        }
    }
    Ombrix_PumpSet(nullptr);
}

// ser2net serves one client a port: another program's connection (a dead
// session it still keeps, after a cable pull) turns every open away in the
// server's own words, on both kinds of port, at once; and the port opens
// again once that connection is gone.
TEST_F(Ser2netTest, ABusyPortTurnsTheOpenAwayInTheServersWords) {
    for (Ser2net::Kind kind : {Ser2net::Kind::Rfc2217, Ser2net::Kind::Raw}) {
        Ser2net server(scanner->devicePath(), kind, "115200n81");
        SCOPED_TRACE(server.url());
        const int com = Ombrix_PortAdd(server.url().c_str(), 100);
        const int holder = connectedTo(server.port());
        ASSERT_GE(holder, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

        const auto start = Clock::now();
        EXPECT_EQ(Ombrix_PortOpen(com, 9, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
        EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_TURNED_AWAY);
        char words[OMBRIX_FAILURE_TEXT_SIZE] = {};
        EXPECT_EQ(std::string(words, Ombrix_OpenFailureText(words, sizeof words)),
                  "Port already in use");

        ::close(holder);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int h = Ombrix_PortOpen(com, 9, 1, 0, 0, 0);
        EXPECT_EQ(h, 0) << Ombrix_OpenFailure();
        char none[4] = {'x'};
        EXPECT_EQ(Ombrix_OpenFailureText(none, sizeof none), 0);
        Ombrix_PortClose(h);
        Ombrix_PortRemove(com);
    }
}

}  // namespace
}  // namespace tavorin::test
