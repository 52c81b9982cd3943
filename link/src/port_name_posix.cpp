// COM numbers to device paths on POSIX. Discovery in the program asks the
// same routines through Ombrix_PortName, Ombrix_PortFolder and
// Ombrix_PortScan, so the two can never disagree.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "device.h"
#include "network_name.h"
#include "ombrix.h"
#include "port_names.h"

namespace ombrix {
namespace {

constexpr int kMaxCom = OMBRIX_COM_MAX;

// The built-in table: 32 numbers per family, in this order.
constexpr const char* kFamilies[] = {"ttyS", "ttyUSB", "ttyACM"};
constexpr int kPerFamily = 32;
// Numbers above the built-in table exist only as aliases.
constexpr int kFirstAliasOnly = OMBRIX_COM_FIRST_ALIAS;
static_assert(std::size(kFamilies) * kPerFamily + 1 == kFirstAliasOnly,
              "the first alias number follows the built-in table");

// $XDG_RUNTIME_DIR is per user and private; without it a per-uid directory
// under /tmp keeps users apart.
std::string portDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/ombrix";
    return "/tmp/ombrix-" + std::to_string(getuid());
}

std::string builtinPath(std::int32_t com) {
    int family = (com - 1) / kPerFamily;
    if (family > 2) return {};
    return std::string("/dev/") + kFamilies[family] + std::to_string((com - 1) % kPerFamily);
}

std::string aliasPath(const std::string& folder, int com) {
    return folder + "/COM" + std::to_string(com);
}

// The number an entry of the port directory stands for: "COM<n>" exactly as
// comPathIn() spells it, else 0.
int aliasNumber(const char* name) {
    if (std::strncmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
    int n = 0;
    for (const char* c = name + 3; *c; ++c) {
        if (*c < '0' || *c > '9' || n > kMaxCom) return 0;
        n = n * 10 + (*c - '0');
    }
    return n <= kMaxCom ? n : 0;
}

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string linkText(const std::string& path) {
    char text[PATH_MAX];
    ssize_t n = readlink(path.c_str(), text, sizeof text - 1);
    return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Makes the port directory, private to the user, when it is missing, and
// tells whether it may be used. A directory made by someone else first is
// left as it is: mkdir() fails on it and the test below judges it.
std::int32_t usableFolder(const std::string& path) {
    (void)mkdir(path.c_str(), 0700);
    return folderTrust(path);
}

}  // namespace

std::int32_t folderTrust(const std::string& path) {
    struct stat st {};
    // lstat(): a link would let whoever may change it choose the directory.
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? OMBRIX_FOLDER_MISSING : OMBRIX_FOLDER_UNUSABLE;
    if (S_ISLNK(st.st_mode)) return OMBRIX_FOLDER_LINK;
    if (!S_ISDIR(st.st_mode)) return OMBRIX_FOLDER_NOT_DIR;
    // Another user who owns the directory, or who may write to it, can
    // point COM<n> at a terminal of theirs and read every command sent.
    if (st.st_uid != geteuid()) return OMBRIX_FOLDER_OWNER;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return OMBRIX_FOLDER_SHARED;
    return OMBRIX_FOLDER_OWN;
}

int builtinNumber(const std::string& kernelName) {
    // The longest family name first, so that "ttyS" does not claim "ttySUSB".
    for (int family = 2; family >= 0; --family) {
        const std::size_t len = std::strlen(kFamilies[family]);
        if (kernelName.compare(0, len, kFamilies[family]) != 0) continue;
        const std::string digits = kernelName.substr(len);
        if (digits.empty() || digits.size() > 2 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return 0;
        if (digits.size() > 1 && digits[0] == '0') return 0;
        const int index = std::stoi(digits);
        return index < kPerFamily ? family * kPerFamily + index + 1 : 0;
    }
    return 0;
}

std::vector<NewAlias> numbersFor(const std::vector<SerialId>& ids, std::set<int> taken) {
    std::vector<NewAlias> out;
    for (const SerialId& id : ids) {
        if (id.aliased) continue;
        int com = 0;
        if (id.builtin > 0 && id.builtin < kFirstAliasOnly && !taken.count(id.builtin)) {
            com = id.builtin;
        } else {
            for (int n = kFirstAliasOnly; n <= kMaxCom && com == 0; ++n) {
                if (!taken.count(n)) com = n;
            }
        }
        if (com == 0) continue;
        taken.insert(com);
        out.push_back({com, id.path});
    }
    return out;
}

PortFolders systemFolders() {
    return {portDirectory(), "/dev/serial/by-id"};
}

std::string comPathIn(std::int32_t com, const PortFolders& folders) {
    // Nothing in a directory that fails the test is looked at: every number
    // then means what the built-in table says, and one only an alias could
    // give means nothing. Once the test passes the directory stays the
    // user's: no one else may rename or replace it (its parent is the
    // user's runtime directory or sticky /tmp), nor write into it.
    if (usableFolder(folders.ports) != OMBRIX_FOLDER_OWN) return builtinPath(com);
    std::string alias = aliasPath(folders.ports, com);
    struct stat st {};
    // An alias wins even when it dangles: opening it then fails, which is
    // truer than silently opening some other device under that number. A
    // USB device that is unplugged keeps its number this way.
    if (lstat(alias.c_str(), &st) == 0) {
        // A network port's alias leads to no file: its text is the name.
        if (S_ISLNK(st.st_mode)) {
            std::string text = linkText(alias);
            if (isNetworkName(text)) return text;
        }
        return alias;
    }
    std::string builtin = builtinPath(com);
    return builtin.empty() ? alias : builtin;
}

std::int32_t rememberSerialIdsIn(const PortFolders& folders) {
    // The persistent names of the devices present now.
    std::set<std::string> names;  // sorted: devices found together are numbered alike every time
    if (Dir dir{opendir(folders.byId.c_str())}) {
        while (dirent* e = readdir(dir.get())) {
            if (e->d_name[0] != '.') names.insert(e->d_name);
        }
    }
    std::vector<SerialId> ids;
    std::vector<std::string> devices;  // the node each id leads to, by index
    for (const std::string& name : names) {
        std::string path = folders.byId + "/" + name;
        std::string node = canonical(path);
        if (node.empty()) continue;  // a name left behind by a device that went
        ids.push_back({path, builtinNumber(node.substr(node.find_last_of('/') + 1)), false});
        devices.push_back(node);
    }
    // The directory is made even when there is nothing to number yet, so
    // that a program can watch it for the aliases that will come.
    if (usableFolder(folders.ports) != OMBRIX_FOLDER_OWN) return OMBRIX_E_FILE;
    if (ids.empty()) return 0;

    std::set<int> taken;
    if (Dir dir{opendir(folders.ports.c_str())}) {
        while (dirent* e = readdir(dir.get())) {
            const int com = aliasNumber(e->d_name);
            if (com == 0) continue;
            taken.insert(com);
            // An alias leads to a device by its persistent name, or to the
            // node the device sits on now; either way the user has numbered
            // that device and the alias wins.
            const std::string alias = folders.ports + "/" + e->d_name;
            const std::string text = linkText(alias);
            const std::string node = canonical(alias);
            for (std::size_t i = 0; i < ids.size(); ++i) {
                if (text == ids[i].path || (!node.empty() && node == devices[i]))
                    ids[i].aliased = true;
            }
        }
    }
    std::int32_t made = 0;
    for (const NewAlias& a : numbersFor(ids, taken)) {
        // A number another program took meanwhile stays theirs; the device
        // gets one at the next look.
        if (symlink(a.target.c_str(), aliasPath(folders.ports, a.com).c_str()) == 0) ++made;
    }
    return made;
}

std::int32_t addAliasIn(const std::string& folder, const char* target, std::int32_t first) {
    const std::string text = target ? target : "";
    NetworkName name;
    struct stat st {};
    // Only what an open can use is written: a network name it can parse,
    // or a serial device that is there now (named from the root, so that
    // the link means the same wherever it is read from).
    const bool usable = isNetworkName(text)
                            ? parseNetworkName(text, name)
                            : !text.empty() && text[0] == '/' && ::stat(text.c_str(), &st) == 0 &&
                                  S_ISCHR(st.st_mode);
    if (!usable) return OMBRIX_E_PARAM;
    if (first < 1 || first > kMaxCom) return OMBRIX_E_NO_ROOM;
    if (usableFolder(folder) != OMBRIX_FOLDER_OWN) return OMBRIX_E_FILE;
    for (int com = first; com <= kMaxCom; ++com) {
        if (symlink(text.c_str(), aliasPath(folder, com).c_str()) == 0) return com;
        // Taken (by an alias, or anything else under that name): the next.
        // symlink() never replaces, so a number another program takes
        // meanwhile stays theirs.
        if (errno != EEXIST) return OMBRIX_E_FILE;
    }
    return OMBRIX_E_NO_ROOM;
}

std::int32_t removeAliasIn(const std::string& folder, std::int32_t com) {
    if (com < 1 || com > kMaxCom) return OMBRIX_E_NO_ROOM;
    const std::int32_t trust = folderTrust(folder);
    if (trust == OMBRIX_FOLDER_MISSING) return OMBRIX_E_NOT_OPEN;
    if (trust != OMBRIX_FOLDER_OWN) return OMBRIX_E_FILE;
    const std::string alias = aliasPath(folder, com);
    struct stat st {};
    // Only a link is an alias: whatever else stands under the name (a
    // device node, a file someone put there) is not ours to delete.
    if (lstat(alias.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return OMBRIX_E_NOT_OPEN;
    if (unlink(alias.c_str()) != 0) return errno == ENOENT ? OMBRIX_E_NOT_OPEN : OMBRIX_E_FILE;
    return OMBRIX_OK;
}

std::int32_t addAlias(const char* target, std::int32_t first) {
    return addAliasIn(portDirectory(), target, first);
}

std::int32_t removeAlias(std::int32_t com) {
    return removeAliasIn(portDirectory(), com);
}

bool comPath(std::int32_t com, char* buffer, std::size_t capacity, std::size_t* length) {
    const std::string path = comPathIn(com, systemFolders());
    *length = path.size();
    if (path.size() + 1 > capacity) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

bool portFolder(char* buffer, std::size_t capacity, std::size_t* length) {
    const std::string path = portDirectory();
    *length = path.size();
    if (path.size() + 1 > capacity) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

std::int32_t rememberSerialIds() {
    return rememberSerialIdsIn(systemFolders());
}

std::int32_t portFolderCheck() {
    return folderTrust(portDirectory());
}

}  // namespace ombrix
