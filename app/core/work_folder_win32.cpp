// The work folder on Windows: the user's local application data, which
// stays on this PC and is the user's alone (its permissions pass on to what
// is made in it).
#include <windows.h>

#include <QDir>
#include <QFileInfo>

#include "win32_error.h"
#include "work_folder.h"
#include "work_folder_platform.h"

namespace tavorin {
namespace {

const QString kFolderName = QStringLiteral("Tavorin");

std::wstring native(const QString& path) {
    return QDir::toNativeSeparators(path).toStdWString();
}

}  // namespace

QString dataFolderFrom(const Environment& environment) {
    const QString local = environment("LOCALAPPDATA");
    // "C:\Users\u\AppData\Local"; a relative or drive-relative value would
    // depend on the directory the program is moving away from.
    if (!QDir::isAbsolutePath(local)) return QString();
    return QDir::cleanPath(QDir::fromNativeSeparators(local) + u'/' + kFolderName);
}

namespace workfolder {

QString enter(const QString& path) {
    if (path.isEmpty()) return QStringLiteral("LOCALAPPDATA が設定されていません");
    // Every missing parent, one after the other, so that the reason given
    // is the one of the folder that failed.
    const QStringList parts = QDir::fromNativeSeparators(path).split(u'/', Qt::SkipEmptyParts);
    QString sofar;
    for (const QString& part : parts) {
        sofar = sofar.isEmpty() ? part : sofar + u'/' + part;
        if (sofar.endsWith(u':')) continue;  // the drive itself
        const DWORD attributes = GetFileAttributesW(native(sofar).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return win32ErrorText(ERROR_DIRECTORY);
            continue;
        }
        // Another start of the program may make it at the same moment.
        if (!CreateDirectoryW(native(sofar).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            return win32ErrorText(GetLastError());
    }
    // The settings are written when the program ends, silently: a folder
    // they cannot be written to would lose them without a word. Attributes
    // say little of the permissions that count, so a file is made and
    // removed again.
    const QString probe = QDir(path).filePath(QStringLiteral(".tavorin-write-check"));
    HANDLE h = CreateFileW(native(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return win32ErrorText(GetLastError());
    CloseHandle(h);
    if (!SetCurrentDirectoryW(native(path).c_str())) return win32ErrorText(GetLastError());
    return QString();
}

QString unnamedFolder() {
    return QStringLiteral("%LOCALAPPDATA%\\") + kFolderName;
}

}  // namespace workfolder
}  // namespace tavorin
