#include "win32_error.h"

#include <windows.h>

namespace tavorin {

QString win32ErrorText(unsigned long error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString out = n ? QString::fromWCharArray(text, static_cast<int>(n)).trimmed()
                    : QStringLiteral("error %1").arg(error);
    if (text) LocalFree(text);
    return out;
}

}  // namespace tavorin
