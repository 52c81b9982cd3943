// The network device on POSIX: a TCP connection to a serial device server.
// It stands where a tty would: the same waits sleep in poll() on the
// connection, and a closed or reset connection is a vanished device. What
// the stream carries besides the scanner's bytes is its codec's business --
// the bare stream of socket://, or the telnet session of rfc2217://, whose
// commands are taken out before the core sees a byte -- so that one
// transport serves both kinds of port.
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>

#include "device.h"
#include "posix_support.h"
#include "stream_codec.h"

namespace ombrix {
namespace {

// The whole open -- name, connection, telnet negotiation -- gets this long.
constexpr int kOpenLimitMs = 5000;
// How long the open waits for the server's answers to the line's settings
// once it has sent them. A server on the other side of the world answers
// well within it; one that never answers some of them (ser2net does not
// answer SET-CONTROL on a pseudo-terminal) costs no more than this.
constexpr int kAnswerLimitMs = 1000;
// The slice an open's waits are cut into: the caller's pump runs and its
// cancel is seen at least this often.
constexpr int kOpenSliceMs = 10;
// Keep-alive: probes after this many seconds of silence, this many seconds
// apart, this many unanswered before the connection counts as dead -- a
// server that died without a word is noticed within a minute. Bytes sent
// and never acknowledged end it after the user time-out.
constexpr int kKeepIdleS = 20;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 4;
constexpr unsigned kUserTimeoutMs = 40000;
// How long a close waits for the server to end its side of the connection.
constexpr int kCloseLimitMs = 250;
// One recv() takes at most this much; a read pulls until the socket is
// empty.
constexpr std::size_t kPullBlock = 16384;

void setOption(int fd, int level, int name, int value) {
    (void)setsockopt(fd, level, name, &value, sizeof value);
}

// An open's wait for `fd` to show one of `events`, in slices: before each
// the caller's pump runs and its cancel is looked at. None once the
// descriptor is ready; else Cancelled, NoAnswer once the deadline has come
// (however busy the descriptor), or `failed` when poll() fails.
OpenError waitInSlices(int fd, short events, const OpenWait& wait, std::int64_t deadline,
                       OpenError failed) {
    for (;;) {
        if (wait.pump) (void)wait.pump();
        if (wait.cancelled && wait.cancelled()) return OpenError::Cancelled;
        const int left = remainingMs(deadline);
        if (left == 0) return OpenError::NoAnswer;
        pollfd p = {fd, events, 0};
        const int n = ::poll(&p, 1, std::min(left, kOpenSliceMs));
        if (n > 0) return OpenError::None;
        if (n < 0 && errno != EINTR) return failed;
    }
}

class SocketDevice final : public Device {
  public:
    SocketDevice(int fd, const WaitFds& waits, std::unique_ptr<StreamCodec> codec, OpenWait wait)
        : fd_(fd),
          wakeFd_(waits.wake),
          interruptFd_(waits.interrupt),
          epollFd_(waits.epoll),
          openWait_(std::move(wait)),
          codec_(std::move(codec)) {}

    ~SocketDevice() override {
        close();
        ::close(wakeFd_);
        ::close(interruptFd_);
    }

    // The session's opening, within the open's time: OpenError::None once
    // the server took it, else why not.
    OpenFault negotiate(std::int64_t deadline) {
        std::shared_lock lock(mutex_);
        {
            std::lock_guard io(io_);
            codec_->start(pending_);
            if (!flushLocked()) return refusedLocked().value_or(OpenFault{OpenError::Dropped});
        }
        return openWaitLocked(deadline, [this](bool) { return codec_->agreed(); });
    }

    // The line as the server sets it: the settings go out, and the open
    // waits a short, bounded time for the answers that tell what the server
    // put in force; refusal() then tells a setting that differs or went
    // unanswered. A raw stream sets nothing. A cancel cuts the wait short;
    // the open sees its flag.
    void configure(const LineSettings& line) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return;
        {
            std::lock_guard io(io_);
            if (!codec_->setLine(line, pending_)) return;
            (void)flushLocked();
        }
        LineFault differs;
        OpenFault verdict =
            openWaitLocked(tickMs() + kAnswerLimitMs, [&](bool timeUp) -> std::optional<OpenError> {
                const std::optional<LineFault> found = codec_->lineVerdict(timeUp);
                if (!found) return std::nullopt;
                differs = *found;
                return differs.setting == LineSetting::None ? OpenError::None
                                                            : OpenError::LineNotSet;
            });
        // A cancel is the open's to see, by its flag.
        if (verdict.error == OpenError::Cancelled) return;
        verdict.line = differs;
        refused_ = verdict;
    }

    OpenFault refusal(int graceMs) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return {};
        if (refused_.error != OpenError::None) return refused_;
        const std::int64_t deadline = tickMs() + graceMs;
        for (;;) {
            {
                std::lock_guard io(io_);
                pullLocked();
                if (std::optional<OpenFault> why = refusedLocked()) return *why;
                // Nothing said: nothing to wait for.
                if (heard_.empty()) return {};
            }
            Wait ended = Wait::Timeout;
            if (pollOrSignal(fd_, POLLIN | POLLRDHUP, -1, closing_, deadline, ended) < 0) return {};
        }
    }

    void purge(bool input, bool output) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return;
        std::lock_guard io(io_);
        if (input) {
            // What has come already goes, as a serial driver's queue would.
            pullLocked();
            decoded_.clear();
            taken_ = 0;
        }
        // The server holds bytes too: those it read from the line and not
        // yet sent, those it was sent and not yet put on the line.
        codec_->purge(input, output, pending_);
        (void)flushLocked();
    }

    // The kernel's send queue (bytes not yet sent, or sent and not yet
    // acknowledged) and anything still held here must be gone. There is no
    // event for that, so the wait sleeps in short, growing steps.
    Wait waitOutputDrained(int timeoutMs) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        const std::int64_t deadline = tickMs() + (timeoutMs < 0 ? 0 : timeoutMs);
        for (int step = 1;; step = std::min(step * 2, 20)) {
            int held = 0;
            {
                std::lock_guard io(io_);
                // A server that has ended its side will not take these bytes
                // in, nor answer them.
                if (ended_ || !flushLocked()) return Wait::Gone;
                if (ioctl(fd_, SIOCOUTQ, &held) != 0) return Wait::Gone;
                held += static_cast<int>(pending_.size());
            }
            if (held <= 0) return Wait::Ready;
            const int left = remainingMs(deadline);
            if (left == 0) return Wait::Timeout;
            const Wait slept = sleepInterruptible(interruptFd_, closing_, std::min(step, left));
            if (slept != Wait::Timeout) return slept;
        }
    }

    int queued() override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return -1;
        std::lock_guard io(io_);
        // Everything readable is decoded first, so that the count holds data
        // bytes only: a telnet command is never counted as a byte waiting.
        pullLocked();
        const std::size_t held = decoded_.size() - taken_;
        if (held == 0 && ended_) return -1;
        return static_cast<int>(std::min<std::size_t>(held, INT32_MAX));
    }

    IoResult read(unsigned char* buffer, std::size_t size) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return {Io::Gone, 0};
        std::lock_guard io(io_);
        if (taken_ == decoded_.size()) pullLocked();
        const std::size_t held = decoded_.size() - taken_;
        if (held == 0) return {ended_ ? Io::Gone : Io::WouldBlock, 0};
        const std::size_t n = std::min(size, held);
        std::memcpy(buffer, decoded_.data() + taken_, n);
        taken_ += n;
        if (taken_ == decoded_.size()) {
            decoded_.clear();
            taken_ = 0;
        }
        return {Io::Ok, n};
    }

    IoResult write(const unsigned char* bytes, std::size_t size) override {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return {Io::Gone, 0};
        std::lock_guard io(io_);
        if (!flushLocked()) return {Io::Gone, 0};
        // Earlier bytes still wait for room: these go after them.
        if (!pending_.empty()) return {Io::WouldBlock, 0};
        const std::size_t chunk = std::min(size, kPullBlock);
        encoded_.clear();
        codec_->encode(bytes, chunk, encoded_);
        const ssize_t n = sendSome(encoded_.data(), encoded_.size());
        if (n < 0) return {Io::Gone, 0};
        // The kernel took `n` encoded bytes: the data bytes behind them count
        // as sent.
        const std::size_t sent = codec_->carried(bytes, static_cast<std::size_t>(n), pending_);
        if (sent == 0) return {Io::WouldBlock, 0};
        return {Io::Ok, sent};
    }

    Wait waitReadable(int timeoutMs) override { return waitInput(timeoutMs, false); }
    Wait waitReadableOrInterrupted(int timeoutMs) override { return waitInput(timeoutMs, true); }
    Wait waitWritable(int timeoutMs) override { return waitOutput(timeoutMs, false); }
    Wait waitWritableOrInterrupted(int timeoutMs) override { return waitOutput(timeoutMs, true); }

    void interrupt() override {
        std::uint64_t one = 1;
        (void)!::write(interruptFd_, &one, sizeof one);
    }

    void abandonWrite() override {
        // Only the rest of a cut escape can be held here, and only it keeps
        // the stream whole: it stays. Bytes the kernel took cannot be taken
        // back, as with a serial driver's queue.
    }

    Wait waitArrival(int timeoutMs) override {
        // Held shared for the whole wait: close() takes it exclusively, so
        // the descriptors cannot be closed, and their numbers reused, under
        // this thread. New bytes and the server's end of the stream both
        // end it; the watcher's look at the count tells which.
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        return waitEpollArrival(epollFd_, wakeFd_, closing_, timeoutMs);
    }

    Wait waitWake(int timeoutMs) override {
        // Only the end of the connection, not its bytes, wakes this wait.
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        return waitWakeOnly(fd_, POLLRDHUP, wakeFd_, closing_, timeoutMs);
    }

    void wake() override {
        std::uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }

    void close() override {
        // As for a tty: wake whoever sleeps on the descriptors, so that they
        // let go of the shared lock, then close under the exclusive one.
        closing_.store(true);
        wake();
        interrupt();
        std::unique_lock lock(mutex_);
        if (fd_ < 0) return;
        // An orderly end: the server is told no more comes, and what it
        // still sends (the answer to the last purge) is read until it ends
        // its side too. A socket closed with bytes unread is reset instead,
        // and ser2net then holds the port as "in use" for a moment and turns
        // away the next connection. Bounded, for a server that is gone.
        (void)::shutdown(fd_, SHUT_WR);
        const std::int64_t deadline = tickMs() + kCloseLimitMs;
        for (;;) {
            pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, remainingMs(deadline)) <= 0) break;
            unsigned char discard[kPullBlock];
            const ssize_t n = ::recv(fd_, discard, sizeof discard, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
        }
        ::close(epollFd_);
        ::close(fd_);
        fd_ = -1;
        epollFd_ = -1;
    }

  private:
    // Sends what it can without blocking: the count taken, 0 when the
    // kernel has no room, -1 (with ended_ set) when the connection is gone.
    // MSG_NOSIGNAL: a closed connection must not
    // raise SIGPIPE and end the caller's program.
    ssize_t sendSome(const unsigned char* bytes, std::size_t size) {
        for (;;) {
            const ssize_t n = ::send(fd_, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            // Closed, reset, timed out, unreachable: a connection that
            // refuses a send takes none again.
            ended_ = true;
            return -1;
        }
    }

    // Hands the kernel what is held to go out first. False once the
    // connection is gone.
    bool flushLocked() {
        while (!pending_.empty()) {
            const ssize_t n = sendSome(pending_.data(), pending_.size());
            if (n < 0) return false;
            if (n == 0) return true;
            pending_.erase(pending_.begin(), pending_.begin() + n);
        }
        return true;
    }

    // Takes everything the socket has now and decodes it: data to the
    // decoded bytes, the session's answers out at once. The end of the
    // stream or a reset sets ended_, and so does a stream the codec finds
    // unusable: nothing more of it is read.
    void pullLocked() {
        if (ended_) return;
        unsigned char raw[kPullBlock];
        for (;;) {
            const ssize_t n = ::recv(fd_, raw, sizeof raw, MSG_DONTWAIT);
            if (n == 0) {
                ended_ = true;
                break;
            }
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) ended_ = true;
                break;
            }
            // Acknowledge at once. A server that coalesces its small writes
            // (Nagle's rule; ser2net does) sends the rest of a reply only
            // once the first part is acknowledged, and a client that waits
            // for the reply has nothing to carry the acknowledgement: it
            // would leave with the delayed-ACK timer, 40 ms later, on every
            // reply. The kernel drops the setting again by itself.
            setOption(fd_, IPPROTO_TCP, TCP_QUICKACK, 1);
            const std::size_t before = decoded_.size();
            codec_->receive(raw, static_cast<std::size_t>(n), decoded_, pending_);
            // The stream's first data bytes are kept aside: when the server
            // then closes, they are its reason, whoever read them meanwhile.
            const std::size_t keep = std::min(decoded_.size() - before, kHeardMax - heard_.size());
            heard_.insert(heard_.end(), decoded_.begin() + static_cast<std::ptrdiff_t>(before),
                          decoded_.begin() + static_cast<std::ptrdiff_t>(before + keep));
            if (codec_->fault() != OpenError::None) {
                ended_ = true;
                break;
            }
        }
        (void)flushLocked();
    }

    // Why the stream, as it stands, refuses the open: the codec's finding,
    // or an end of the connection -- with the server's words when it said
    // something first, which is how a server that serves one client at a
    // time turns the next away.
    std::optional<OpenFault> refusedLocked() const {
        if (codec_->fault() != OpenError::None) return OpenFault{codec_->fault()};
        if (!ended_) return std::nullopt;
        if (heard_.empty()) return OpenFault{OpenError::Dropped};
        return OpenFault{OpenError::TurnedAway, serverWords(heard_)};
    }

    // Waits for data bytes: bytes that were only telnet commands do not end
    // it. Held bytes end it at once (a level, as FIONREAD is for a tty).
    Wait waitInput(int timeoutMs, bool interruptible) {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        const std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
        for (;;) {
            bool flushing;
            {
                std::lock_guard io(io_);
                if (decoded_.size() > taken_) return Wait::Ready;
                if (ended_) return Wait::Gone;
                flushing = !pending_.empty();
            }
            // Bytes held to go out are sent as room comes, so that a command
            // cut short by a full kernel buffer does not wait for the next
            // call to leave.
            Wait ended = Wait::Timeout;
            const int revents =
                pollOrSignal(fd_, static_cast<short>(POLLIN | POLLRDHUP | (flushing ? POLLOUT : 0)),
                             interruptible ? interruptFd_ : -1, closing_, deadline, ended);
            if (revents < 0) return ended;
            std::lock_guard io(io_);
            if (revents & POLLNVAL) return Wait::Gone;
            if (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) pullLocked();
            if (revents & POLLOUT) (void)flushLocked();
        }
    }

    Wait waitOutput(int timeoutMs, bool interruptible) {
        std::shared_lock lock(mutex_);
        if (fd_ < 0) return Wait::Gone;
        const std::int64_t deadline = timeoutMs < 0 ? -1 : tickMs() + timeoutMs;
        for (;;) {
            Wait ended = Wait::Timeout;
            const int revents = pollOrSignal(fd_, POLLOUT, interruptible ? interruptFd_ : -1,
                                             closing_, deadline, ended);
            if (revents < 0) return ended;
            if (revents & (POLLHUP | POLLERR | POLLNVAL)) return Wait::Gone;
            std::lock_guard io(io_);
            if (!flushLocked()) return Wait::Gone;
            if (pending_.empty()) return Wait::Ready;
        }
    }

    // Waits, within the open, until `done` (told whether the time is up)
    // gives a result, looking again whenever the server sent something. A
    // stream that refuses the open ends it first. Called with mutex_ held
    // shared.
    template <class Done>
    OpenFault openWaitLocked(std::int64_t deadline, Done done) {
        for (;;) {
            {
                std::lock_guard io(io_);
                pullLocked();
                if (std::optional<OpenFault> why = refusedLocked()) return *why;
                const bool timeUp = remainingMs(deadline) == 0;
                if (const std::optional<OpenError> result = done(timeUp)) return {*result};
                if (timeUp) return {OpenError::NoAnswer};
            }
            // A deadline that came is looked at once more above: `done` has
            // the last word on what came in time.
            const OpenError waited =
                waitInSlices(fd_, POLLIN | POLLRDHUP, openWait_, deadline, OpenError::Dropped);
            if (waited != OpenError::None && waited != OpenError::NoAnswer) return {waited};
        }
    }

    // The data bytes kept aside from the stream's start.
    static constexpr std::size_t kHeardMax = 256;

    std::shared_mutex mutex_;  // shared by every call, exclusive in close()
    std::atomic<bool> closing_{false};
    int fd_;
    const int wakeFd_;
    // Separate from wakeFd_, as for a tty: the watcher's wake-ups and the
    // calling thread's interrupts must not take each other's signal.
    const int interruptFd_;
    int epollFd_;
    const OpenWait openWait_;

    // The stream's state, shared by the calling thread and the watcher.
    std::mutex io_;
    std::unique_ptr<StreamCodec> codec_;
    Bytes decoded_;          // data bytes received and not yet read
    std::size_t taken_ = 0;  // of decoded_, handed out already
    Bytes pending_;          // bytes for the server that the kernel has not taken yet
    Bytes encoded_;          // a write's bytes in the stream's form
    Bytes heard_;            // the first data bytes the server sent
    bool ended_ = false;     // the server closed or reset the connection
    OpenFault refused_;      // what configure() found, when the server refuses
};

// A name lookup on a thread of its own, since getaddrinfo() blocks for as
// long as the resolver takes. The thread holds its half of the state, so
// an open that gives up first simply lets go of it.
struct Lookup {
    std::string host;
    std::string port;
    int done = -1;  // eventfd, signalled when the answer is in
    int status = 0;
    addrinfo* result = nullptr;
    ~Lookup() {
        if (result) freeaddrinfo(result);
        if (done >= 0) ::close(done);
    }
};

addrinfo hints(int flags) {
    addrinfo h{};
    h.ai_family = AF_UNSPEC;
    h.ai_socktype = SOCK_STREAM;
    h.ai_flags = flags | AI_NUMERICSERV;
    return h;
}

// Resolves the name: an address written as one at once, a name on a
// thread, waited for in slices until the deadline.
std::shared_ptr<Lookup> resolve(const NetworkName& name, const OpenWait& wait,
                                std::int64_t deadline, OpenError& error) {
    auto lookup = std::make_shared<Lookup>();
    lookup->host = name.host;
    lookup->port = std::to_string(name.port);
    const addrinfo numeric = hints(AI_NUMERICHOST);
    const int rc =
        getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &numeric, &lookup->result);
    if (rc == 0) return lookup;
    lookup->result = nullptr;
    // Brackets hold an IPv6 address: one that does not parse (a zone that
    // names no interface) is no host, and nothing to ask a resolver about.
    if (name.host.find(':') != std::string::npos) {
        error = OpenError::NoHost;
        return nullptr;
    }
    lookup->done = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (lookup->done < 0) {
        error = OpenError::CannotOpen;
        return nullptr;
    }
    try {
        std::thread([lookup] {
            // No AI_ADDRCONFIG: on a machine whose only addresses are the
            // loopback's it would hide the loopback itself.
            const addrinfo any = hints(0);
            lookup->status =
                getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &any, &lookup->result);
            std::uint64_t one = 1;
            (void)!::write(lookup->done, &one, sizeof one);
        }).detach();
    } catch (const std::system_error&) {
        error = OpenError::CannotOpen;
        return nullptr;
    }
    error = waitInSlices(lookup->done, POLLIN, wait, deadline, OpenError::CannotOpen);
    if (error != OpenError::None) return nullptr;
    // Taking the signal back orders the thread's writes before the reads
    // below.
    takeSignal(lookup->done);
    if (lookup->status != 0 || !lookup->result) {
        error = lookup->status == EAI_MEMORY || lookup->status == EAI_SYSTEM ? OpenError::CannotOpen
                                                                             : OpenError::NoHost;
        return nullptr;
    }
    return lookup;
}

// Connects to one address: the socket, or -1 with `error` saying why.
int connectTo(const addrinfo& address, const OpenWait& wait, std::int64_t deadline,
              OpenError& error) {
    const int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = OpenError::CannotOpen;
        return -1;
    }
    auto fail = [fd, &error](OpenError why) {
        ::close(fd);
        error = why;
        return -1;
    };
    // No route is told apart from silence: a host that is down, or a
    // network the machine has no way into, is reported by the kernel
    // within seconds, and waiting longer changes nothing.
    auto reason = [](int err) {
        switch (err) {
            case ECONNREFUSED:
                return OpenError::Refused;
            case EHOSTUNREACH:
            case ENETUNREACH:
                return OpenError::Unreachable;
            case ETIMEDOUT:
                return OpenError::NoAnswer;
            default:
                return OpenError::CannotOpen;
        }
    };
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) return fail(reason(errno));
        const OpenError waited = waitInSlices(fd, POLLOUT, wait, deadline, OpenError::CannotOpen);
        if (waited != OpenError::None) return fail(waited);
        int err = 0;
        socklen_t length = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
        if (err != 0) return fail(reason(err));
    }
    return fd;
}

}  // namespace

std::shared_ptr<Device> openNetwork(const NetworkName& name, const OpenWait& wait,
                                    OpenFault& fault) {
    const std::int64_t deadline = tickMs() + kOpenLimitMs;
    fault = OpenFault{OpenError::CannotOpen};
    std::shared_ptr<Lookup> lookup = resolve(name, wait, deadline, fault.error);
    if (!lookup) return nullptr;

    // Every address the name has, in the resolver's order, within the one
    // time limit: a name with an IPv6 and an IPv4 address reaches a server
    // that listens on only one of them.
    int fd = -1;
    OpenError why = OpenError::NoHost;
    for (const addrinfo* a = lookup->result; a && fd < 0; a = a->ai_next) {
        fd = connectTo(*a, wait, deadline, why);
        if (why == OpenError::Cancelled || remainingMs(deadline) == 0) break;
    }
    if (fd < 0) {
        fault.error = why;
        return nullptr;
    }
    // Commands and replies are small and latency-bound: no coalescing.
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleS);
    setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalS);
    setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
    setOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUserTimeoutMs));

    // The server's end of the stream ends the watcher's wait as new bytes do.
    WaitFds waits;
    if (!makeWaitFds(fd, EPOLLIN | EPOLLRDHUP, waits)) {
        ::close(fd);
        fault.error = OpenError::NoEvent;
        return nullptr;
    }
    auto device = std::make_shared<SocketDevice>(
        fd, waits, name.kind == NetworkKind::Rfc2217 ? rfc2217Codec() : rawCodec(), wait);
    fault = device->negotiate(deadline);
    if (fault.error != OpenError::None) {
        device->close();
        return nullptr;
    }
    return device;
}

}  // namespace ombrix
