#include "binding.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <vector>

#include "dialog.h"
#include "language.h"
#include "library_loader.h"

namespace tavorin {
namespace {

// One slot per export, bound by name.
struct Exports {
    decltype(&Ombrix_PortOpen) PortOpen = nullptr;
    decltype(&Ombrix_PortClose) PortClose = nullptr;
    decltype(&Ombrix_TimeoutSet) TimeoutSet = nullptr;
    decltype(&Ombrix_RecvChk) RecvChk = nullptr;
    decltype(&Ombrix_ComCancel) ComCancel = nullptr;
    decltype(&Ombrix_ComClear) ComClear = nullptr;
    decltype(&Ombrix_ImageProgress) ImageProgress = nullptr;
    decltype(&Ombrix_RecvStart) RecvStart = nullptr;
    decltype(&Ombrix_RecvStop) RecvStop = nullptr;
    decltype(&Ombrix_CmndSend) CmndSend = nullptr;
    decltype(&Ombrix_CmndFrame) CmndFrame = nullptr;
    decltype(&Ombrix_DataSend) DataSend = nullptr;
    decltype(&Ombrix_ResponseRecv) ResponseRecv = nullptr;
    decltype(&Ombrix_DataRecv) DataRecv = nullptr;
    decltype(&Ombrix_ImageRecv) ImageRecv = nullptr;
    decltype(&Ombrix_PortName) PortName = nullptr;
    decltype(&Ombrix_PortFolder) PortFolder = nullptr;
    decltype(&Ombrix_PortScan) PortScan = nullptr;
    decltype(&Ombrix_PortFolderCheck) PortFolderCheck = nullptr;
    decltype(&Ombrix_PortAdd) PortAdd = nullptr;
    decltype(&Ombrix_PortRemove) PortRemove = nullptr;
    decltype(&Ombrix_PumpSet) PumpSet = nullptr;
    decltype(&Ombrix_OpenFailure) OpenFailure = nullptr;
    decltype(&Ombrix_OpenFailureText) OpenFailureText = nullptr;
    decltype(&Ombrix_OpenFailureLine) OpenFailureLine = nullptr;
    decltype(&Ombrix_OpenCancel) OpenCancel = nullptr;
    decltype(&Ombrix_PortNameCheck) PortNameCheck = nullptr;
    decltype(&Ombrix_FileFailure) FileFailure = nullptr;
};

struct State {
    QString library = binding::libraryFileName();
    void* handle = nullptr;
    bool tried = false;
    bool ok = false;
    Exports fn;
};

State& state() {
    static State s;
    return s;
}

template <typename F>
bool bindOne(void* lib, const char* name, F& slot, QStringList& missing) {
    slot = reinterpret_cast<F>(loader::symbol(lib, name));
    if (!slot) missing << QString::fromLatin1(name);
    return slot != nullptr;
}

bool load() {
    State& s = state();
    if (s.tried) return s.ok;
    s.tried = true;

    QStringList looked;
    QStringList reasons;
    QString name = s.library;
    auto tryOpen = [&](const QString& what) {
        looked << what;
        QString why;
        s.handle = loader::open(what, why);
        if (!s.handle && !why.isEmpty()) reasons << why;
        return s.handle != nullptr;
    };
    if (QFileInfo(name).isAbsolute()) {
        tryOpen(name);
    } else {
        // The program's own directory first, so that the library built and
        // shipped beside it wins over any other copy on the system. A bare
        // name then goes to the loader's standard search path.
        QString own = QDir(loader::programDirectory()).filePath(name);
        if (!tryOpen(own)) tryOpen(name);
    }
    if (!s.handle) {
        dialog().message(
            localized({u"ライブラリ %1 を読み込めません。\n探した場所: %2\n"
                       u"理由: %3\nスキャナとの通信はできません。",
                       "The library %1 cannot be loaded.\nLooked in: %2\n"
                       "Reason: %3\nNo scanner can be reached."})
                .arg(name, looked.join(QStringLiteral(", ")), reasons.join(QStringLiteral(" / "))));
        return false;
    }

    QStringList missing;
    Exports& f = s.fn;
    bindOne(s.handle, "Ombrix_PortOpen", f.PortOpen, missing);
    bindOne(s.handle, "Ombrix_PortClose", f.PortClose, missing);
    bindOne(s.handle, "Ombrix_TimeoutSet", f.TimeoutSet, missing);
    bindOne(s.handle, "Ombrix_RecvChk", f.RecvChk, missing);
    bindOne(s.handle, "Ombrix_ComCancel", f.ComCancel, missing);
    bindOne(s.handle, "Ombrix_ComClear", f.ComClear, missing);
    bindOne(s.handle, "Ombrix_ImageProgress", f.ImageProgress, missing);
    bindOne(s.handle, "Ombrix_RecvStart", f.RecvStart, missing);
    bindOne(s.handle, "Ombrix_RecvStop", f.RecvStop, missing);
    bindOne(s.handle, "Ombrix_CmndSend", f.CmndSend, missing);
    bindOne(s.handle, "Ombrix_CmndFrame", f.CmndFrame, missing);
    bindOne(s.handle, "Ombrix_DataSend", f.DataSend, missing);
    bindOne(s.handle, "Ombrix_ResponseRecv", f.ResponseRecv, missing);
    bindOne(s.handle, "Ombrix_DataRecv", f.DataRecv, missing);
    bindOne(s.handle, "Ombrix_ImageRecv", f.ImageRecv, missing);
    bindOne(s.handle, "Ombrix_PortName", f.PortName, missing);
    bindOne(s.handle, "Ombrix_PortFolder", f.PortFolder, missing);
    bindOne(s.handle, "Ombrix_PortScan", f.PortScan, missing);
    bindOne(s.handle, "Ombrix_PortFolderCheck", f.PortFolderCheck, missing);
    bindOne(s.handle, "Ombrix_PortAdd", f.PortAdd, missing);
    bindOne(s.handle, "Ombrix_PortRemove", f.PortRemove, missing);
    bindOne(s.handle, "Ombrix_PumpSet", f.PumpSet, missing);
    bindOne(s.handle, "Ombrix_OpenFailure", f.OpenFailure, missing);
    bindOne(s.handle, "Ombrix_OpenFailureText", f.OpenFailureText, missing);
    bindOne(s.handle, "Ombrix_OpenFailureLine", f.OpenFailureLine, missing);
    bindOne(s.handle, "Ombrix_OpenCancel", f.OpenCancel, missing);
    bindOne(s.handle, "Ombrix_PortNameCheck", f.PortNameCheck, missing);
    bindOne(s.handle, "Ombrix_FileFailure", f.FileFailure, missing);
    if (!missing.isEmpty()) {
        dialog().message(localized({u"ライブラリ %1 に次の関数がありません: %2\n"
                                    u"スキャナとの通信はできません。",
                                    "The library %1 lacks these functions: %2\n"
                                    "No scanner can be reached."})
                             .arg(name, missing.join(QStringLiteral(", "))));
        // A library that lacks one export is not the library this program
        // was built for; none of it is used.
        s.fn = Exports{};
        loader::close(s.handle);
        s.handle = nullptr;
        return false;
    }
    s.ok = true;
    return true;
}

// Calls the bound export, or answers -1 when the library is not usable.
template <typename F, typename... Args>
std::int32_t call(F Exports::*slot, Args... args) {
    if (!load()) return OMBRIX_E_NOT_OPEN;
    return (state().fn.*slot)(args...);
}

// Buffers handed to the library start filled with blanks, as the receiving
// wrappers always have; the library writes at most the capacity.
std::vector<unsigned char> replyBuffer(std::int32_t capacity) {
    return std::vector<unsigned char>(static_cast<std::size_t>(capacity > 0 ? capacity : 1), ' ');
}

std::int16_t finishReply(std::int32_t r, const std::vector<unsigned char>& buffer, QString& text,
                         QByteArray* raw) {
    std::int16_t result = static_cast<std::int16_t>(r);
    std::int32_t n =
        result > 0 ? std::min<std::int32_t>(result, static_cast<std::int32_t>(buffer.size())) : 0;
    text = n > 0 ? replyText(buffer.data(), n) : QString();
    if (raw) *raw = QByteArray(reinterpret_cast<const char*>(buffer.data()), n);
    return result;
}

}  // namespace

namespace binding {

QString libraryFileName() {
    return loader::libraryFileName();
}

void overrideLibrary(const QString& nameOrPath) {
    State& s = state();
    loader::close(s.handle);
    s.handle = nullptr;
    s.tried = false;
    s.ok = false;
    s.fn = Exports{};
    s.library = nameOrPath;
}

bool available() {
    return load();
}

}  // namespace binding

std::int32_t PortOpen(std::int32_t com, std::int32_t baud, std::int32_t dataBits,
                      std::int32_t stopBits, std::int32_t parity, std::int32_t flow) {
    return call(&Exports::PortOpen, com, baud, dataBits, stopBits, parity, flow);
}
std::int32_t PortClose(std::int32_t handle) {
    return call(&Exports::PortClose, handle);
}
std::int32_t TimeoutSet(std::int32_t handle, std::int32_t first, std::int32_t data) {
    return call(&Exports::TimeoutSet, handle, first, data);
}
std::int32_t RecvChk(std::int32_t handle) {
    // Polled by timers: without a library there is simply nothing waiting.
    if (!load()) return 0;
    return state().fn.RecvChk(handle);
}
std::int32_t ComCancel(std::int32_t handle) {
    return call(&Exports::ComCancel, handle);
}
std::int32_t ComClear(std::int32_t handle) {
    return call(&Exports::ComClear, handle);
}
std::int32_t ImageProgress(std::int32_t handle, std::int32_t* length, std::int32_t* received) {
    if (length) *length = 0;
    if (received) *received = 0;
    return call(&Exports::ImageProgress, handle, length, received);
}
std::int32_t RecvStart(std::int32_t handle, std::intptr_t window, std::uint32_t message) {
    return call(&Exports::RecvStart, handle, window, message);
}
std::int32_t RecvStop(std::int32_t handle) {
    return call(&Exports::RecvStop, handle);
}
std::int32_t PumpSet(Ombrix_PumpFn pump) {
    return call(&Exports::PumpSet, pump);
}
std::int32_t OpenFailure() {
    if (!load()) return OMBRIX_OPEN_OTHER;
    return state().fn.OpenFailure();
}

std::int32_t OpenCancel(std::int32_t com) {
    return call(&Exports::OpenCancel, com);
}

OpenFailureInfo OpenFailureDetails(const QString& portName) {
    OpenFailureInfo info;
    if (!load()) {
        info.reason = OMBRIX_OPEN_OTHER;
        return info;
    }
    const Exports& f = state().fn;
    info.reason = f.OpenFailure();
    char words[OMBRIX_FAILURE_TEXT_SIZE];
    const std::int32_t n = f.OpenFailureText(words, sizeof words);
    if (n > 0) info.words = QString::fromLatin1(words, n);
    info.lineSetting = f.OpenFailureLine(&info.asked, &info.set);
    if (info.reason == OMBRIX_OPEN_BAD_NAME) info.namePart = PortNameCheck(portName);
    return info;
}

std::int32_t PortNameCheck(const QString& name) {
    if (!load()) return OMBRIX_NAME_DEVICE;
    return state().fn.PortNameCheck(QFile::encodeName(name).constData());
}

std::int32_t FileFailure(std::int32_t handle) {
    return call(&Exports::FileFailure, handle);
}

QString FileFailureText(std::int32_t handle) {
    const std::int32_t code = FileFailure(handle);
    // Qt words the number as the platform does: strerror() where the
    // library gives errno, the system's message table for GetLastError().
    return code > 0 ? qt_error_string(code) : QString();
}

QString PortName(std::int32_t com) {
    if (!load()) return QString();
    char path[512];
    std::int32_t n = state().fn.PortName(com, path, sizeof path);
    if (n < 0) return QString();
    return QFile::decodeName(QByteArray(path, n));
}

QString PortFolder() {
    if (!load()) return QString();
    char path[512];
    std::int32_t n = state().fn.PortFolder(path, sizeof path);
    if (n < 0) return QString();
    return QFile::decodeName(QByteArray(path, n));
}

std::int32_t PortScan() {
    return call(&Exports::PortScan);
}

std::int32_t PortAdd(const QString& target, std::int32_t first) {
    const QByteArray bytes = QFile::encodeName(target);
    return call(&Exports::PortAdd, bytes.constData(), first);
}

std::int32_t PortRemove(std::int32_t com) {
    return call(&Exports::PortRemove, com);
}

std::int32_t PortFolderCheck() {
    if (!load()) return OMBRIX_FOLDER_MISSING;
    return state().fn.PortFolderCheck();
}

QByteArray CommandFrame(const QString& command) {
    const QByteArray bytes = command.toLocal8Bit();
    QByteArray frame(bytes.size() + 4, '\0');
    const std::int32_t n = call(
        &Exports::CmndFrame, reinterpret_cast<const unsigned char*>(bytes.constData()),
        static_cast<std::int32_t>(bytes.size()), reinterpret_cast<unsigned char*>(frame.data()),
        static_cast<std::int32_t>(frame.size()));
    if (n < 0) return QByteArray();
    frame.truncate(n);
    return frame;
}

std::int32_t SendCommand(std::int32_t handle, const QString& command) {
    QByteArray bytes = command.toLocal8Bit();
    return call(&Exports::CmndSend, handle,
                reinterpret_cast<const unsigned char*>(bytes.constData()),
                static_cast<std::int32_t>(bytes.size()));
}

std::int32_t SendData(std::int32_t handle, const QString& text) {
    QByteArray bytes = text.toLocal8Bit();
    return call(&Exports::DataSend, handle,
                reinterpret_cast<const unsigned char*>(bytes.constData()),
                static_cast<std::int32_t>(bytes.size()));
}

std::int16_t RecvResponse(std::int32_t handle, QString& reply, std::int32_t capacity,
                          QByteArray* raw) {
    std::vector<unsigned char> buffer = replyBuffer(capacity);
    std::int32_t r = call(&Exports::ResponseRecv, handle, buffer.data(), capacity);
    return finishReply(r, buffer, reply, raw);
}

std::int16_t RecvData(std::int32_t handle, QString& data, std::int32_t capacity,
                      const QString& start, const QString& end, QByteArray* raw) {
    std::vector<unsigned char> buffer = replyBuffer(capacity);
    QByteArray s = start.toLocal8Bit();
    QByteArray e = end.toLocal8Bit();
    std::int32_t r =
        call(&Exports::DataRecv, handle, buffer.data(), capacity, s.constData(), e.constData());
    return finishReply(r, buffer, data, raw);
}

namespace {

// The bytes a reader stored: its count, or the whole buffer when the reply
// went on past it.
QByteArray storedBytes(std::int32_t result, const std::vector<unsigned char>& buffer) {
    const std::size_t n = result == OMBRIX_E_NO_ROOM ? buffer.size()
                          : result > 0               ? std::min<std::size_t>(result, buffer.size())
                                                     : 0;
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), static_cast<qsizetype>(n));
}

}  // namespace

std::int32_t RecvDataPiece(std::int32_t handle, QByteArray& bytes, std::int32_t capacity) {
    std::vector<unsigned char> buffer = replyBuffer(capacity);
    const std::int32_t r = call(&Exports::DataRecv, handle, buffer.data(), capacity, "", "");
    bytes = storedBytes(r, buffer);
    return r;
}

std::int32_t RecvResponsePiece(std::int32_t handle, QByteArray& bytes, std::int32_t capacity) {
    std::vector<unsigned char> buffer = replyBuffer(capacity);
    const std::int32_t r = call(&Exports::ResponseRecv, handle, buffer.data(), capacity);
    bytes = storedBytes(r, buffer);
    return r;
}

std::int16_t RecvImage(std::int32_t handle, const QString& fileName, QString& reply,
                       std::int32_t capacity, std::int32_t mode, QByteArray* raw) {
    std::vector<unsigned char> buffer = replyBuffer(capacity);
    QByteArray path = QFile::encodeName(fileName);
    // The library takes the name up to its first zero: one with a zero
    // inside would name another file.
    if (path.contains('\0')) return finishReply(OMBRIX_E_FILE, buffer, reply, raw);
    std::int32_t r =
        call(&Exports::ImageRecv, handle, path.constData(), buffer.data(), capacity, mode);
    return finishReply(r, buffer, reply, raw);
}

std::optional<QString> textOfBytes(const QByteArray& bytes) {
    QString text = QString::fromLocal8Bit(bytes);
    if (text.toLocal8Bit() != bytes) return std::nullopt;
    return text;
}

std::optional<QString> fileNameOfBytes(const QByteArray& bytes) {
    QString name = QFile::decodeName(bytes);
    if (QFile::encodeName(name) != bytes) return std::nullopt;
    return name;
}

QString replyText(const unsigned char* bytes, std::int32_t count) {
    // Control bytes and ASCII map to the same code points in every
    // encoding the program meets; decoding the whole reply with the locale
    // keeps multi-byte texts of a scanner whole.
    return QString::fromLocal8Bit(reinterpret_cast<const char*>(bytes), count);
}

}  // namespace tavorin
