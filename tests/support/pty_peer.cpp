#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace tavorin::test {

namespace fs = std::filesystem;

PortDirectory::PortDirectory() {
    if (const char* old = getenv("XDG_RUNTIME_DIR")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    std::string pattern = (fs::temp_directory_path() / "tavorin-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    runtime_ = pattern;
    // Private whatever the umask: the library ignores a port directory that
    // group or others may write to.
    fs::create_directories(runtime_ + "/ombrix");
    fs::permissions(runtime_ + "/ombrix", fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
}

PortDirectory::~PortDirectory() {
    std::error_code ec;
    fs::remove_all(runtime_, ec);
    if (hadPrevious_) {
        setenv("XDG_RUNTIME_DIR", previous_.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
}

std::string PortDirectory::aliasPath(int com) const {
    return runtime_ + "/ombrix/COM" + std::to_string(com);
}

void PortDirectory::alias(int com, const std::string& target) const {
    std::error_code ec;
    fs::remove(aliasPath(com), ec);
    fs::create_symlink(target, aliasPath(com));
}

Bytes PtyPeer::standardGreeting() {
    return Bytes{'B', 'E', 'P', 'B', 'E', 'P', '0', 0x06, '.'};
}

Bytes PtyPeer::imageReply(const std::string& subHeader, const Bytes& file,
                          const std::string& closing) {
    const std::string sub = subHeader + '\x1d';
    const auto n = static_cast<std::uint32_t>(sub.size() + file.size());
    Bytes r{0x16,
            0xFE,
            static_cast<unsigned char>(n),
            static_cast<unsigned char>(n >> 8),
            static_cast<unsigned char>(n >> 16),
            static_cast<unsigned char>(n >> 24),
            0x0D};
    r.insert(r.end(), sub.begin(), sub.end());
    r.insert(r.end(), file.begin(), file.end());
    r.insert(r.end(), closing.begin(), closing.end());
    return r;
}

PtyPeer::Responder PtyPeer::greeting(Bytes answer) {
    return [answer](const std::string& text, char) { return text == "BEPBEP?" ? answer : Bytes{}; };
}

PtyPeer::PtyPeer(const PortDirectory& dir, int com) : com_(com) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        throw std::runtime_error("posix_openpt failed");
    }
    slave_ = ptsname(master_);
    // Holding a descriptor of the slave keeps the master readable between the
    // library's opens (with no slave open, reads on the master fail with
    // EIO); it also lets the peer start the line raw so nothing is rewritten
    // before the library configures it.
    slaveKeep_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep_ < 0) throw std::runtime_error("cannot open pty slave");
    termios tio{};
    tcgetattr(slaveKeep_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slaveKeep_, TCSANOW, &tio);
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    dir.alias(com, slave_);
    responder_ = greeting(standardGreeting());
    reader_ = std::thread([this] { readLoop(); });
}

PtyPeer::~PtyPeer() {
    (void)!write(stopPipe_[1], "x", 1);
    if (reader_.joinable()) reader_.join();
    close(stopPipe_[0]);
    close(stopPipe_[1]);
    if (slaveKeep_ >= 0) close(slaveKeep_);
    if (master_ >= 0) close(master_);
}

void PtyPeer::setResponder(Responder r) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(r);
}

void PtyPeer::send(const Bytes& data) {
    std::lock_guard lock(writeMutex_);
    std::size_t done = 0;
    while (done < data.size() && !hungUp_) {
        ssize_t n = write(master_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            break;
        }
    }
}

Bytes PtyPeer::wire() const {
    std::lock_guard lock(mutex_);
    return wire_;
}

void PtyPeer::clearWire() {
    std::lock_guard lock(mutex_);
    wire_.clear();
}

bool PtyPeer::waitWire(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return wire_.size() >= count; });
}

bool PtyPeer::waitFrames(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return frames_ >= count; });
}

std::size_t PtyPeer::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

void PtyPeer::hangUp() {
    hungUp_ = true;
    // The reader thread polls the master too; it leaves on the stop pipe, so
    // only then may the descriptors go.
    (void)!write(stopPipe_[1], "x", 1);
    if (reader_.joinable()) reader_.join();
    std::lock_guard lock(writeMutex_);
    close(slaveKeep_);
    slaveKeep_ = -1;
    close(master_);
    master_ = -1;
}

void PtyPeer::parse(unsigned char byte) {
    // Command frames are SYN 'M' CR text ('.' | '!'); the trigger frames are
    // SYN 'T' CR and SYN 'U' CR, reported with the text "T"/"U" and CR as
    // their terminator.
    switch (state_) {
        case 0:
            if (byte == 0x16) state_ = 1;
            return;
        case 1:
            if (byte == 'M' || byte == 'T' || byte == 'U') {
                text_.assign(1, static_cast<char>(byte));
                state_ = 2;
            } else {
                state_ = byte == 0x16 ? 1 : 0;
            }
            return;
        case 2:
            if (byte != '\r') {
                state_ = 0;
                return;
            }
            if (text_ == "M") {
                text_.clear();
                state_ = 3;
                return;
            }
            break;  // a trigger frame is complete
        case 3:
            if (byte != '.' && byte != '!') {
                text_.push_back(static_cast<char>(byte));
                return;
            }
            break;
    }
    char terminator = state_ == 2 ? '\r' : static_cast<char>(byte);
    state_ = 0;
    Bytes answer;
    {
        std::lock_guard lock(mutex_);
        ++frames_;
        if (responder_) answer = responder_(text_, terminator);
    }
    changed_.notify_all();
    if (!answer.empty()) send(answer);
}

void PtyPeer::readLoop() {
    unsigned char buffer[4096];
    for (;;) {
        pollfd p[2] = {{master_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) {
            // POLLHUP with no slave open: nothing to read until one opens.
            // The kept slave descriptor prevents that, so this is an error.
            if (p[0].revents & (POLLERR | POLLNVAL)) return;
            usleep(1000);
            continue;
        }
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return;
        }
        {
            std::lock_guard lock(mutex_);
            wire_.insert(wire_.end(), buffer, buffer + n);
        }
        changed_.notify_all();
        for (ssize_t i = 0; i < n; ++i) parse(buffer[i]);
        // A late reader sleeps on the stop pipe, so that it still ends at once.
        if (int delay = readDelayMs_.load(); delay > 0) {
            pollfd stop = {stopPipe_[0], POLLIN, 0};
            if (poll(&stop, 1, delay) > 0) return;
        }
    }
}

}  // namespace tavorin::test
