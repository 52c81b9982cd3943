// The work folder on Linux: the desktop's base directory for user data,
// made for the user alone.
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

#include "work_folder.h"
#include "work_folder_platform.h"

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

}  // namespace

QString dataFolderFrom(const Environment& environment) {
    const QString dataHome = environment("XDG_DATA_HOME");
    const QString home = environment("HOME");
    if (absolute(dataHome)) return QDir::cleanPath(dataHome + u'/' + kFolderName);
    if (absolute(home))
        return QDir::cleanPath(home + QStringLiteral("/.local/share/") + kFolderName);
    return QString();
}

namespace workfolder {

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

QString unnamedFolder() {
    return QStringLiteral("~/.local/share/") + kFolderName;
}

}  // namespace workfolder
}  // namespace tavorin
