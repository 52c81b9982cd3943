// The scanner played for the Windows tests: the same interface as the POSIX
// peer in tests/support, so that the link library's shared tests run on
// both. Under Wine the pseudo-terminal belongs to scanner_peer.py, a Linux
// process started beside the test program (cmake/wine-run.sh); this side
// talks to it over a loopback connection. The scanner's answers are a table
// of command texts, kept and answered by that process so that a reply
// follows its command as quickly as a real scanner's would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavorin::test {

using Bytes = std::vector<unsigned char>;

inline Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The first COM number this test program may use; the ones up to eleven
// above it are its own as well (cmake/wine-run.sh hands out the slots).
int comBase();

// A private folder for the test's files, removed again on destruction. The
// COM ports themselves live in the Wine prefix, kept by the peer process.
class PortDirectory {
  public:
    PortDirectory();
    ~PortDirectory();
    PortDirectory(const PortDirectory&) = delete;
    PortDirectory& operator=(const PortDirectory&) = delete;
    const std::string& runtimeDir() const { return runtime_; }

  private:
    std::string runtime_;
};

class PtyPeer {
  public:
    // Command text (without SYN 'M' CR and the '.' or '!' that ended it)
    // to the scanner's reply; nullptr answers nothing.
    struct Responder {
        Responder() = default;
        Responder(std::nullptr_t) {}
        Responder(std::map<std::string, Bytes> t) : table(std::move(t)) {}
        std::map<std::string, Bytes> table;
    };

    // Opens the pair and registers the slave as COM<com>. The peer answers
    // the greeting with "BEPBEP" '0' ACK '.' until told otherwise.
    PtyPeer(const PortDirectory& dir, int com);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    int com() const { return com_; }

    void setResponder(Responder r);
    static Responder greeting(Bytes answer);
    static Bytes standardGreeting();

    void send(const Bytes& data);
    void send(const std::string& data) { send(bytes(data)); }

    Bytes wire() const;
    void clearWire();
    bool waitWire(std::size_t count, std::chrono::milliseconds limit);
    bool waitFrames(std::size_t count, std::chrono::milliseconds limit);
    std::size_t frames() const;

    // Closes the master side: the slave hangs up, as a pulled USB adapter.
    void hangUp();

    // Makes the scanner slow to read: after each read it leaves what the
    // code under test writes in the line for `delay` before reading again.
    void setReadDelay(std::chrono::milliseconds delay);

  private:
    void request(const std::string& line) const;
    void readLoop();

    int com_;
    std::uintptr_t socket_;
    mutable std::mutex mutex_;
    mutable std::mutex requestMutex_;
    mutable std::condition_variable changed_;
    Bytes wire_;
    std::size_t frames_ = 0;
    mutable std::size_t acks_ = 0;
    bool lost_ = false;
    std::thread reader_;
};

inline long long msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace tavorin::test
