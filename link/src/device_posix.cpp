// The serial device on POSIX: a tty opened non-blocking, configured with
// termios, waited on with poll() and, for the watcher, with an edge-triggered
// epoll set.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>

#include "device.h"

namespace ombrix {
namespace {

speed_t speedCode(int baud) {
    switch (baud) {
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;
    }
}

// poll() and epoll_wait() take an int of milliseconds where negative means
// forever; EINTR from a signal handler of the host program just repeats the
// wait with what is left.
int remainingMs(std::int64_t deadline) {
    if (deadline < 0) return -1;
    std::int64_t left = deadline - tickMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

class PosixDevice final : public Device {
  public:
    PosixDevice(int fd, int wakeFd, int epollFd) : fd_(fd), wakeFd_(wakeFd), epollFd_(epollFd) {}

    ~PosixDevice() override {
        close();
        ::close(wakeFd_);
    }

    void configure(const LineSettings& line) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return;
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) return;
        // Raw mode: without it the line discipline rewrites CR, echoes,
        // swallows 0x11/0x13 and, in canonical mode, drops input past 4095
        // bytes -- fatal for binary image data.
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
        tio.c_cflag |= line.dataBits == 7 ? CS7 : CS8;
        if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
        if (line.parity == 'E') tio.c_cflag |= PARENB;
        if (line.parity == 'O') tio.c_cflag |= PARENB | PARODD;
        if (line.rtsCts) tio.c_cflag |= CRTSCTS;
        // Software flow control is both directions or none. A stale IXOFF
        // left by another program would make the driver inject XON/XOFF
        // bytes into the scanner's input, so it is cleared as well.
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        if (line.xonXoff) tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
        // VMIN 1 / VTIME 0: readable as soon as one byte is in; the reads
        // themselves never block because the descriptor is non-blocking.
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        cfsetispeed(&tio, speedCode(line.baud));
        cfsetospeed(&tio, speedCode(line.baud));
        (void)tcsetattr(fd_, TCSANOW, &tio);

        // DTR always on; RTS follows the hardware flow choice. A
        // pseudo-terminal has no modem lines and answers ENOTTY, which is
        // as harmless as a driver that ignores the request.
        int dtr = TIOCM_DTR;
        int rts = TIOCM_RTS;
        (void)ioctl(fd_, TIOCMBIS, &dtr);
        (void)ioctl(fd_, line.rtsCts ? TIOCMBIS : TIOCMBIC, &rts);
    }

    void purge(bool input, bool output) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return;
        int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        (void)tcflush(fd_, which);
        if (input) {
            std::lock_guard ahead(aheadMutex_);
            aheadBegin_ = aheadEnd_ = 0;
        }
    }

    int queued() override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -1;
        int n = 0;
        // A hung-up tty (the far side of a pty closed, a USB adapter pulled)
        // fails FIONREAD with EIO: that is the device vanishing.
        if (ioctl(fd_, FIONREAD, &n) != 0) return -1;
        std::lock_guard ahead(aheadMutex_);
        return (n < 0 ? 0 : n) + static_cast<int>(aheadEnd_ - aheadBegin_);
    }

    IoResult read(unsigned char* buffer, std::size_t size) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return {Io::Gone, 0};
        std::lock_guard ahead(aheadMutex_);
        if (aheadBegin_ == aheadEnd_) {
            // Large reads go straight to the caller. Small ones -- replies
            // are taken a byte at a time, image chunks a kilobyte -- fill a
            // read-ahead block first, so that a fast line costs one system
            // call per block instead of one per byte. What the block holds
            // still counts as queued and is discarded by a purge, so the
            // rest of the library sees exactly the driver's queue.
            if (size >= sizeof ahead_) return readFd(buffer, size);
            IoResult r = readFd(ahead_, sizeof ahead_);
            if (r.status != Io::Ok) return r;
            aheadBegin_ = 0;
            aheadEnd_ = r.count;
        }
        std::size_t n = std::min(size, aheadEnd_ - aheadBegin_);
        std::memcpy(buffer, ahead_ + aheadBegin_, n);
        aheadBegin_ += n;
        return {Io::Ok, n};
    }

    IoResult write(const unsigned char* bytes, std::size_t size) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return {Io::Gone, 0};
        for (;;) {
            ssize_t n = ::write(fd_, bytes, size);
            if (n >= 0) {
                return n == 0 ? IoResult{Io::WouldBlock, 0}
                              : IoResult{Io::Ok, static_cast<std::size_t>(n)};
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::WouldBlock, 0};
            return {errno == EIO ? Io::Gone : Io::Error, 0};
        }
    }

    Wait waitReadable(int timeoutMs) override {
        {
            std::lock_guard ahead(aheadMutex_);
            if (aheadBegin_ != aheadEnd_) return Wait::Ready;
        }
        return pollFor(POLLIN, timeoutMs);
    }
    Wait waitWritable(int timeoutMs) override { return pollFor(POLLOUT, timeoutMs); }

    Wait waitArrival(int timeoutMs) override {
        // Held shared for the whole wait: close() takes it exclusively, so
        // it cannot close the descriptors while this thread sleeps on them
        // and the numbers cannot be recycled under it.
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
        for (;;) {
            epoll_event events[2];
            int n = epoll_wait(epollFd_, events, 2, remainingMs(deadline));
            if (n < 0) {
                if (errno == EINTR) continue;
                return Wait::Gone;
            }
            if (n == 0) return Wait::Timeout;
            Wait result = Wait::Timeout;
            for (int i = 0; i < n; ++i) {
                if (events[i].data.fd == wakeFd_) {
                    std::uint64_t count;
                    (void)!::read(wakeFd_, &count, sizeof count);
                    result = Wait::Woken;
                } else if (events[i].events & (EPOLLHUP | EPOLLERR)) {
                    return Wait::Gone;
                } else if (result != Wait::Woken) {
                    result = Wait::Ready;
                }
            }
            if (closing_.load()) return Wait::Gone;
            return result;
        }
    }

    void wake() override {
        std::uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }

    void close() override {
        // Wake a watcher first so that it leaves its wait and lets go of the
        // shared lock; only then can the exclusive lock be had.
        closing_.store(true);
        wake();
        std::unique_lock lock(mutex_);
        if (fd_ < 0) return;
        // The exclusive-open flag outlives this descriptor when another
        // descriptor of the same tty stays open (a test's or a daemon's),
        // and would then lock out later opens by ordinary users.
        (void)ioctl(fd_, TIOCNXCL);
        ::close(epollFd_);
        ::close(fd_);
        fd_ = -1;
        epollFd_ = -1;
    }

  private:
    IoResult readFd(unsigned char* buffer, std::size_t size) {
        for (;;) {
            ssize_t n = ::read(fd_, buffer, size);
            if (n > 0) return {Io::Ok, static_cast<std::size_t>(n)};
            // With VMIN 1 a read of 0 is end of file: the line hung up.
            if (n == 0) return {Io::Gone, 0};
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::WouldBlock, 0};
            return {errno == EIO ? Io::Gone : Io::Error, 0};
        }
    }

    Wait pollFor(short what, int timeoutMs) {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
        for (;;) {
            pollfd p{fd_, what, 0};
            int n = ::poll(&p, 1, remainingMs(deadline));
            if (n < 0) {
                if (errno == EINTR) continue;
                return Wait::Gone;
            }
            if (n == 0) return Wait::Timeout;
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return Wait::Gone;
            return Wait::Ready;
        }
    }

    std::shared_mutex mutex_;
    std::mutex aheadMutex_;
    unsigned char ahead_[4096];
    std::size_t aheadBegin_ = 0;
    std::size_t aheadEnd_ = 0;
    std::atomic<bool> closing_{false};
    int fd_;
    const int wakeFd_;
    int epollFd_;
};

}  // namespace

std::shared_ptr<Device> openDevice(const char* path, OpenError& error) {
    error = OpenError::CannotOpen;
    // No O_CREAT: a missing device must fail, not become a regular file.
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (!isatty(fd)) {
        ::close(fd);
        return nullptr;
    }
    // TIOCEXCL keeps other ordinary users from opening the tty while we hold
    // it (root is exempt); the advisory lock is what other well-behaved
    // serial programs -- and a second open of ours -- respect.
    (void)ioctl(fd, TIOCEXCL);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
        return nullptr;
    }

    error = OpenError::NoEvent;
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    bool ok = wakeFd >= 0 && epollFd >= 0;
    if (ok) {
        // Edge-triggered on the device: the tty wakes its waiters on every
        // batch of received input, so each wait ends on new arrivals only,
        // never on bytes that were already queued.
        epoll_event dev{};
        dev.events = EPOLLIN | EPOLLET;
        dev.data.fd = fd;
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.fd = wakeFd;
        ok = epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &dev) == 0 &&
             epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) == 0;
    }
    if (!ok) {
        if (wakeFd >= 0) ::close(wakeFd);
        if (epollFd >= 0) ::close(epollFd);
        (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
        return nullptr;
    }
    error = OpenError::None;
    return std::make_shared<PosixDevice>(fd, wakeFd, epollFd);
}

namespace {

class PosixOutputFile final : public OutputFile {
  public:
    PosixOutputFile(int fd, std::string temp, std::string target)
        : fd_(fd), temp_(std::move(temp)), target_(std::move(target)) {}

    ~PosixOutputFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(temp_.c_str());
    }

    bool write(const unsigned char* bytes, std::size_t size) override {
        // Chunks arrive a kilobyte at a time; collecting them saves a
        // system call per chunk on a fast line.
        if (used_ + size > sizeof buffer_ && !flush()) return false;
        if (size >= sizeof buffer_) return writeAll(bytes, size);
        std::memcpy(buffer_ + used_, bytes, size);
        used_ += size;
        return true;
    }

    bool commit() override {
        // fsync before the rename: otherwise a power loss right after it
        // can leave an empty file under the user's name, which is exactly
        // what writing to a temporary is meant to prevent.
        if (!flush() || ::fsync(fd_) != 0) return false;
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return false;
        if (::rename(temp_.c_str(), target_.c_str()) != 0) return false;
        committed_ = true;
        return true;
    }

  private:
    bool flush() {
        bool ok = writeAll(buffer_, used_);
        used_ = 0;
        return ok;
    }

    bool writeAll(const unsigned char* bytes, std::size_t size) {
        while (size > 0) {
            ssize_t n = ::write(fd_, bytes, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    unsigned char buffer_[64 * 1024];
    std::size_t used_ = 0;
    int fd_;
    std::string temp_;
    std::string target_;
    bool committed_ = false;
};

}  // namespace

std::unique_ptr<OutputFile> createOutputFile(const char* path) {
    std::string target(path);
    // A target that is a directory could never be replaced by the rename;
    // refuse it now, before any data is read, as a failed create would.
    struct stat st {};
    if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return nullptr;

    std::string::size_type slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) return nullptr;

    // The temporary lives in the target's directory so that the rename
    // stays on one file system and is atomic. It is hidden and carries a
    // random part, so two transfers into one directory never collide.
    std::random_device rd;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x.part", static_cast<unsigned>(rd()));
        std::string temp = dir + "." + base + suffix;
        // 0666 under the umask: the finished image gets the permissions any
        // newly created file of the user would have.
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return std::make_unique<PosixOutputFile>(fd, temp, target);
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

void postNotice(std::intptr_t target, std::uint32_t message) {
    int fd = static_cast<int>(target);
    // A socket takes a non-blocking send that cannot raise SIGPIPE.
    if (::send(fd, &message, sizeof message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return;
    if (errno != ENOTSOCK) return;
    // A pipe's O_NONBLOCK belongs to the client's open file, so it is not
    // ours to change. Writing only when poll() reports room keeps the write
    // from blocking: four bytes are below PIPE_BUF and go in whole.
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ||
        !(p.revents & POLLOUT)) {
        return;
    }
    // A pipe whose reader has gone raises SIGPIPE, which would end the whole
    // program. The signal is blocked on this thread (the watcher's own) and
    // a pending one is taken back before it is unblocked.
    sigset_t pipeOnly, previous;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    ssize_t n;
    do {
        n = ::write(fd, &message, sizeof message);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EPIPE) {
        timespec zero{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &zero) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

std::int64_t tickMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace ombrix
