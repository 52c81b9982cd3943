#include "capture_run.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "binding.h"
#include "common.h"
#include "dialog.h"
#include "ombrix.h"
#include "portget.h"
#include "terminal_logic.h"

namespace tavorin::capture {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPortCount = 10;       // the library's port table
constexpr int kFirstAliasOnly = 97;  // COM numbers the library knows only as aliases
constexpr int kMaxCom = 256;

// What the pump, the signal thread and the run share.
struct Session {
    std::atomic<std::int32_t> handle{-1};
    std::atomic<bool> cancel{false};
    bool progress = false;
    Clock::time_point lastDraw;
    bool drawn = false;
};
Session g_session;

// The binding tells a missing library through the dialog seam: here the
// message becomes the outcome's.
class QuietDialog : public Dialog {
  public:
    void message(const QString& text) override { messages << text; }
    bool question(const QString&) override { return false; }
    QString saveFileName(const QString&, const QString&, const QString&, const QString&) override {
        return QString();
    }
    QStringList messages;
};

void drawProgress(std::int32_t handle) {
    std::int32_t length = 0, received = 0;
    if (ImageProgress(handle, &length, &received) != OMBRIX_IMAGE_RUNNING || length <= 0) return;
    const Clock::time_point now = Clock::now();
    if (g_session.drawn && now - g_session.lastDraw < std::chrono::milliseconds(100)) return;
    g_session.lastDraw = now;
    g_session.drawn = true;
    constexpr int kWidth = 40;
    const double share = std::min(1.0, static_cast<double>(received) / length);
    const int full = static_cast<int>(share * kWidth);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < full ? '#' : '.';
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%% %d/%d bytes", bar, static_cast<int>(share * 100), received,
                 length);
    std::fflush(stderr);
}

void clearProgress() {
    if (!g_session.drawn) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    g_session.drawn = false;
}

// Run by the library about every 10 ms while a call waits, on this thread.
void pump() {
    const std::int32_t h = g_session.handle.load();
    if (g_session.cancel.load()) {
        if (h < 0) {
            // The open's greeting: its record is not known yet, and this
            // process has no other.
            for (int i = 0; i < kPortCount; ++i) ComCancel(i);
        } else if (ImageProgress(h, nullptr, nullptr) == OMBRIX_IMAGE_FAILED) {
            // The transfer has given up and drains what the scanner still
            // sends; asking the scanner to stop (the trigger-off frame, which
            // means nothing to an image) lets the line fall quiet now rather
            // than once the rest of the picture has gone by.
            SendData(h, QString::fromLatin1(terminal::kTriggerOff));
        } else {
            // Again and again: a send or read that starts after the signal
            // lowers the flag the signal raised.
            ComCancel(h);
        }
        return;
    }
    if (g_session.progress && h >= 0) drawProgress(h);
}

// A COM number whose device is `path`: one the library already resolves to
// it, or else an alias made for it in the port directory (`made` is then
// its path, to be removed afterwards). 0 when there is none.
int comForPath(const QString& path, QString& made) {
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty()) return 0;
    // The library's scan makes the port directory as the user's own and
    // refuses one it must not write to; it also gives a USB device reached
    // by its persistent name the number the connection dialog shows.
    if (PortScan() < 0) return 0;
    for (int com = 1; com <= kMaxCom; ++com) {
        const QString name = PortName(com);
        if (!name.isEmpty() && QFileInfo(name).canonicalFilePath() == device) return com;
    }
    const QByteArray target = QFile::encodeName(device);
    for (int com = kFirstAliasOnly; com <= kMaxCom; ++com) {
        const QString alias = PortName(com);
        // symlink() refuses a name someone else holds, also one taken
        // between the two of us looking.
        if (::symlink(target.constData(), QFile::encodeName(alias).constData()) == 0) {
            made = alias;
            return com;
        }
    }
    return 0;
}

// Enough of a file's identity to tell that it was written: a replaced file
// is a new inode, one rewritten in place has a new time stamp.
struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator==(const Stamp& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};
Stamp stampOf(const QString& path) {
    Stamp s;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return s;
    s.exists = true;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = st.st_size;
    s.modified = st.st_mtim;
    return s;
}

void removeAlias(const QString& alias) {
    if (!alias.isEmpty()) QFile::remove(alias);
}

}  // namespace

struct SignalCancel::Impl {
    sigset_t set;
    std::thread thread;
};

SignalCancel::SignalCancel() : impl_(new Impl) {
    sigemptyset(&impl_->set);
    sigaddset(&impl_->set, SIGINT);
    sigaddset(&impl_->set, SIGTERM);
    // Sent by the destructor to end the thread.
    sigaddset(&impl_->set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &impl_->set, nullptr);
    impl_->thread = std::thread([set = impl_->set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0 || sig == SIGUSR2) return;
            if (g_session.cancel.exchange(true)) _exit(kCancelled);
            // Ombrix_ComCancel is the one export another thread may call: a
            // wait of the main thread ends at once, pump or none.
            const std::int32_t h = g_session.handle.load();
            if (h >= 0) ComCancel(h);
        }
    });
}

SignalCancel::~SignalCancel() {
    pthread_kill(impl_->thread.native_handle(), SIGUSR2);
    impl_->thread.join();
    pthread_sigmask(SIG_UNBLOCK, &impl_->set, nullptr);
    delete impl_;
}

bool SignalCancel::requested() {
    return g_session.cancel.load();
}

Outcome run(const Request& r, bool progress) {
    Outcome out;
    out.command = r.command;
    QuietDialog boxes;
    setDialog(&boxes);
    struct Restore {
        ~Restore() {
            PumpSet(nullptr);
            setDialog(nullptr);
            g_session.handle.store(-1);
        }
    } restore;
    auto fail = [&](int status, const QString& message) {
        out.status = status;
        out.message = message;
        return out;
    };

    if (!binding::available()) return fail(kNoLibrary, boxes.messages.join(u'\n'));

    QString alias;
    struct AliasGuard {
        QString& path;
        ~AliasGuard() { removeAlias(path); }
    } aliasGuard{alias};
    int com = r.com;
    if (com <= 0) {
        com = comForPath(r.devicePath, alias);
        if (com <= 0) {
            // A device that is there but cannot be given a number for the
            // run, because the port directory may not be used, is not
            // "not found": the user is told which directory and why.
            const QString warning = PortGet::folderWarning();
            return fail(statusForLibrary(OMBRIX_E_NOT_OPEN),
                        comsetting::openFailureMessage(OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_NO_DEVICE) +
                            QStringLiteral(": ") + r.devicePath +
                            (warning.isEmpty() ? QString() : u'\n' + warning));
        }
    }

    g_session.progress = progress;
    PumpSet(&pump);
    const comsetting::OpenArgs line = comsetting::openArgs(r.line, r.timeout);
    const std::int32_t h =
        PortOpen(com, line.baud, line.dataBits, line.stopBits, line.parity, line.flow);
    if (h < 0) {
        if (h == OMBRIX_E_CANCELLED) return fail(kCancelled, ErrorMessageText(h));
        return fail(statusForLibrary(h), comsetting::openFailureMessage(h, OpenFailure()));
    }
    g_session.handle.store(h);
    struct Close {
        std::int32_t h;
        ~Close() { PortClose(h); }
    } close{h};
    // A snap waits for the trigger without a limit of its own, as the
    // program's window does; the first byte of anything else comes within
    // the library's first-byte time-out.
    TimeoutSet(h, r.snap ? 0 : -1, r.timeout);
    if (g_session.cancel.load()) return fail(kCancelled, ErrorMessageText(OMBRIX_E_CANCELLED));

    const Clock::time_point start = Clock::now();
    const std::int32_t sent = SendCommand(h, r.command);
    if (sent < 0) return fail(statusForLibrary(sent), ErrorMessageText(sent));
    QString reply;
    std::int32_t got = 0;
    const Stamp before = r.image ? stampOf(r.output) : Stamp{};
    if (r.image) {
        got = RecvImage(h, r.output, reply, 2046, 2, &out.reply);
    } else {
        got = RecvResponse(h, reply, 2046, &out.reply);
    }
    clearProgress();
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::int32_t length = 0, received = 0;
    if (r.image && ImageProgress(h, &length, &received) >= 0 && length > 0 &&
        !(stampOf(r.output) == before)) {
        // The whole picture was stored, even when the closing reply that
        // should follow it then failed to come.
        out.file = r.output;
        out.bytes = received;
    }
    if (got < 0) {
        // A cancel that came from a signal is the signal's, whatever the
        // interrupted call made of it.
        if (g_session.cancel.load()) return fail(kCancelled, ErrorMessageText(OMBRIX_E_CANCELLED));
        return fail(statusForLibrary(got), ErrorMessageText(got));
    }
    const image::ReplyCheck check = image::CheckResponse(reply, got);
    out.status = statusForReply(check.code);
    out.message = check.code == image::Reply::Ack ? image::commandDoneText() : check.message;
    return out;
}

int listPorts(bool json, QByteArray& out, QString& warning) {
    QuietDialog boxes;
    setDialog(&boxes);
    const bool ok = binding::available();
    setDialog(nullptr);
    if (!ok) {
        out = boxes.messages.join(u'\n').toLocal8Bit() + '\n';
        return kNoLibrary;
    }
    QJsonArray ports;
    QString name;
    // Told once, beside the list rather than in it: a script that reads the
    // list still reads only ports.
    warning = PortGet::folderWarning();
    for (int index = 0; index < 256; ++index) {
        const int com = PortGet::EnumComPort(index, name);
        if (com < 0) break;
        if (name.isEmpty()) continue;
        const QString device = PortName(com);
        if (json) {
            ports.append(QJsonObject{{"com", com}, {"device", device}, {"description", name}});
        } else {
            out += QStringLiteral("COM%1\t%2\t%3\n").arg(com).arg(device, name).toLocal8Bit();
        }
    }
    if (json) out = QJsonDocument(ports).toJson(QJsonDocument::Compact) + '\n';
    return kAck;
}

QByteArray toJson(const Outcome& o) {
    QJsonObject j;
    j["result"] = o.status;
    j["message"] = o.message;
    j["command"] = o.command;
    j["file"] = o.file.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(o.file);
    j["bytes"] = static_cast<qint64>(o.bytes);
    j["seconds"] = o.seconds;
    j["bytes_per_s"] = o.seconds > 0 ? static_cast<double>(o.bytes) / o.seconds : 0.0;
    j["reply"] = replyText(reinterpret_cast<const unsigned char*>(o.reply.constData()),
                           static_cast<std::int32_t>(o.reply.size()));
    return QJsonDocument(j).toJson(QJsonDocument::Compact) + '\n';
}

int capture(const QStringList& args) {
    const Parsed parsed = parse(args);
    const Request& r = parsed.request;
    // Asked for whether or not the rest of the line could be read.
    const bool json = args.contains(QStringLiteral("--json"));
    auto print = [](FILE* to, const QByteArray& bytes) {
        std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), to);
        std::fflush(to);
    };
    if (parsed.status != kAck) {
        print(stderr, QStringLiteral("tavorin-capture: %1\n").arg(parsed.message).toLocal8Bit());
        if (parsed.status == kUsage) print(stderr, "Try 'tavorin-capture --help'.\n");
        if (json) {
            Outcome o;
            o.status = parsed.status;
            o.message = parsed.message;
            print(stdout, toJson(o));
        }
        return parsed.status;
    }
    if (r.action == Action::Help) {
        print(stdout, helpText().toLocal8Bit());
        return kAck;
    }
    if (r.action == Action::List) {
        QByteArray out;
        QString warning;
        const int status = listPorts(r.json, out, warning);
        if (!warning.isEmpty())
            print(stderr, QStringLiteral("tavorin-capture: %1\n").arg(warning).toLocal8Bit());
        print(status == kAck ? stdout : stderr, out);
        return status;
    }
    const Outcome o = run(r, isatty(STDERR_FILENO) == 1);
    QString line = o.message;
    if (!o.file.isEmpty()) line += QStringLiteral(": ") + o.file;
    print(stderr, line.toLocal8Bit() + '\n');
    if (r.json) {
        print(stdout, toJson(o));
    } else if (!r.image && !o.reply.isEmpty()) {
        // A reply that is no picture is what the caller asked for.
        print(stdout, terminal::render(o.reply).text.toLocal8Bit() + '\n');
    }
    return o.status;
}

}  // namespace tavorin::capture
