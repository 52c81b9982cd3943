// Network ports through the library's exports: opens against servers of the
// test's own on the loopback, and what the connection does to replies,
// pictures and the watcher.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "fake_rfc2217.h"
#include "link_fixture.h"
#include "notice_sink.h"
#include "ser2net_server.h"

namespace tavorin::test {
namespace {

using namespace telnet;

// A test of its own port directory, with network ports added to it.
class NetworkTest : public ::testing::Test {
  protected:
    void TearDown() override {
        Ombrix_PumpSet(nullptr);
        pumpAction() = nullptr;
        for (int h = 0; h < 10; ++h) Ombrix_PortClose(h);
    }
    int open(const std::string& url, int baud = 5) {
        const int com = Ombrix_PortAdd(url.c_str(), 100);
        EXPECT_GE(com, 100) << url;
        return Ombrix_PortOpen(com, baud, 1, 0, 0, 0);
    }
    std::string ask(int h, const std::string& command) {
        EXPECT_EQ(Ombrix_CmndSend(h, reinterpret_cast<const unsigned char*>(command.data()),
                                  static_cast<int>(command.size())),
                  0);
        unsigned char buf[64];
        const int n = Ombrix_ResponseRecv(h, buf, sizeof buf);
        return n >= 0 ? std::string(buf, buf + n) : "error " + std::to_string(n);
    }
    PortDirectory dir;
};

TEST_F(LinkTest, AMalformedNetworkNameIsRefusedBeforeAnythingIsOpened) {
    dir.alias(kCom + 1, "rfc2217://127.0.0.1");
    EXPECT_EQ(Ombrix_PortOpen(kCom + 1, 5, 1, 0, 0, 0), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_BAD_NAME);
    // The record it reserved is free again, and the number can be opened
    // once it names something sound.
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), 0);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_OK);
}

// A reply with 0xFF data bytes and telnet commands among them, its bytes
// cut into two writes at every position: what the reader gets is the
// scanner's reply, whole, every time.
TEST_F(NetworkTest, TelnetCommandsAndEscapedBytesSplitAnywhereLeaveTheReplyWhole) {
    const Bytes reply{'A', 0xFF, 0xFF, 'B', 0xFF, 0x06, '.'};
    const Bytes wire = Bytes{'A', IAC, IAC, IAC, NOP, IAC, IAC, 'B'} +
                       Bytes{IAC, SB, COM_PORT, 107, 0x30, IAC, SE, IAC, IAC, 0x06, '.'};
    std::atomic<std::size_t> cut{0};
    Script script;
    script.respond = [&](const std::string& text) {
        // Any other command is echoed, escaped as a server sends it.
        if (text != "REVINF") return std::vector<Bytes>{escaped(bytes(text + "."))};
        const auto at = static_cast<long>(cut.load());
        return std::vector<Bytes>{Bytes(wire.begin(), wire.begin() + at),
                                  Bytes(wire.begin() + at, wire.end())};
    };
    TestServer server(script);
    const int h = open(server.url());
    ASSERT_EQ(h, 0);
    for (std::size_t at = 0; at <= wire.size(); ++at) {
        cut = at;
        EXPECT_EQ(ask(h, "REVINF"), std::string(reply.begin(), reply.end())) << "cut at " << at;
        EXPECT_EQ(Ombrix_RecvChk(h), 0) << "no command is counted as a byte waiting";
    }
    // The client's 0xFF bytes reach the scanner as they were sent.
    EXPECT_EQ(ask(h, "X\xFFY"), "X\xFFY.");
}

// The settings the open sends, what the server's answers decide, and how
// long the open waits for them: a server that never answers SET-CONTROL
// (ser2net on a pseudo-terminal) costs nothing; one that sets another
// value, or answers nothing within a bounded second, fails the open and is
// told with what was asked and what was set; one that refuses the option
// altogether fails at once. A raw port sends nothing to set, but a server
// that opens with telnet negotiation is a telnet port named as raw.
TEST_F(NetworkTest, TheLineIsSetAsAskedOrTheOpenFailsSayingWhatTheServerSet) {
    struct Case {
        const char* what;
        Script script;
        int result;
        int failure;
        int setting, asked, set;  // Ombrix_OpenFailureLine
        long long atLeastMs, atMostMs;
    };
    auto script = [](std::function<void(Script&)> change) {
        Script s;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"every command answered", {}, 0, OMBRIX_OPEN_OK, 0, 0, 0, 0, 500},
        {"no answer to SET-CONTROL", script([](Script& s) { s.unanswered = {5}; }), 0,
         OMBRIX_OPEN_OK, 0, 0, 0, 0, 500},
        {"another speed set", script([](Script& s) {
             s.answerWith[1] = {0, 0, 0x25, 0x80};
         }),
         OMBRIX_E_COMM, OMBRIX_OPEN_LINE_NOT_SET, OMBRIX_LINE_SPEED, 115200, 9600, 0, 500},
        {"another flow control set", script([](Script& s) { s.answerWith[5] = {2}; }),
         OMBRIX_E_COMM, OMBRIX_OPEN_LINE_NOT_SET, OMBRIX_LINE_FLOW, 0, 1, 0, 500},
        {"no answer to any setting", script([](Script& s) {
             s.unanswered = {1, 2, 3, 4, 5};
         }),
         OMBRIX_E_COMM, OMBRIX_OPEN_LINE_NOT_SET, OMBRIX_LINE_SPEED, 115200, OMBRIX_LINE_NO_ANSWER,
         900, 2500},
        {"the option refused", script([](Script& s) { s.refuseComPort = DONT; }), OMBRIX_E_COMM,
         OMBRIX_OPEN_NO_COM_CONTROL, 0, 0, 0, 0, 500},
        {"the option refused loosely", script([](Script& s) { s.refuseComPort = WONT; }),
         OMBRIX_E_COMM, OMBRIX_OPEN_NO_COM_CONTROL, 0, 0, 0, 0, 500},
        {"telnet on a socket:// port", script([](Script& s) {
             s.telnet = false;
             s.opening = Bytes{IAC, DO, 0, IAC, WILL, 3, IAC, DO, COM_PORT};
         }),
         OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_TELNET, 0, 0, 0, 0, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server(c.script);
        const auto start = Clock::now();
        const int h = open(server.url(), 9);
        const long long took = msSince(start);
        EXPECT_EQ(h, c.result);
        EXPECT_EQ(Ombrix_OpenFailure(), c.failure);
        int asked = -9, set = -9;
        EXPECT_EQ(Ombrix_OpenFailureLine(&asked, &set), c.setting);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(set, c.set);
        EXPECT_GE(took, c.atLeastMs);
        EXPECT_LE(took, c.atMostMs);
        if (h >= 0) {
            // The speed asked for (115200), then the greeting's command
            // purged the server's input.
            const std::vector<Bytes> sent = server.commands();
            auto speed = std::find(sent.begin(), sent.end(), Bytes{44, 1, 0, 1, 0xC2, 0});
            EXPECT_NE(speed, sent.end());
            EXPECT_NE(std::find(speed, sent.end(), Bytes{44, 12, 1}), sent.end());
            Ombrix_PortClose(h);
        }
    }
}

// A connection the server ends is a vanished device: a reply or an image
// broken off by it ends at once, the bytes before the close are still read,
// an image file that was there stays whole, and nothing more is sent. The
// raw port is named by a host name, which the resolver looks up on a
// thread, and sends no line settings.
TEST_F(NetworkTest, AConnectionDroppedMidReplyOrMidImageIsAVanishedDevice) {
    for (bool telnet : {true, false}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "socket");
        Script script;
        script.telnet = telnet;
        script.closeAfterResponse = true;
        Bytes file(5000, 0xFF);
        for (std::size_t i = 0; i < file.size(); i += 3) file[i] = static_cast<unsigned char>(i);
        const Bytes image = PtyPeer::imageReply("IMGSHP", file, "IMGSHP\x06.");
        script.respond = [&](const std::string& text) {
            const Bytes half(image.begin(), image.begin() + 3000);
            return std::vector<Bytes>{text == "IMGSHP" ? (telnet ? escaped(half) : half)
                                                       : Bytes{'A', 'B'}};
        };
        TestServer server(script);
        const std::string url =
            telnet ? server.url() : "socket://localhost:" + std::to_string(server.port());
        int h = open(url);
        ASSERT_EQ(h, 0);
        EXPECT_EQ(server.commands().empty(), !telnet);
        const auto start = Clock::now();
        unsigned char buf[16] = {};
        const unsigned char command[] = {'R', 'E', 'V'};
        ASSERT_EQ(Ombrix_CmndSend(h, command, sizeof command), 0);
        EXPECT_EQ(Ombrix_ResponseRecv(h, buf, sizeof buf), OMBRIX_E_COMM);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "AB");
        EXPECT_LT(msSince(start), 900) << "not the reply's 1000 ms silence";
        EXPECT_EQ(Ombrix_RecvChk(h), OMBRIX_E_COMM);
        EXPECT_EQ(Ombrix_CmndSend(h, command, sizeof command), OMBRIX_E_COMM);
        Ombrix_PortClose(h);

        h = open(url);
        ASSERT_EQ(h, 0);
        const std::string path = dir.runtimeDir() + "/picture.jpg";
        std::ofstream(path) << "old picture";
        const unsigned char ship[] = {'I', 'M', 'G', 'S', 'H', 'P'};
        ASSERT_EQ(Ombrix_CmndSend(h, ship, sizeof ship), 0);
        const auto imageStart = Clock::now();
        EXPECT_EQ(Ombrix_ImageRecv(h, path.c_str(), buf, sizeof buf, 2), OMBRIX_E_COMM);
        EXPECT_LT(msSince(imageStart), 900);
        std::ifstream in(path);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old picture");
        Ombrix_PortClose(h);
    }
}

// Nothing to connect to: refused at once, a name that is nobody's, a server
// that never takes the connection (its backlog is full) within the open's
// 5 s, and a cancel through the pump that ends the wait at once.
TEST_F(NetworkTest, AnUnreachablePortFailsBoundedAndSaysWhy) {
    const int nobody = freeLoopbackPort();
    auto start = Clock::now();
    EXPECT_EQ(open("rfc2217://127.0.0.1:" + std::to_string(nobody)), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_REFUSED);
    EXPECT_EQ(open("socket://[::1%nosuchif0]:4001"), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_NO_HOST);
    EXPECT_LT(msSince(start), 1000);

    // A listener that takes no connection: once its backlog holds one that
    // was never accepted, the kernel drops every further attempt unanswered.
    int port = 0;
    const int listener = loopbackSocket(0, port);
    ASSERT_GE(listener, 0);
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);
    const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), length), 0);
    const std::string silent = "rfc2217://127.0.0.1:" + std::to_string(port);

    int pumped = 0;
    Ombrix_PumpSet(&testPump);
    pumpAction() = [&] { ++pumped; };
    start = Clock::now();
    const double cpu = threadCpuMs();
    EXPECT_EQ(open(silent), OMBRIX_E_NOT_OPEN);
    const long long took = msSince(start);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_NO_ANSWER);
    EXPECT_GE(took, 4900);
    EXPECT_LE(took, 6000);
    EXPECT_GE(pumped, took / 20) << "the pump runs about every 10 ms while it connects";
    EXPECT_LT(threadCpuMs() - cpu, 500) << "the wait sleeps";

    // The open is cancelled by its COM number, from a handler or from
    // another thread while no pump runs.
    const int com = Ombrix_PortAdd(silent.c_str(), 100);
    for (bool pumping : {true, false}) {
        Ombrix_PumpSet(pumping ? &testPump : nullptr);
        runInPumpAfter(300ms, [com] { Ombrix_OpenCancel(com); });
        std::thread other([&] {
            std::this_thread::sleep_for(300ms);
            if (!pumping) Ombrix_OpenCancel(com);
        });
        start = Clock::now();
        EXPECT_EQ(Ombrix_PortOpen(com, 5, 1, 0, 0, 0), OMBRIX_E_CANCELLED) << pumping;
        EXPECT_LT(msSince(start), 600) << pumping;
        other.join();
    }
    EXPECT_EQ(Ombrix_PortOpen(999, 5, 1, 0, 0, 0), OMBRIX_E_NO_ROOM) << "the record is free";
    close(filler);
    close(listener);
}

// The watcher sleeps on the connection as on a tty: bytes make one notice,
// telnet commands alone make none.
TEST_F(NetworkTest, TheWatcherIsToldOfDataOnly) {
    Script script;
    script.respond = [](const std::string& text) {
        return text == "QUIET" ? std::vector<Bytes>{{IAC, NOP, IAC, SB, COM_PORT, 107, 0, IAC, SE}}
                               : std::vector<Bytes>{{'O', 'K', '.'}};
    };
    TestServer server(script);
    const int h = open(server.url());
    ASSERT_EQ(h, 0);
    NoticeSink sink{77};
    ASSERT_EQ(Ombrix_RecvStart(h, sink.target(), 77), 0);
    const unsigned char quiet[] = {'Q', 'U', 'I', 'E', 'T'};
    ASSERT_EQ(Ombrix_CmndSend(h, quiet, sizeof quiet), 0);
    EXPECT_EQ(sink.take(300ms), 0);
    const unsigned char speak[] = {'S', 'P', 'E', 'A', 'K'};
    ASSERT_EQ(Ombrix_CmndSend(h, speak, sizeof speak), 0);
    EXPECT_EQ(sink.take(300ms), 1);
    EXPECT_EQ(Ombrix_RecvChk(h), 3);
    Ombrix_RecvStop(h);
}

}  // namespace
}  // namespace tavorin::test
