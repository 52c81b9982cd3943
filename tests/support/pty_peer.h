// A scanner played by a test: the master side of a pseudo-terminal whose
// slave is reachable as COM<n> through a private port directory. Every byte
// the code under test writes is recorded; complete command frames are handed
// to a responder that decides what the "scanner" answers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavorin::test {

using Bytes = std::vector<unsigned char>;

inline Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Gives the calling process its own port directory: a fresh XDG_RUNTIME_DIR
// with an ombrix/ folder in it, removed again on destruction.
class PortDirectory {
  public:
    PortDirectory();
    ~PortDirectory();
    PortDirectory(const PortDirectory&) = delete;
    PortDirectory& operator=(const PortDirectory&) = delete;

    const std::string& runtimeDir() const { return runtime_; }
    std::string aliasPath(int com) const;
    // Makes COM<com> a symbolic link to `target`.
    void alias(int com, const std::string& target) const;

  private:
    std::string runtime_;
    std::string previous_;
    bool hadPrevious_ = false;
};

class PtyPeer {
  public:
    // What the scanner answers to one command frame's text (without SYN 'M'
    // CR and without the '.' or '!' that ended it; `terminator` says which).
    using Responder = std::function<Bytes(const std::string& text, char terminator)>;

    // Opens the pair and registers the slave as COM<com> in `dir`. The peer
    // answers the greeting with "BEPBEP" '0' ACK '.' until told otherwise.
    PtyPeer(const PortDirectory& dir, int com);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    int com() const { return com_; }
    const std::string& slavePath() const { return slave_; }

    void setResponder(Responder r);
    // The responder that answers only the greeting, with the given bytes.
    static Responder greeting(Bytes answer);
    static Bytes standardGreeting();
    // An image reply as the scanner ships it: SYN 0xFE, the length of the
    // sub-header and the file (32 bits, least significant byte first), CR,
    // the sub-header (GS is appended), the file, then the closing reply.
    static Bytes imageReply(const std::string& subHeader, const Bytes& file,
                            const std::string& closing);

    // Sends bytes to the code under test.
    void send(const Bytes& data);
    void send(const std::string& data) { send(bytes(data)); }

    // Everything the code under test wrote so far.
    Bytes wire() const;
    void clearWire();
    // Waits until the wire holds at least `count` bytes.
    bool waitWire(std::size_t count, std::chrono::milliseconds limit);
    // Waits until `count` complete command frames were seen.
    bool waitFrames(std::size_t count, std::chrono::milliseconds limit);
    std::size_t frames() const;

    // Closes the master side: the slave hangs up, as a pulled USB adapter.
    void hangUp();

    // Makes the scanner slow to read: after each read it leaves what the
    // code under test writes in the line for `delay` before reading again.
    void setReadDelay(std::chrono::milliseconds delay) {
        readDelayMs_ = static_cast<int>(delay.count());
    }

  private:
    void readLoop();
    void parse(unsigned char byte);

    int com_;
    int master_ = -1;
    int slaveKeep_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::string slave_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Bytes wire_;
    std::size_t frames_ = 0;
    Responder responder_;
    std::mutex writeMutex_;

    // Frame parser state.
    int state_ = 0;
    std::string text_;

    std::atomic<bool> hungUp_{false};
    std::atomic<int> readDelayMs_{0};
    std::thread reader_;
};

// Milliseconds elapsed since `start`.
inline long long msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

}  // namespace tavorin::test
