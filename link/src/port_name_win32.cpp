// The port directory and the remembered USB numbers on Windows: neither
// exists there. The system itself gives every serial device its COM number
// and keeps a USB adapter's number when it is plugged back in, so there is
// no folder of aliases to show and nothing to remember.
#include "ombrix.h"
#include "port_names.h"

namespace ombrix {

bool portFolder(char* buffer, std::size_t capacity, std::size_t* length) {
    *length = 0;
    if (capacity < 1) return false;
    buffer[0] = '\0';
    return true;
}

std::int32_t rememberSerialIds() {
    return OMBRIX_OK;
}

// Network ports reach a Windows program as COM ports of the device server's
// own driver: there is no alias to make or remove.
std::int32_t addAlias(const char*, std::int32_t) {
    return OMBRIX_E_FILE;
}

std::int32_t removeAlias(std::int32_t) {
    return OMBRIX_E_FILE;
}

std::int32_t portFolderCheck() {
    return OMBRIX_FOLDER_MISSING;
}

}  // namespace ombrix
