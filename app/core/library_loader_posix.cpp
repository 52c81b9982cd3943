#include <dlfcn.h>

#include <QFile>
#include <QFileInfo>

#include "library_loader.h"

namespace tavorin::loader {

QString libraryFileName() {
    return QStringLiteral("libOmbrix.so");
}

QString programDirectory() {
    // /proc/self/exe names the running program even before (or without) a
    // QCoreApplication, which the binding must not require.
    QString target = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return target.isEmpty() ? QString() : QFileInfo(target).absolutePath();
}

void* open(const QString& path, QString& error) {
    // Every symbol is resolved now, so that a library that loads is one
    // whose dependencies are all there; local, so that its names never
    // satisfy anything else loaded later.
    void* library = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        // The loader's own words tell a missing file from one that is there
        // but cannot be loaded (another architecture, a missing dependency).
        const char* why = dlerror();
        error = why ? QString::fromLocal8Bit(why) : QString();
    }
    return library;
}

void* symbol(void* library, const char* name) {
    return dlsym(library, name);
}

void close(void* library) {
    if (library) dlclose(library);
}

}  // namespace tavorin::loader
