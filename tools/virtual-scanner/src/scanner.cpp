#include "vscanner/scanner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "image.h"
#include "ombrix.h"
#include "protocol.h"

namespace vscanner {

using namespace detail;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::string portDirectory() {
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::string(runtime) + "/ombrix";
    }
    return "/tmp/ombrix-" + std::to_string(getuid());
}

std::optional<LineSettings> parseLine(const std::string& text) {
    LineSettings line;
    char parity = 0;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%d,%d,%c,%d%n", &line.baud, &line.dataBits, &parity,
                    &line.stopBits, &consumed) != 4 ||
        consumed != static_cast<int>(text.size())) {
        return std::nullopt;
    }
    line.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(parity)));
    const int speeds[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    bool known = false;
    for (int s : speeds) known = known || s == line.baud;
    if (!known || (line.dataBits != 7 && line.dataBits != 8) ||
        (line.parity != 'N' && line.parity != 'E' && line.parity != 'O') ||
        (line.stopBits != 1 && line.stopBits != 2)) {
        return std::nullopt;
    }
    return line;
}

std::optional<Fault> parseFault(const std::string& text) {
    const std::pair<const char*, Fault> names[] = {
        {"none", Fault::None},
        {"no-greeting", Fault::NoGreeting},
        {"bad-greeting", Fault::BadGreeting},
        {"nak", Fault::NakAll},
        {"enq", Fault::EnqAll},
        {"drop-closing", Fault::DropClosing},
        {"stop-mid-image", Fault::StopMidImage},
        {"hang-up-mid-image", Fault::HangUpMidImage},
        {"garbage", Fault::Garbage},
        {"slow", Fault::Slow},
    };
    for (const auto& [name, fault] : names) {
        if (text == name) return fault;
    }
    return std::nullopt;
}

namespace {

int baudOf(speed_t s) {
    switch (s) {
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

std::string timeText() {
    const time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

Bytes toBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

bool aliasIsLive(const std::string& alias) {
    std::error_code ec;
    // exists() follows the link: a link to a vanished pty is stale and may
    // be taken over.
    return fs::is_symlink(fs::symlink_status(alias, ec)) && fs::exists(alias, ec);
}

}  // namespace

struct Scanner::Impl {
    Options opt;
    int com = 0;
    std::string slavePath;
    std::string alias;
    int master = -1;
    int slaveKeep = -1;
    int wake[2] = {-1, -1};
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> alive{true};
    std::atomic<int> presses{0};
    std::atomic<std::uint64_t> served{0};
    bool cleaned = false;
    // The file of the last image shipped, for a test to hold the host's
    // copy against.
    mutable std::mutex shippedMutex;
    Bytes shipped;

    // Serving-thread state.
    FrameParser parser;
    MenuTable menu;
    Picture picture;
    struct PendingSnap {
        std::string text;
        char terminator = '.';
        SnapRequest request;
        std::optional<Clock::time_point> autoAt;
    };
    std::optional<PendingSnap> snap;
    std::optional<Clock::time_point> scanAt;
    std::mt19937 random{20261207u};
    // Set while an image is shipped: anything the host sends then means it
    // gave up on the image (a cancel, a reopen), so the rest is not sent.
    bool interruptible = false;

    bool hostSpoke() const {
        pollfd p{master, POLLIN, 0};
        return interruptible && poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }

    void open();
    void registerAlias();
    void serve();
    void cleanup();

    bool lineMatches() const;
    void drainWake();
    bool pause(Clock::time_point until);
    bool transmit(const unsigned char* data, std::size_t size, bool& paceStarted,
                  Clock::time_point& paceStart, std::size_t& paced);
    bool send(const Bytes& data);
    void hangUp();

    void handle(const Frame& frame);
    void handleCommand(const Frame& frame);
    void handleTrigger();
    void takeSnap(const PendingSnap& s);
    void ship(const std::string& keyword, const Image& img, int format, int depth, int quality,
              int threshold, const std::string& text, char terminator);
    Bytes status(const std::string& body, unsigned char code, char terminator) const;
};

void Scanner::Impl::open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        throw std::runtime_error(std::string("cannot open a pseudo-terminal: ") + strerror(errno));
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
    slavePath = name;
    // Holding the slave open keeps the master usable while no host has the
    // port open (reads on a master without any slave fail with EIO), keeps
    // the host's line settings between its opens, and lets us read them.
    slaveKeep = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep < 0) throw std::runtime_error("cannot open the pty slave");
    // Raw from the start, so that nothing is rewritten before the host sets
    // the line itself.
    termios tio{};
    tcgetattr(slaveKeep, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    tcsetattr(slaveKeep, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
}

void Scanner::Impl::registerAlias() {
    const std::string dir = portDirectory();
    std::error_code ec;
    fs::create_directories(fs::path(dir).parent_path(), ec);
    (void)::mkdir(dir.c_str(), 0700);
    // The library follows aliases only in a directory that is the user's
    // own and that no one else may write to; one registered anywhere else
    // would never be opened, or would sit where another user can read and
    // redirect it. The scanner keeps the same rule.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        throw std::runtime_error("cannot make the port directory " + dir + ": " +
                                 std::strerror(errno));
    }
    const char* why = S_ISLNK(st.st_mode)                  ? "it is a symbolic link"
                      : !S_ISDIR(st.st_mode)               ? "it is not a directory"
                      : st.st_uid != geteuid()             ? "another user owns it"
                      : (st.st_mode & (S_IWGRP | S_IWOTH)) ? "others may write to it"
                                                           : nullptr;
    if (why) {
        throw std::runtime_error("the port directory " + dir + " cannot be used: " + why +
                                 "; remove it, or set XDG_RUNTIME_DIR to a private directory");
    }
    auto claim = [&](int n) {
        const std::string path = dir + "/COM" + std::to_string(n);
        if (aliasIsLive(path)) return false;
        ::unlink(path.c_str());  // a stale alias of a scanner that died
        // symlink() fails if another scanner claimed the name meanwhile.
        if (::symlink(slavePath.c_str(), path.c_str()) != 0) return false;
        com = n;
        alias = path;
        return true;
    };
    const std::string highest = std::to_string(OMBRIX_COM_MAX);
    if (opt.com != 0) {
        if (opt.com < 1 || opt.com > OMBRIX_COM_MAX) {
            throw std::runtime_error("COM number outside 1.." + highest);
        }
        if (!claim(opt.com)) {
            throw std::runtime_error("COM" + std::to_string(opt.com) + " is already in use in " +
                                     dir);
        }
        return;
    }
    for (int n = 200; n <= OMBRIX_COM_MAX; ++n) {
        if (claim(n)) return;
    }
    throw std::runtime_error("no free COM number from 200 to " + highest + " in " + dir);
}

void Scanner::Impl::cleanup() {
    if (cleaned) return;
    cleaned = true;
    // Remove the alias only while it is still ours: another scanner may have
    // taken over a name we left stale.
    if (!alias.empty()) {
        char target[PATH_MAX];
        const ssize_t n = readlink(alias.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath) {
            ::unlink(alias.c_str());
        }
    }
    if (slaveKeep >= 0) ::close(slaveKeep);
    if (master >= 0) ::close(master);
    slaveKeep = master = -1;
}

bool Scanner::Impl::lineMatches() const {
    if (!opt.strictLine) return true;
    termios tio{};
    if (tcgetattr(slaveKeep, &tio) != 0) return false;
    // A pty shows the other side's speed and stop bits, but forces 8 data
    // bits and no parity, so only these two can be compared.
    const bool twoStops = (tio.c_cflag & CSTOPB) != 0;
    return baudOf(cfgetospeed(&tio)) == opt.strictLine->baud &&
           twoStops == (opt.strictLine->stopBits == 2);
}

void Scanner::Impl::drainWake() {
    char buf[64];
    while (::read(wake[0], buf, sizeof buf) > 0) {
    }
}

// Waits until `until` or a stop; trigger presses are counted separately, so
// draining their wake-ups here loses none. False when stopping, or when the
// host interrupts an image.
bool Scanner::Impl::pause(Clock::time_point until) {
    while (!stopping) {
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p[2] = {{wake[0], POLLIN, 0},
                       {master, static_cast<short>(interruptible ? POLLIN : 0), 0}};
        if (ppoll(p, 2, &ts, nullptr) > 0) {
            if (p[0].revents & POLLIN) drainWake();
            if (p[1].revents & POLLIN) return false;
        }
    }
    return false;
}

bool Scanner::Impl::transmit(const unsigned char* data, std::size_t size, bool& paceStarted,
                             Clock::time_point& paceStart, std::size_t& paced) {
    int baud = 0;
    if (opt.pace) {
        termios tio{};
        if (tcgetattr(slaveKeep, &tio) == 0) baud = baudOf(cfgetospeed(&tio));
        if (baud == 0) baud = 9600;
    }
    const int bits = opt.strictLine ? opt.strictLine->bitsPerChar() : 10;
    const double charSeconds = baud ? static_cast<double>(bits) / baud : 0;
    // Two milliseconds of line time a write: fine enough for progress to
    // move smoothly, coarse enough not to spin.
    const std::size_t chunk = baud ? std::max<std::size_t>(1, baud / bits / 500) : size;
    if (baud && !paceStarted) {
        paceStarted = true;
        paceStart = Clock::now();
    }
    std::size_t sent = 0;
    while (sent < size) {
        const std::size_t n = std::min(chunk, size - sent);
        if (baud) {
            // A character arrives only once all its bits are on the line, so
            // each write waits for the line time of everything up to its end.
            const auto due =
                paceStart + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>((paced + n) * charSeconds));
            if (!pause(due)) return false;
        }
        std::size_t done = 0;
        while (done < n) {
            if (stopping) return false;
            const ssize_t w = ::write(master, data + sent + done, n - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
            // The pty's buffer is full until the host reads (or XOFF holds
            // the output): wait for room or a stop, never spin.
            if (hostSpoke()) return false;
            pollfd p[2] = {{master, POLLOUT, 0}, {wake[0], POLLIN, 0}};
            if (poll(p, 2, 1000) > 0 && (p[1].revents & POLLIN)) drainWake();
        }
        sent += n;
        paced += n;
    }
    return true;
}

bool Scanner::Impl::send(const Bytes& data) {
    // A strict UART at other settings produces nothing the host could read.
    if (!lineMatches()) return true;
    bool started = false;
    Clock::time_point start;
    std::size_t paced = 0;
    return transmit(data.data(), data.size(), started, start, paced);
}

void Scanner::Impl::hangUp() {
    cleanup();
    alive = false;
}

Bytes Scanner::Impl::status(const std::string& body, unsigned char code, char terminator) const {
    Bytes b = toBytes(body);
    b.push_back(code);
    b.push_back(static_cast<unsigned char>(terminator));
    return b;
}

void Scanner::Impl::handle(const Frame& frame) {
    if (frame.kind == Frame::Kind::TriggerOn) {
        handleTrigger();
    } else if (frame.kind == Frame::Kind::TriggerOff) {
        scanAt.reset();
    } else {
        ++served;
        // A new command means the host gave up on a waiting snap.
        snap.reset();
        handleCommand(frame);
    }
}

void Scanner::Impl::handleTrigger() {
    if (snap) {
        PendingSnap s = std::move(*snap);
        snap.reset();
        takeSnap(s);
        return;
    }
    // A trigger without a waiting snap reads the bar code after a short
    // decode time; releasing the trigger first reads nothing.
    scanAt = Clock::now() + std::chrono::milliseconds(80);
}

void Scanner::Impl::takeSnap(const PendingSnap& s) {
    picture = takePicture(opt.barcode, s.text, timeText(), s.request);
    send(status("IMGSNP", kAck, s.terminator));
}

void Scanner::Impl::handleCommand(const Frame& frame) {
    const std::string& text = frame.text;
    const char term = frame.terminator;
    if (frame.truncated) {
        send(status(text.substr(0, 6), kEnq, term));
        return;
    }
    if (text == "BEPBEP?") {
        if (opt.fault == Fault::NoGreeting) return;
        Bytes reply = menu.handle(text);
        if (opt.fault == Fault::BadGreeting) reply.back() = kNak;
        reply.push_back(static_cast<unsigned char>(term));
        send(reply);
        return;
    }
    switch (opt.fault) {
        case Fault::NakAll:
            send(status(text, kNak, term));
            return;
        case Fault::EnqAll:
            send(status(text, kEnq, term));
            return;
        case Fault::Garbage: {
            // Printable noise without a terminator: the host's reader runs
            // until the line falls silent.
            std::uniform_int_distribution<int> pick(0x21, 0x7E);
            Bytes noise;
            while (noise.size() < 32) {
                const int c = pick(random);
                if (c != '.' && c != '!') noise.push_back(static_cast<unsigned char>(c));
            }
            send(noise);
            return;
        }
        case Fault::Slow:
            if (!pause(Clock::now() + std::chrono::milliseconds(opt.slowMs))) return;
            break;
        default:
            break;
    }
    const std::string keyword = text.substr(0, 6);
    const std::string modifiers = text.size() > 6 ? text.substr(6) : std::string();
    if (keyword == "IMGSNP") {
        PendingSnap s;
        s.text = text;
        s.terminator = term;
        if (parseSnap(modifiers, s.request) != Verdict::Ack) {
            send(status(keyword, kNak, term));
            return;
        }
        if (s.request.trigger == 1) {
            if (opt.triggerAfterSeconds > 0) {
                s.autoAt =
                    Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(opt.triggerAfterSeconds));
            }
            snap = std::move(s);
            return;
        }
        takeSnap(s);
    } else if (keyword == "IMGSHP") {
        ShipRequest r;
        if (parseShip(modifiers, r) != Verdict::Ack) {
            send(status(keyword, kNak, term));
            return;
        }
        ship(keyword, shipImage(picture.image, r), r.format, r.depth, r.quality,
             r.textFilter > 0 ? r.textFilter : 128, text, term);
    } else if (keyword == "IMGBOX") {
        BoxRequest r;
        Image area;
        if (parseBox(modifiers, r) == Verdict::Ack) area = boxImage(picture, r);
        if (area.pixels.empty()) {
            send(status(keyword, kNak, term));
            return;
        }
        ship(keyword, area, r.format, r.depth, 75, 128, text, term);
    } else {
        Bytes reply = menu.handle(text);
        reply.push_back(static_cast<unsigned char>(term));
        send(reply);
    }
}

namespace {

// Written beside its name and renamed over it, so that a reader never sees
// half a file; a failure is the reader's to notice (no file, or the old one).
void saveShipped(const std::string& path, const Bytes& file) {
    const std::string temp = path + ".part";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < file.size()) {
        const ssize_t n = ::write(fd, file.data() + done, file.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) == 0 && done == file.size()) {
        (void)!::rename(temp.c_str(), path.c_str());
    } else {
        ::unlink(temp.c_str());
    }
}

}  // namespace

void Scanner::Impl::ship(const std::string& keyword, const Image& img, int format, int depth,
                         int quality, int threshold, const std::string& text, char terminator) {
    Bytes file;
    try {
        file = encodeImage(img, format, depth, quality, threshold);
    } catch (const std::exception&) {
        send(status(keyword, kNak, terminator));
        return;
    }
    {
        std::lock_guard lock(shippedMutex);
        shipped = file;
    }
    if (!opt.shippedFile.empty()) saveShipped(opt.shippedFile, file);
    // The sub-header names what was shipped. Control bytes are left out so
    // that a stray GS in the command cannot end it early.
    Bytes sub;
    for (char c : text.substr(0, 256)) {
        if (static_cast<unsigned char>(c) >= 0x20) sub.push_back(static_cast<unsigned char>(c));
    }
    sub.push_back(kGs);
    const std::uint32_t length = static_cast<std::uint32_t>(sub.size() + file.size());
    Bytes head = {kSyn,
                  0xFE,
                  static_cast<unsigned char>(length & 0xFF),
                  static_cast<unsigned char>((length >> 8) & 0xFF),
                  static_cast<unsigned char>((length >> 16) & 0xFF),
                  static_cast<unsigned char>((length >> 24) & 0xFF),
                  kCr};
    head.insert(head.end(), sub.begin(), sub.end());
    const Bytes closing = status(keyword, kAck, terminator);

    if (!lineMatches()) return;
    bool started = false;
    Clock::time_point start;
    std::size_t paced = 0;
    interruptible = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{interruptible};
    if (!transmit(head.data(), head.size(), started, start, paced)) return;
    const bool cut = opt.fault == Fault::StopMidImage || opt.fault == Fault::HangUpMidImage;
    const std::size_t body = cut ? file.size() / 2 : file.size();
    if (!transmit(file.data(), body, started, start, paced)) return;
    if (opt.fault == Fault::StopMidImage) return;
    if (opt.fault == Fault::HangUpMidImage) {
        // Let the host take what was sent before the line goes, as a cable
        // pulled after the bytes left the wire.
        pause(Clock::now() + std::chrono::milliseconds(50));
        hangUp();
        return;
    }
    if (opt.fault == Fault::DropClosing) return;
    transmit(closing.data(), closing.size(), started, start, paced);
}

void Scanner::Impl::serve() {
    std::vector<Frame> frames;
    unsigned char buf[4096];
    while (!stopping && alive) {
        // The next deadline: an automatic trigger or a pending bar code read.
        int timeout = -1;
        auto consider = [&](const std::optional<Clock::time_point>& at) {
            if (!at) return;
            const auto ms =
                std::chrono::ceil<std::chrono::milliseconds>(*at - Clock::now()).count();
            const int t = static_cast<int>(std::max<long long>(0, ms));
            timeout = timeout < 0 ? t : std::min(timeout, t);
        };
        if (snap) consider(snap->autoAt);
        consider(scanAt);

        pollfd p[2] = {{master, POLLIN, 0}, {wake[0], POLLIN, 0}};
        const int r = poll(p, 2, timeout);
        if (r < 0 && errno != EINTR) break;
        if (stopping) break;
        if (p[1].revents & POLLIN) drainWake();
        while (presses > 0) {
            --presses;
            handleTrigger();
        }
        if (p[0].revents & POLLIN) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                hangUp();
                break;
            }
            if (n > 0) {
                if (!lineMatches()) {
                    // Framing errors on a real line: nothing intelligible
                    // arrives, and a half-parsed frame is worthless.
                    parser.reset();
                } else {
                    frames.clear();
                    parser.feed(buf, static_cast<std::size_t>(n), frames);
                    for (const Frame& f : frames) {
                        if (stopping || !alive) break;
                        handle(f);
                    }
                }
            }
        } else if (p[0].revents & (POLLERR | POLLHUP)) {
            hangUp();
            break;
        }
        if (!alive) break;
        const auto now = Clock::now();
        if (snap && snap->autoAt && *snap->autoAt <= now) {
            PendingSnap s = std::move(*snap);
            snap.reset();
            takeSnap(s);
        }
        if (scanAt && *scanAt <= now) {
            scanAt.reset();
            Bytes data = toBytes(opt.barcode);
            data.push_back(kCr);
            send(data);
        }
    }
}

Scanner::Scanner(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->opt = std::move(options);
    try {
        impl_->open();
        impl_->registerAlias();
        SnapRequest power;
        impl_->picture = takePicture(impl_->opt.barcode, "POWER ON", timeText(), power);
    } catch (...) {
        impl_->cleanup();
        for (int fd : impl_->wake) {
            if (fd >= 0) ::close(fd);
        }
        throw;
    }
    impl_->thread = std::thread([this] { impl_->serve(); });
}

Scanner::~Scanner() {
    stop();
    // The wake pipe lives as long as the object, so that a late
    // pressTrigger() from another thread never writes to a reused number.
    for (int fd : impl_->wake) {
        if (fd >= 0) ::close(fd);
    }
}

void Scanner::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->stopping = true;
    (void)!::write(impl_->wake[1], "s", 1);
    impl_->thread.join();
    impl_->cleanup();
    impl_->alive = false;
}

int Scanner::com() const {
    return impl_->com;
}
std::string Scanner::devicePath() const {
    return impl_->slavePath;
}
std::string Scanner::aliasPath() const {
    return impl_->alias;
}
bool Scanner::running() const {
    return impl_->alive && !impl_->stopping;
}
std::vector<unsigned char> Scanner::lastShipped() const {
    std::lock_guard lock(impl_->shippedMutex);
    return impl_->shipped;
}

std::uint64_t Scanner::commandsServed() const {
    return impl_->served;
}

void Scanner::pressTrigger() {
    ++impl_->presses;
    (void)!::write(impl_->wake[1], "t", 1);
}

}  // namespace vscanner
