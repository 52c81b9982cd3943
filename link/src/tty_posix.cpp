// The serial device on POSIX: a tty opened non-blocking, configured with
// termios, waited on with poll() and, for the watcher, with an edge-triggered
// epoll set.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "device.h"
#include "device_buffers.h"
#include "posix_support.h"

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

class PosixDevice final : public Device {
  public:
    PosixDevice(int fd, const WaitFds& waits)
        : fd_(fd), wakeFd_(waits.wake), interruptFd_(waits.interrupt), epollFd_(waits.epoll) {}

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
            const Wait slept = sleepInterruptible(interruptFd_, closing_,
                                                  std::clamp(line_.msToSend(held), 1, left));
            if (slept != Wait::Timeout) return slept;
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
        return waitEpollArrival(epollFd_, wakeFd_, closing_, timeoutMs);
    }

    Wait waitWake(int timeoutMs) override {
        // Held shared for the whole wait, as in waitArrival(). The device is
        // polled for no event at all: the tty wakes only waiters that asked
        // for input when bytes come, and its hang-up is reported anyway.
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        return waitWakeOnly(fd_, 0, wakeFd_, closing_, timeoutMs);
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
        const std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
        Wait ended = Wait::Timeout;
        const int revents =
            pollOrSignal(fd_, what, interruptible ? interruptFd_ : -1, closing_, deadline, ended);
        if (revents < 0) return ended;
        return revents & (POLLHUP | POLLERR | POLLNVAL) ? Wait::Gone : Wait::Ready;
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

    // The tty wakes its waiters on every batch of received input, so the
    // watcher's edge-triggered wait ends on new arrivals only.
    WaitFds waits;
    if (!makeWaitFds(fd, EPOLLIN, waits)) {
        (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
        error = OpenError::NoEvent;
        return nullptr;
    }
    error = OpenError::None;
    return std::make_shared<PosixDevice>(fd, waits);
}

}  // namespace ombrix
