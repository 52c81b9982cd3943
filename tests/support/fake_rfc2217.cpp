#include "fake_rfc2217.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "ser2net_server.h"

namespace tavorin::test {

using namespace telnet;
using namespace std::chrono_literals;

Bytes escaped(const Bytes& data) {
    Bytes out;
    for (unsigned char b : data) {
        out.push_back(b);
        if (b == IAC) out.push_back(IAC);
    }
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

namespace {

void sendAll(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

TestServer::TestServer(Script script) : script_(std::move(script)) {
    listener_ = loopbackSocket(4, port_);
    if (listener_ < 0) throw std::runtime_error("no test server");
    thread_ = std::thread([this] { serve(); });
}

TestServer::~TestServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
}

std::string TestServer::url() const {
    return std::string(script_.telnet ? "rfc2217" : "socket") +
           "://127.0.0.1:" + std::to_string(port_);
}

std::vector<Bytes> TestServer::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

void TestServer::serve() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 20) != 1) continue;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        session(fd);
        close(fd);
    }
}

void TestServer::session(int fd) {
    // Its side of the negotiation at once, as ser2net does: binary and
    // suppress-go-ahead both ways, and its word on the option.
    if (script_.opening) {
        sendAll(fd, *script_.opening);
    } else if (script_.telnet) {
        const unsigned char comPort = script_.refuseComPort ? script_.refuseComPort : DO;
        sendAll(fd, {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, comPort, COM_PORT});
    }
    // The data bytes hold scanner frames: SYN 'M' CR, the text, '.' or
    // '!'. Set once the connection is to end.
    bool done = false;
    std::string data;
    auto onData = [&](unsigned char b) {
        if (b != '.' && b != '!') return data.push_back(static_cast<char>(b));
        const std::size_t frame = data.rfind("\x16M\r");
        const std::string text = frame == std::string::npos ? "" : data.substr(frame + 3);
        data.clear();
        if (text == "BEPBEP?") return sendAll(fd, PtyPeer::standardGreeting());
        for (const Bytes& part : script_.respond ? script_.respond(text) : std::vector<Bytes>{}) {
            sendAll(fd, part);
            std::this_thread::sleep_for(5ms);
        }
        done = script_.closeAfterResponse;
    };
    // A Com Port Control command is noted, and answered with its code
    // plus 100 and its value (or the script's) unless the script says
    // otherwise.
    auto onCommand = [&](const Bytes& payload) {
        {
            std::lock_guard lock(mutex_);
            commands_.push_back(payload);
        }
        if (payload.size() < 2 || payload[0] != COM_PORT || script_.unanswered.count(payload[1]))
            return;
        const auto other = script_.answerWith.find(payload[1]);
        const Bytes value = other != script_.answerWith.end()
                                ? other->second
                                : Bytes(payload.begin() + 2, payload.end());
        sendAll(fd, Bytes{IAC, SB, COM_PORT, static_cast<unsigned char>(payload[1] + 100)} +
                        escaped(value) + Bytes{IAC, SE});
    };
    enum { Data, Command, Option, Sub, SubIac } state = Data;
    Bytes sub;
    while (!stop_ && !done) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) != 1) continue;
        unsigned char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return;
        for (ssize_t i = 0; i < n && !done; ++i) {
            const unsigned char b = buf[i];
            if (!script_.telnet || (state == Data && b != IAC)) {
                onData(b);
            } else if (state == Data) {
                state = Command;
            } else if (state == Command) {
                // The client's requests are answered by the opening.
                state = b == SB ? Sub : b >= WILL && b != IAC ? Option : Data;
                if (b == IAC) onData(IAC);
                sub.clear();
            } else if (state == Option) {
                state = Data;
            } else if (state == Sub) {
                if (b == IAC) state = SubIac;
                if (b != IAC) sub.push_back(b);
            } else {
                state = b == SE ? Data : Sub;
                if (b == SE) onCommand(sub);
                if (b != SE) sub.push_back(b);
            }
        }
    }
}

}  // namespace tavorin::test
