#include "capture_run.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "binding.h"
#include "cancel_signals.h"
#include "common.h"
#include "dialog.h"
#include "ombrix.h"
#include "portget.h"
#include "terminal_logic.h"

namespace tavorin::capture {
namespace {

using Clock = std::chrono::steady_clock;

// What the pump, the cancel requests and the run share.
struct Session {
    // The COM number being opened or open (0 for none), and its handle.
    std::atomic<std::int32_t> com{0};
    std::atomic<std::int32_t> handle{-1};
    std::atomic<bool> cancel{false};
    // A second request: end at once.
    std::atomic<bool> hurry{false};
    // Set once the run has returned, so that a second request stops
    // waiting for it.
    std::mutex overMutex;
    std::condition_variable overChanged;
    bool over = false;
    bool progress = false;
    Clock::time_point lastDraw;
    bool drawn = false;
};
Session g_session;

// The run's temporary alias for a device named by its path. It is removed
// on every way out, the fast one a second request takes included, which may
// start on the listener's thread: so making it and removing it take one
// lock.
class TempAlias {
  public:
    // The library makes it at the lowest free number from `first`; its
    // symlink() never takes a name someone else holds, also one taken
    // between our looking and our making it. The number, or the library's
    // negative result.
    std::int32_t make(const QString& target, std::int32_t first) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::int32_t com = PortAdd(target, first);
        if (com > 0) com_ = com;
        return com;
    }
    void remove() {
        std::lock_guard<std::mutex> lock(mutex_);
        removeLocked();
    }
    // For the process's end: the lock stays taken, so that no alias is
    // made after this one is gone.
    void removeForExit() {
        mutex_.lock();
        removeLocked();
    }

  private:
    void removeLocked() {
        if (com_ > 0) PortRemove(com_);
        com_ = 0;
    }
    std::mutex mutex_;
    std::int32_t com_ = 0;
};
TempAlias g_alias;

// The line a fast end prints, made ready in the user's language before
// anything can be cancelled.
std::array<char, 256> g_cancelLine{};
std::atomic<std::size_t> g_cancelLineSize{0};

// The end a second request asks for: nothing left behind, nothing more
// waited for.
[[noreturn]] void endNow() {
    g_alias.removeForExit();
    endAtOnce(g_cancelLine.data(), g_cancelLineSize.load(), kCancelled);
}

// Marks the run as over (it has returned) for a second request that waits.
void markOver() {
    {
        std::lock_guard lock(g_session.overMutex);
        g_session.over = true;
    }
    g_session.overChanged.notify_all();
}

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
        // A second signal ends the process here, where the library holds
        // no partial file: outside a transfer, or once a failed one has
        // dropped its temporary and only drains the line.
        if (g_session.hurry.load() &&
            (h < 0 || ImageProgress(h, nullptr, nullptr) != OMBRIX_IMAGE_RUNNING)) {
            endNow();
        }
        if (h < 0) {
            // The open under way: it is cancelled by its COM number.
            OpenCancel(g_session.com.load());
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

// The first line of a port failure: the library's message, with what was
// being opened.
QString portFailure(const QString& first, const QString& port) {
    return first + QStringLiteral(": ") + port;
}

// A COM number whose device is `path`: one the library already resolves to
// it, or else a temporary alias made for it in the port directory. When
// there is none, a negative result code (the one an open would give), and
// `why` says what stands in the way.
std::int32_t comForPath(const QString& path, QString& why) {
    // A network port's name stands as it is, both as what an alias leads
    // to and as the alias's link text.
    const bool network = PortGet::isNetworkName(path);
    const QString device = network ? path : QFileInfo(path).canonicalFilePath();
    if (device.isEmpty()) {
        why = portFailure(comsetting::openFailureMessage(OMBRIX_E_NOT_OPEN, OMBRIX_OPEN_NO_DEVICE),
                          path);
        return OMBRIX_E_NOT_OPEN;
    }
    // The device is there: what may be missing is a number for it, because
    // the port directory may not be used (the user is told which and why),
    // or takes no alias.
    auto noNumber = [&](const QString& reason) {
        why = portFailure(ErrorMessageText(OMBRIX_E_NOT_OPEN), path) + u'\n' + reason;
        return OMBRIX_E_NOT_OPEN;
    };
    auto folderRefuses = [&] {
        const QString warning = PortGet::folderWarning();
        return noNumber(warning.isEmpty() ? localized({u"ポートフォルダ %1 に別名を作れません",
                                                       "no alias can be made in the port "
                                                       "directory %1"})
                                                .arg(PortFolder())
                                          : warning);
    };
    // The library's scan makes the port directory as the user's own and
    // refuses one it must not write to; it also gives a USB device reached
    // by its persistent name the number the connection dialog shows.
    if (PortScan() < 0) return folderRefuses();
    for (int com = 1; com <= OMBRIX_COM_MAX; ++com) {
        const QString name = PortName(com);
        if (name.isEmpty()) continue;
        if (network ? name == device : QFileInfo(name).canonicalFilePath() == device) return com;
    }
    const std::int32_t com = g_alias.make(device, OMBRIX_COM_FIRST_ALIAS);
    if (com > 0) return com;
    if (com == OMBRIX_E_PARAM) {
        // Nothing an open could use, said as the open would say it: a
        // network name that is malformed (and where), or a path to no
        // serial device (a folder, a plain file, a FIFO).
        const std::int32_t code = network ? OMBRIX_E_PARAM : OMBRIX_E_NOT_OPEN;
        OpenFailureInfo info;
        info.reason = network ? OMBRIX_OPEN_BAD_NAME : OMBRIX_OPEN_NOT_TTY;
        info.namePart = PortNameCheck(path);
        why = portFailure(comsetting::openFailureMessage(code, info), path);
        return code;
    }
    if (com == OMBRIX_E_NO_ROOM) {
        return noNumber(localized({u"ポートフォルダ %1 の COM%2～COM%3 に空きがありません",
                                   "no COM number from %2 to %3 is free in the port directory %1"})
                            .arg(PortFolder())
                            .arg(OMBRIX_COM_FIRST_ALIAS)
                            .arg(OMBRIX_COM_MAX));
    }
    return folderRefuses();
}

// The message of a failed library call: the program's text for the code,
// or, for a code it shows nothing for, what the exit status means.
QString failureText(std::int32_t code) {
    const QString text = ErrorMessageText(code);
    return text.isEmpty() ? statusMeaning(statusForLibrary(code)) : text;
}

}  // namespace

void cancelRequested(int count) {
    g_session.cancel.store(true);
    if (count > 1) g_session.hurry.store(true);
    // Ombrix_OpenCancel may be called from another thread: a wait of the
    // main thread ends at once, pump or none, on the open under way or on
    // the port it opened alike.
    if (const std::int32_t com = g_session.com.load(); com > 0) OpenCancel(com);
    if (count == 1) return;
    // The main thread ends at its next pump, or finishes the run on its
    // own; should it do neither (a call that does not return), the process
    // ends from here.
    std::unique_lock lock(g_session.overMutex);
    if (!g_session.overChanged.wait_for(lock, std::chrono::milliseconds(200),
                                        [] { return g_session.over; })) {
        endNow();
    }
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
            g_session.com.store(0);
            markOver();
        }
    } restore;
    auto fail = [&](int status, const QString& message) {
        out.status = status;
        out.message = message;
        return out;
    };
    const QString cancelled = ErrorMessageText(OMBRIX_E_CANCELLED);
    // A request that came before the port is touched leaves it untouched.
    if (g_session.cancel.load()) return fail(kCancelled, cancelled);

    if (!binding::available()) return fail(kNoLibrary, boxes.messages.join(u'\n'));

    struct AliasGuard {
        ~AliasGuard() { g_alias.remove(); }
    } aliasGuard;
    int com = r.com;
    QString port = QStringLiteral("COM%1").arg(com);
    if (com <= 0) {
        QString why;
        com = comForPath(r.devicePath, why);
        if (com < 0) return fail(statusForLibrary(com), why);
        port = r.devicePath;
    } else if (const QString device = PortName(com); !device.isEmpty()) {
        port += QStringLiteral(" (") + device + u')';
    }

    g_session.progress = progress;
    g_session.com.store(com);
    PumpSet(&pump);
    const comsetting::OpenArgs line = comsetting::openArgs(r.line, r.timeout);
    const std::int32_t h =
        PortOpen(com, line.baud, line.dataBits, line.stopBits, line.parity, line.flow);
    if (h < 0) {
        if (h == OMBRIX_E_CANCELLED || g_session.cancel.load()) return fail(kCancelled, cancelled);
        const OpenFailureInfo why = OpenFailureDetails(PortName(com));
        QString message = comsetting::openFailureMessage(h, why);
        if (message.isEmpty()) message = failureText(h);
        message = portFailure(message, port);
        // A number the port directory would have given is missing while
        // the library ignores that directory: the user is told why.
        if (const QString warning = PortGet::folderWarning();
            h == OMBRIX_E_NOT_OPEN && !warning.isEmpty()) {
            message += u'\n' + warning;
        }
        return fail(statusForOpen(h, why.reason), message);
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
    if (g_session.cancel.load()) return fail(kCancelled, cancelled);

    const Clock::time_point start = Clock::now();
    const std::int32_t sent = SendCommand(h, r.command);
    if (sent < 0) return fail(statusForLibrary(sent), failureText(sent));
    QString reply;
    std::int32_t got = 0;
    constexpr std::int32_t kCapacity = 2046;
    const FileStamp before = r.image ? fileStamp(r.output) : FileStamp{};
    if (r.image) {
        got = RecvImage(h, r.output, reply, kCapacity, 2, &out.reply);
    } else {
        got = RecvResponse(h, reply, kCapacity, &out.reply);
    }
    clearProgress();
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::int32_t length = 0, received = 0;
    if (r.image && ImageProgress(h, &length, &received) >= 0) {
        // What arrived is told whether or not it made a picture; the file
        // is named only when the whole picture was stored, also when the
        // closing reply that should follow it then failed to come.
        out.bytes = received;
        if (received > 0 &&
            (got >= 0 || image::pictureKept(got, received, before, fileStamp(r.output)))) {
            out.file = r.output;
        }
    }
    if (got < 0) {
        // A cancel that came from outside is that request's, whatever the
        // interrupted call made of it.
        const std::int32_t code = g_session.cancel.load() ? OMBRIX_E_CANCELLED : got;
        QString message = failureText(code);
        if (code == OMBRIX_E_NO_ROOM) {
            message = localized({u"スキャナのレスポンスが %1 バイトを超えました",
                                 "the scanner's reply is longer than %1 bytes"})
                          .arg(kCapacity);
        } else if (code == OMBRIX_E_FILE) {
            // The system's reason, as the library met it: a full disk, an
            // I/O error, a removed folder, a file another writer held.
            message = portFailure(message, r.output);
            if (const QString why = FileFailureText(h); !why.isEmpty()) {
                message += QStringLiteral(": ") + why;
            }
        }
        if (!out.file.isEmpty()) message += u'\n' + image::pictureKeptText(out.file);
        return fail(statusForLibrary(code), message);
    }
    const ReplyOutcome said = replyOutcome(r.tab, length > 0, out.reply);
    out.status = said.status;
    out.message = said.message;
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
    for (int index = 0; index < OMBRIX_COM_MAX; ++index) {
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

int capture(const QList<QByteArray>& args) {
    const Parsed parsed = parse(args);
    const Request& r = parsed.request;
    // Asked for whether or not the rest of the line could be read; a word
    // "--json" is never another option's value.
    const bool json = args.contains(QByteArrayLiteral("--json"));
    // Standard output is checked, so that a report lost to a full disk or a
    // closed pipe does not pass for one given; standard error has nowhere
    // else to go.
    int outError = 0;
    auto print = [&](FILE* to, const QByteArray& bytes) {
        errno = 0;
        const bool whole = std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()),
                                       to) == static_cast<std::size_t>(bytes.size());
        if ((!whole || std::fflush(to) != 0) && to == stdout && outError == 0) {
            outError = errno != 0 ? errno : EIO;
        }
    };
    auto tell = [&](const QString& message) {
        print(stderr, QStringLiteral("tavorin-capture: %1\n").arg(message).toLocal8Bit());
    };
    auto finish = [&](int status) {
        errno = 0;
        if (outError == 0 && (std::fflush(stdout) != 0 || std::ferror(stdout))) {
            outError = errno != 0 ? errno : EIO;
        }
        if (outError == 0) return status;
        tell(localized({u"標準出力に書き込めません: %1", "cannot write standard output: %1"})
                 .arg(QString::fromLocal8Bit(std::strerror(outError))));
        return static_cast<int>(kOutputLost);
    };

    const QByteArray cancelLine =
        (QStringLiteral("tavorin-capture: ") + ErrorMessageText(OMBRIX_E_CANCELLED) + u'\n')
            .toLocal8Bit()
            .left(static_cast<qsizetype>(g_cancelLine.size()));
    std::memcpy(g_cancelLine.data(), cancelLine.constData(),
                static_cast<std::size_t>(cancelLine.size()));
    g_cancelLineSize.store(static_cast<std::size_t>(cancelLine.size()));

    if (parsed.status != kAck) {
        tell(parsed.message);
        if (parsed.status == kUsage) {
            print(stderr, localized({u"使い方は 'tavorin-capture --help' で表示されます。",
                                     "Try 'tavorin-capture --help'."})
                                  .toLocal8Bit() +
                              '\n');
        }
        if (json) {
            Outcome o;
            o.status = parsed.status;
            o.message = parsed.message;
            print(stdout, toJson(o));
        }
        return finish(parsed.status);
    }
    if (r.action == Action::Help) {
        print(stdout, helpText().toLocal8Bit());
        return finish(kAck);
    }
    if (r.action == Action::List) {
        QByteArray out;
        QString warning;
        const int status = listPorts(r.json, out, warning);
        if (!warning.isEmpty()) tell(warning);
        if (status == kAck) {
            print(stdout, out);
        } else {
            tell(QString::fromLocal8Bit(out).trimmed());
        }
        return finish(status);
    }
    const Outcome o = run(r, standardErrorIsTerminal());
    QString line = o.message;
    if (o.status == kAck && !o.file.isEmpty()) line += QStringLiteral(": ") + o.file;
    tell(line);
    if (r.json) {
        print(stdout, toJson(o));
    } else if (!r.image && !o.reply.isEmpty()) {
        // A reply that is no picture is what the caller asked for.
        print(stdout, terminal::render(o.reply).text.toLocal8Bit() + '\n');
    }
    return finish(o.status);
}

}  // namespace tavorin::capture
