// A real ser2net in front of a serial device (the virtual scanner's
// pseudo-terminal, say), started by a test on a free port of the loopback
// with a configuration file of its own, and stopped again: the network
// ports' tests, benchmarks and window tests reach their scanner through it.
#pragma once

#include <sys/types.h>

#include <string>

namespace tavorin::test {

class Ser2net {
  public:
    enum class Kind {
        Rfc2217,  // telnet with the Com Port Control option: rfc2217://127.0.0.1:PORT
        Raw,      // the bare byte stream: socket://127.0.0.1:PORT
    };

    // Starts `ser2net -n` serving `device` at `line` (ser2net's spelling,
    // "9600n81") on a free port of 127.0.0.1, and returns once it listens.
    // Throws std::runtime_error when ser2net is missing or does not listen
    // within 5 s.
    Ser2net(const std::string& device, Kind kind, const std::string& line = "9600n81");
    // Stops it as stop() does and removes its files.
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    int port() const { return port_; }
    // The network name a port alias leads to: rfc2217://127.0.0.1:PORT or
    // socket://127.0.0.1:PORT.
    std::string url() const;
    // What ser2net printed (its standard output and error).
    std::string log() const;

    // Ends ser2net (SIGTERM; SIGKILL if it has not ended after 3 s) and
    // waits for it. A connected client sees its connection closed at once.
    // Idempotent.
    void stop();

  private:
    std::string dir_;
    int port_ = 0;
    Kind kind_;
    pid_t pid_ = -1;
};

// A TCP socket on a port of 127.0.0.1 that nothing used, its number in
// `port`: listening with `backlog`, or only bound when `backlog` is
// negative. -1 when it cannot be had.
int loopbackSocket(int backlog, int& port);

// A port of 127.0.0.1 that nothing used a moment ago.
int freeLoopbackPort();

// A client's connection to TCP `port` of 127.0.0.1 (another program that
// holds a server's port), or -1.
int connectedTo(int port);

}  // namespace tavorin::test
