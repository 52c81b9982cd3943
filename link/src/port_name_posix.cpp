// COM numbers to device paths on POSIX. Discovery in the program asks the
// same routine through Ombrix_PortName, so the two can never disagree.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device.h"

namespace ombrix {
namespace {

// $XDG_RUNTIME_DIR is per user and private; without it a per-uid directory
// under /tmp keeps users apart.
std::string portDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/ombrix";
    return "/tmp/ombrix-" + std::to_string(getuid());
}

std::string builtinPath(std::int32_t com) {
    static const char* const kFamilies[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    int family = (com - 1) / 32;
    if (family > 2) return {};
    return kFamilies[family] + std::to_string((com - 1) % 32);
}

}  // namespace

bool comPath(std::int32_t com, char* buffer, std::size_t capacity, std::size_t* length) {
    std::string alias = portDirectory() + "/COM" + std::to_string(com);
    struct stat st {};
    std::string path = alias;
    // An alias wins even when it dangles: opening it then fails, which is
    // truer than silently opening some other device under that number.
    if (lstat(alias.c_str(), &st) != 0) {
        std::string builtin = builtinPath(com);
        if (!builtin.empty()) path = builtin;
    }
    *length = path.size();
    if (path.size() + 1 > capacity) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace ombrix
