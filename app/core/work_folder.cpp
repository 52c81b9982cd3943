#include "work_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

#include "dialog.h"

namespace tavorin {
namespace {

const QString kFolderName = QStringLiteral("tavorin");

bool absolute(const QString& path) {
    return path.startsWith(u'/');
}

QString reason(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Makes `path` and its missing parents, each 0700. An empty text on
// success, else why not.
QString makeFolders(const QString& path) {
    const QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    QString sofar;
    for (const QString& part : parts) {
        sofar += u'/' + part;
        const QByteArray name = QFile::encodeName(sofar);
        struct stat st {};
        if (stat(name.constData(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return reason(ENOTDIR);
            continue;
        }
        // Another start of the program may make it at the same moment.
        if (mkdir(name.constData(), 0700) != 0 && errno != EEXIST) return reason(errno);
    }
    return QString();
}

// Why the folder cannot be the working one, or an empty text.
QString enter(const QString& path) {
    if (path.isEmpty()) return QStringLiteral("HOME が設定されていません");
    QString why = makeFolders(path);
    if (!why.isEmpty()) return why;
    const QByteArray name = QFile::encodeName(path);
    // The settings are written when the program ends, silently: a folder
    // they cannot be written to would lose them without a word.
    if (access(name.constData(), W_OK | X_OK) != 0) return reason(errno);
    if (chdir(name.constData()) != 0) return reason(errno);
    return QString();
}

}  // namespace

WorkFolder chooseWorkFolder(const QStringList& arguments, const QString& dataHome,
                            const QString& home) {
    WorkFolder out;
    out.fromMenu = arguments.contains(kFromMenuArgument);
    if (!out.fromMenu) return out;
    if (absolute(dataHome)) {
        out.path = QDir::cleanPath(dataHome + u'/' + kFolderName);
    } else if (absolute(home)) {
        out.path = QDir::cleanPath(home + QStringLiteral("/.local/share/") + kFolderName);
    }
    return out;
}

bool enterWorkFolder(const WorkFolder& folder) {
    if (!folder.fromMenu) return true;
    const QString why = enter(folder.path);
    if (why.isEmpty()) return true;
    const QString shown =
        folder.path.isEmpty() ? QStringLiteral("~/.local/share/") + kFolderName : folder.path;
    dialog().message(
        QStringLiteral("フォルダ「%1」を使えません（%2）。\n設定と画像は「%3」に保存します。")
            .arg(shown, why, QDir::currentPath()));
    return false;
}

}  // namespace tavorin
