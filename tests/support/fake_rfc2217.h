// A network port's server of the test's own, on the loopback, for what a
// real one will not do on demand: it answers the telnet negotiation (or
// refuses the Com Port Control option), answers the line's settings as
// asked, with other values or not at all, and plays a scanner whose replies
// it sends as the case says -- cut into separate writes, with telnet
// commands among the bytes, or broken off by a close. As a raw server it
// may still open with telnet negotiation, as a telnet port given the wrong
// scheme does. It shares no code with the library: a fault on one side must
// not hide the same fault on the other.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pty_peer.h"

namespace tavorin::test {

namespace telnet {
constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr unsigned char NOP = 241, COM_PORT = 44;
}  // namespace telnet

// The scanner's bytes as they travel in a telnet session: 0xFF doubled.
Bytes escaped(const Bytes& data);
Bytes operator+(Bytes a, const Bytes& b);

struct Script {
    bool telnet = true;
    // What the server sends as soon as a client connects; unset: a telnet
    // server's side of the negotiation (as ser2net's), a raw server nothing.
    std::optional<Bytes> opening;
    unsigned char refuseComPort = 0;  // DONT or WONT to the client's WILL, else DO
    std::set<int> unanswered;         // Com Port Control commands it never answers
    std::map<int, Bytes> answerWith;  // commands it answers with this value, not the one asked
    // The writes that answer a command frame (its text), each sent alone
    // after a short pause; already in wire form. The greeting is answered
    // by the server itself.
    std::function<std::vector<Bytes>(const std::string&)> respond;
    bool closeAfterResponse = false;
};

class TestServer {
  public:
    explicit TestServer(Script script);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // rfc2217://127.0.0.1:PORT, or socket://... for a raw server.
    std::string url() const;
    int port() const { return port_; }
    // The Com Port Control commands the client sent, in order (code, value).
    std::vector<Bytes> commands() const;

  private:
    void serve();
    void session(int fd);

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Bytes> commands_;
};

}  // namespace tavorin::test
