// The serial device on POSIX: a tty opened non-blocking, configured with
// termios, waited on with poll() and, for the watcher, with an edge-triggered
// epoll set.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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
#include <vector>

#include "device.h"
#include "device_buffers.h"

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
    PosixDevice(int fd, int wakeFd, int interruptFd, int epollFd)
        : fd_(fd), wakeFd_(wakeFd), interruptFd_(interruptFd), epollFd_(epollFd) {}

    ~PosixDevice() override {
        close();
        ::close(wakeFd_);
        ::close(interruptFd_);
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
        line_ = line;
    }

    // TIOCOUTQ counts what the driver still holds for the line. tcdrain()
    // would wait for the same, but cannot be given a limit, and a line held
    // by flow control never drains. A pseudo-terminal hands every write
    // straight to the other side and always answers 0; its "output queue"
    // is the master's unread input, which only a purge of the output could
    // destroy, and no longer does.
    Wait waitOutputDrained(int timeoutMs) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        const std::int64_t deadline = tickMs() + (timeoutMs < 0 ? 0 : timeoutMs);
        for (;;) {
            int held = 0;
            if (ioctl(fd_, TIOCOUTQ, &held) != 0) return Wait::Gone;
            if (held <= 0) return Wait::Ready;
            int left = remainingMs(deadline);
            if (left == 0) return Wait::Timeout;
            // Sleep about as long as the bytes take at the line's speed, so
            // that a long queue costs a handful of wake-ups, not a spin.
            pollfd p = {interruptFd_, POLLIN, 0};
            int n = ::poll(&p, 1, std::clamp(line_.msToSend(held), 1, left));
            if (n > 0) {
                std::uint64_t count;
                (void)!::read(interruptFd_, &count, sizeof count);
                return closing_.load() ? Wait::Gone : Wait::Woken;
            }
            if (n < 0 && errno != EINTR) return Wait::Gone;
        }
    }

    void purge(bool input, bool output) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return;
        int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        (void)tcflush(fd_, which);
        if (input) ahead_.clear();
    }

    int queued() override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -1;
        int n = 0;
        // A hung-up tty (the far side of a pty closed, a USB adapter pulled)
        // fails FIONREAD with EIO: that is the device vanishing.
        if (ioctl(fd_, FIONREAD, &n) != 0) return -1;
        return (n < 0 ? 0 : n) + static_cast<int>(ahead_.held());
    }

    IoResult read(unsigned char* buffer, std::size_t size) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return {Io::Gone, 0};
        return ahead_.read(buffer, size, [this](unsigned char* into, std::size_t most) {
            return readFd(into, most);
        });
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
        if (ahead_.held() > 0) return Wait::Ready;
        return pollFor(POLLIN, timeoutMs);
    }
    Wait waitWritable(int timeoutMs) override { return pollFor(POLLOUT, timeoutMs); }

    Wait waitReadableOrInterrupted(int timeoutMs) override {
        if (ahead_.held() > 0) return Wait::Ready;
        return pollFor(POLLIN, timeoutMs, true);
    }
    Wait waitWritableOrInterrupted(int timeoutMs) override {
        return pollFor(POLLOUT, timeoutMs, true);
    }

    void interrupt() override {
        std::uint64_t one = 1;
        (void)!::write(interruptFd_, &one, sizeof one);
    }

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

    Wait waitWake(int timeoutMs) override {
        // Held shared for the whole wait, as in waitArrival().
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
        for (;;) {
            // The device is polled for no event at all: poll() reports its
            // hang-up and errors whatever was asked, and the tty wakes only
            // waiters that asked for input when bytes come, so arrivals
            // leave this thread asleep in the kernel.
            pollfd p[2] = {{fd_, 0, 0}, {wakeFd_, POLLIN, 0}};
            int n = ::poll(p, 2, remainingMs(deadline));
            if (n < 0) {
                if (errno == EINTR) continue;
                return Wait::Gone;
            }
            if (n == 0) return Wait::Timeout;
            if (p[1].revents & POLLIN) {
                std::uint64_t count;
                (void)!::read(wakeFd_, &count, sizeof count);
                return closing_.load() ? Wait::Gone : Wait::Woken;
            }
            return Wait::Gone;
        }
    }

    void wake() override {
        std::uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }

    void close() override {
        // Wake a watcher first so that it leaves its wait and lets go of the
        // shared lock; only then can the exclusive lock be had.
        // The calling thread's interruptible wait is released the same way.
        closing_.store(true);
        wake();
        interrupt();
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

    // One poll() on the device and, for an interruptible wait, on the
    // interrupt counter as well: the thread sleeps in the kernel until one
    // of them fires or the time is up, and costs nothing meanwhile.
    Wait pollFor(short what, int timeoutMs, bool interruptible = false) {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
        for (;;) {
            pollfd p[2] = {{fd_, what, 0}, {interruptFd_, POLLIN, 0}};
            int n = ::poll(p, interruptible ? 2 : 1, remainingMs(deadline));
            if (n < 0) {
                if (errno == EINTR) continue;
                return Wait::Gone;
            }
            if (n == 0) return Wait::Timeout;
            if (interruptible && (p[1].revents & POLLIN)) {
                // Taken back here, so that one interrupt ends one wait.
                std::uint64_t count;
                (void)!::read(interruptFd_, &count, sizeof count);
                return closing_.load() ? Wait::Gone : Wait::Woken;
            }
            if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return Wait::Gone;
            return Wait::Ready;
        }
    }

    std::shared_mutex mutex_;
    ReadAhead ahead_;
    std::atomic<bool> closing_{false};
    LineSettings line_;
    int fd_;
    const int wakeFd_;
    // Separate from wakeFd_: the watcher takes its wake-ups back, and must
    // neither steal a cancel meant for the calling thread nor lose its own.
    const int interruptFd_;
    int epollFd_;
};

}  // namespace

std::shared_ptr<Device> openDevice(const char* path, OpenError& error) {
    error = OpenError::CannotOpen;
    // Only a character device can be a serial line. Anything else is
    // refused before it is opened: opening a FIFO would release a writer
    // that waits at its other end, and a regular file or socket would take
    // the commands meant for a scanner.
    struct stat st {};
    if (::stat(path, &st) == 0 && !S_ISCHR(st.st_mode)) {
        error = OpenError::NotTerminal;
        return nullptr;
    }
    // No O_CREAT: a missing device must fail, not become a regular file.
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case EACCES:
            case EPERM:
                error = OpenError::Denied;
                break;
            case ENOENT:
            case ENODEV:
            case ENXIO:
                error = OpenError::NoDevice;
                break;
            case EBUSY:  // another user's TIOCEXCL
                error = OpenError::Held;
                break;
            default:
                break;
        }
        return nullptr;
    }
    // The name may have been swapped since the look above, and a character
    // device may be no terminal (/dev/null): the descriptor decides.
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd)) {
        ::close(fd);
        error = OpenError::NotTerminal;
        return nullptr;
    }
    // TIOCEXCL keeps other ordinary users from opening the tty while we hold
    // it (root is exempt); the advisory lock is what other well-behaved
    // serial programs -- and a second open of ours -- respect.
    (void)ioctl(fd, TIOCEXCL);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
        error = OpenError::Held;
        return nullptr;
    }

    error = OpenError::NoEvent;
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int interruptFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    bool ok = wakeFd >= 0 && interruptFd >= 0 && epollFd >= 0;
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
        if (interruptFd >= 0) ::close(interruptFd);
        if (epollFd >= 0) ::close(epollFd);
        (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
        return nullptr;
    }
    error = OpenError::None;
    return std::make_shared<PosixDevice>(fd, wakeFd, interruptFd, epollFd);
}

namespace {

// A write to a pipe whose reader has gone raises SIGPIPE, which would end
// the whole program. While a guard lives the signal is blocked on the
// calling thread, and one that our own write raised is taken back before it
// is unblocked.
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
    }
    ~SigpipeGuard() {
        if (raised_) {
            timespec zero{0, 0};
            while (sigtimedwait(&pipeOnly_, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;
    // Called after a write failed with EPIPE.
    void raised() { raised_ = true; }

  private:
    sigset_t pipeOnly_;
    sigset_t previous_;
    bool raised_ = false;
};

bool writeAll(int fd, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes into a temporary that replaces the target on commit.
class ReplacingFile final : public BatchedFile {
  public:
    ReplacingFile(int dirFd, int fd, std::string temp, std::string name)
        : dirFd_(dirFd), fd_(fd), temp_(std::move(temp)), name_(std::move(name)) {}

    ~ReplacingFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlinkat(dirFd_, temp_.c_str(), 0);
        ::close(dirFd_);
    }

    bool commit() override {
        // fsync before the rename: otherwise a power loss right after it
        // can leave an empty file under the user's name, which is exactly
        // what writing to a temporary is meant to prevent.
        if (!flush() || ::fsync(fd_) != 0) return false;
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return false;
        if (::renameat(dirFd_, temp_.c_str(), dirFd_, name_.c_str()) != 0) return false;
        committed_ = true;
        return true;
    }

  private:
    bool writeThrough(const unsigned char* bytes, std::size_t size) override {
        return writeAll(fd_, bytes, size);
    }

    int dirFd_;
    int fd_;
    std::string temp_;
    std::string name_;
    bool committed_ = false;
};

// Writes the held picture into the target itself, opened before the
// transfer.
class DirectFile final : public HeldFile {
  public:
    DirectFile(int fd, bool regular) : fd_(fd), regular_(regular) {}
    ~DirectFile() override { ::close(fd_); }

  private:
    bool writeOut(const unsigned char* bytes, std::size_t size) override {
        if (regular_) {
            return ::lseek(fd_, 0, SEEK_SET) == 0 && writeAll(fd_, bytes, size) &&
                   ::ftruncate(fd_, static_cast<off_t>(size)) == 0 && ::fsync(fd_) == 0;
        }
        // A FIFO or a device: no length to set and nothing to sync.
        SigpipeGuard guard;
        bool ok = writeAll(fd_, bytes, size);
        if (!ok && errno == EPIPE) guard.raised();
        return ok;
    }

    int fd_;
    bool regular_;
};

// Follows symbolic links in the last component of `path` until it names
// something that is not a link, or nothing yet: the user's link stays, its
// final target receives the picture. Directories on the way are resolved by
// the kernel. False for a loop or an unreadable link.
bool followLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n < 0) return errno == EINVAL || errno == ENOENT;
        if (n == 0 || static_cast<std::size_t>(n) == sizeof target) return false;
        std::string next(target, static_cast<std::size_t>(n));
        // A relative link is relative to the directory that holds it.
        std::string::size_type slash = path.rfind('/');
        if (next[0] != '/' && slash != std::string::npos) next = path.substr(0, slash + 1) + next;
        path = std::move(next);
    }
    errno = ELOOP;
    return false;
}

// Creates the temporary in the target's directory, so that the rename stays
// on one file system and is atomic. Its name is hidden, short and of fixed
// length -- a target whose own name uses the whole name limit must still
// have one -- and random, so that two transfers into one directory never
// collide. -1 when the directory refuses.
int createTemporary(int dirFd, std::string& name) {
    std::random_device rd;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char candidate[32];
        std::snprintf(candidate, sizeof candidate, ".ombrix-%08x", static_cast<unsigned>(rd()));
        // 0666 under the umask: a new image gets the permissions any newly
        // created file of the user would have.
        int fd = ::openat(dirFd, candidate, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            name = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// Asks a size-then-fill system call (flistxattr, fgetxattr) for its whole
// answer. The answer can grow between the two calls when another process
// adds to the file meanwhile; then it is asked again. False on a failure,
// such as ENOTSUP from a file system that keeps no extended attributes.
template <class Ask>
bool askWhole(Ask ask, std::vector<char>& answer) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t size = ask(nullptr, 0);
        if (size < 0) return false;
        answer.resize(static_cast<std::size_t>(size));
        if (size == 0) return true;
        ssize_t n = ask(answer.data(), answer.size());
        if (n >= 0) {
            answer.resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;
    }
    return false;
}

// The names of the file's extended attributes, each ended by a zero; none
// where the file system keeps none.
std::vector<char> attributeNames(int fd) {
    std::vector<char> names;
    if (!askWhole([fd](char* list, std::size_t size) { return ::flistxattr(fd, list, size); },
                  names)) {
        names.clear();
    }
    return names;
}

// Calls `each` with every name of a flistxattr list.
template <class Each>
void forEachName(const std::vector<char>& names, Each each) {
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.data() + at;
        std::size_t length = ::strnlen(name, names.size() - at);
        if (length > 0) each(std::string(name, length));
        at += length + 1;
    }
}

// Gives the temporary the replaced file's extended attributes -- its access
// list (system.posix_acl_access), the user's own user.* notes, a security
// label -- and drops any it got by being created (a folder's default access
// list), so that the new picture carries what the old one had, no more and
// no less. Each attribute is copied as far as the process may and the file
// system keeps it: one that cannot be read or set (another user's file,
// a security.* name that needs privileges) is passed over, never a reason to
// fail the picture.
void takeOverExtendedAttributes(int from, int to) {
    std::vector<char> names = attributeNames(from);
    std::vector<std::string> kept;
    forEachName(names, [&](const std::string& name) { kept.push_back(name); });
    forEachName(attributeNames(to), [&](const std::string& name) {
        if (std::find(kept.begin(), kept.end(), name) == kept.end()) {
            (void)::fremovexattr(to, name.c_str());
        }
    });
    for (const std::string& name : kept) {
        std::vector<char> value;
        auto ask = [&](char* buffer, std::size_t size) {
            return ::fgetxattr(from, name.c_str(), buffer, size);
        };
        if (askWhole(ask, value))
            (void)::fsetxattr(to, name.c_str(), value.data(), value.size(), 0);
    }
}

// Gives the temporary the replaced file's owner, group, extended attributes
// and permission bits, as far as the process may. A set-id bit is kept only
// with the owner or group it belongs to. The attributes go before the mode:
// a file made read-only refuses new user.* attributes even to its owner.
void takeOverAttributes(int fd, int oldFd, const struct stat& old) {
    mode_t mode = old.st_mode & 07777;
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(S_ISUID);
        if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
            mode &= ~static_cast<mode_t>(S_ISGID);
        }
    }
    takeOverExtendedAttributes(oldFd, fd);
    (void)::fchmod(fd, mode);
}

}  // namespace

std::unique_ptr<OutputFile> createOutputFile(const char* path) {
    std::string target(path);
    if (!followLinks(target)) return nullptr;

    std::string::size_type slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty()) return nullptr;
    // Everything below works relative to the directory, so that the name
    // checked is the name replaced even if a directory above is renamed.
    // O_PATH needs no read permission: a directory of mode 0300 still works.
    int dirFd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return nullptr;
    auto refuse = [&]() -> std::unique_ptr<OutputFile> {
        ::close(dirFd);
        return nullptr;
    };

    struct stat old {};
    if (::fstatat(dirFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        // Nothing there yet: a new file, through a temporary.
        if (errno != ENOENT) return refuse();
        std::string temp;
        int fd = createTemporary(dirFd, temp);
        if (fd < 0) return refuse();
        return std::make_unique<ReplacingFile>(dirFd, fd, temp, name);
    }
    // A directory can be neither replaced nor written; a link here was
    // put in after followLinks() looked.
    if (S_ISDIR(old.st_mode) || S_ISLNK(old.st_mode)) return refuse();

    if (!S_ISREG(old.st_mode)) {
        // A FIFO, a device: written directly, never replaced. O_NONBLOCK
        // makes a FIFO without a reader fail now (ENXIO) instead of
        // blocking the transfer forever; the writes themselves may block
        // like any writer's. O_NOCTTY keeps a tty from becoming ours.
        int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return refuse();
        int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        ::close(dirFd);
        return std::make_unique<DirectFile>(fd, false);
    }

    // An existing file that the process may not write stays as it is, even
    // though the directory would let a new file take its name. Opening it
    // (without truncating) asks the kernel, which knows every rule: modes,
    // access lists, read-only mounts, immutable files.
    int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return refuse();

    // In a sticky directory only the file's or the directory's owner may
    // rename over it; that rename would fail only after the whole image
    // was taken from the line.
    struct stat dirSt {};
    uid_t me = ::geteuid();
    bool renameRefused = ::fstat(dirFd, &dirSt) == 0 && (dirSt.st_mode & S_ISVTX) && me != 0 &&
                         old.st_uid != me && dirSt.st_uid != me;
    // A file with more than one name is rewritten in place as well: a
    // rename would give this name a new file and leave the others showing
    // the old picture.
    bool inPlace = renameRefused || old.st_nlink > 1;
    std::string temp;
    int tempFd = inPlace ? -1 : createTemporary(dirFd, temp);
    if (tempFd < 0) {
        // The directory takes no new file: rewrite the file in place.
        ::close(dirFd);
        return std::make_unique<DirectFile>(fd, true);
    }
    takeOverAttributes(tempFd, fd, old);
    ::close(fd);
    return std::make_unique<ReplacingFile>(dirFd, tempFd, temp, name);
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
    SigpipeGuard guard;
    ssize_t n;
    do {
        n = ::write(fd, &message, sizeof message);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EPIPE) guard.raised();
}

void raiseWatcherPriority() {
    // Raising a thread above its peers needs privileges an ordinary user
    // lacks; the watcher sleeps in the kernel and is woken on the arrival
    // itself, which is prompt enough at the default priority.
}

bool defaultPump() {
    // A POSIX program has no per-thread message queue: with no pump
    // registered there is nothing to dispatch.
    return false;
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
