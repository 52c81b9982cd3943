#include <windows.h>

#include <QDir>
#include <QFileInfo>

#include "library_loader.h"
#include "win32_error.h"

namespace tavorin::loader {

QString libraryFileName() {
    return QStringLiteral("Ombrix.dll");
}

QString programDirectory() {
    // The module of the running program, asked of the system itself: a
    // QCoreApplication may not exist yet, and the binding must not need one.
    // Paths longer than MAX_PATH are possible, so the buffer grows until the
    // whole name fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return QString();
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        if (buffer.size() >= 32768) return QString();
        buffer.resize(buffer.size() * 2);
    }
    return QFileInfo(QString::fromStdWString(buffer)).absolutePath();
}

void* open(const QString& path, QString& error) {
    const bool bare = !path.contains(u'/') && !path.contains(u'\\');
    // A full path is loaded with its own folder searched for the DLLs it
    // needs, as the loader would for a program in that folder; a bare name
    // takes the standard search order. No "cannot find" box is shown: the
    // binding tells the user itself, once.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    HMODULE library =
        LoadLibraryExW(name.c_str(), nullptr, bare ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD why = library ? 0 : GetLastError();
    SetErrorMode(previous);
    if (!library) error = win32ErrorText(why);
    return reinterpret_cast<void*>(library);
}

void* symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void close(void* library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace tavorin::loader
