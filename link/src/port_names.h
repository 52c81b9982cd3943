// Where COM numbers come from beyond the fixed device names: the port
// directory of aliases and the numbers kept there for USB serial devices so
// that a device keeps its number when it comes back under another node.
// Internal to the library; the library's own tests reach the folder-taking
// forms through the static archive, with folders of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace ombrix {

// Writes the port directory's path zero-terminated and sets `*length`;
// false when the buffer is too small. Empty where the platform has none.
bool portFolder(char* buffer, std::size_t capacity, std::size_t* length);

// Whether the port directory may decide where COM numbers lead: one of the
// OMBRIX_FOLDER_* values. Only the user's own directory, which no one else
// can write to, is read or written; in any other its aliases count for
// nothing.
std::int32_t portFolderCheck();

// Gives every USB serial device present that no alias leads to a COM number
// of its own, kept as an alias. Returns how many it gave, or a negative
// result code when the port directory cannot be used.
std::int32_t rememberSerialIds();

// Makes the alias COM<n> -> `target` at the lowest n from `first` (1..OMBRIX_COM_MAX)
// that no alias holds, in the port directory (made when missing). `target`
// is a well-formed network name or the absolute path of an existing
// character device. Returns n, or OMBRIX_E_PARAM for any other target,
// OMBRIX_E_FILE for a port directory that is not the user's own (or cannot
// be written), OMBRIX_E_NO_ROOM when no number is free.
std::int32_t addAlias(const char* target, std::int32_t first);

// Removes the alias COM<com> (a link, never anything else). 0, or
// OMBRIX_E_NOT_OPEN when there is no such alias, OMBRIX_E_FILE for a port
// directory that is not the user's own (or refuses).
std::int32_t removeAlias(std::int32_t com);

// The folders the resolution reads and writes. The library uses the user's
// port directory and the system's by-id folder; tests use folders of their
// own.
struct PortFolders {
    std::string ports;  // COM<n> aliases
    std::string byId;   // one persistent name per USB serial device
};
PortFolders systemFolders();

// The test the port directory must pass before an alias in it is followed
// or made: a directory (not a link to one), owned by the effective user,
// that neither group nor others may write to. One of OMBRIX_FOLDER_*.
std::int32_t folderTrust(const std::string& path);

// The path COM `com` opens with these folders. With a port directory that
// passes folderTrust() (made, private, when missing): the alias when one
// exists (even a dangling one), else the built-in device name, else the
// alias path. With one that fails it, the built-in device name or nothing:
// another user's aliases must never decide where a number leads.
// An alias whose link text is a network name (rfc2217://..., socket://...)
// yields that text instead of its path: the open then connects to it.
std::string comPathIn(std::int32_t com, const PortFolders& folders);
std::int32_t addAliasIn(const std::string& folder, const char* target, std::int32_t first);
std::int32_t removeAliasIn(const std::string& folder, std::int32_t com);
std::int32_t rememberSerialIdsIn(const PortFolders& folders);

// The built-in COM number of a kernel device name ("ttyACM1" -> 66), 0 for
// a name outside the built-in table.
int builtinNumber(const std::string& kernelName);

// A persistent name found in the by-id folder.
struct SerialId {
    std::string path;      // the name's full path, what an alias will lead to
    int builtin = 0;       // the built-in number of the node it leads to now
    bool aliased = false;  // an alias already leads to it (or to its device)
};
struct NewAlias {
    int com;
    std::string target;
};
// The numbers to give the names no alias leads to, in the order given: the
// number of the node the device sits on now when no alias holds it (so the
// first device keeps the number it always had), else the lowest number of
// those that exist only as aliases that is free. `taken` holds the numbers
// that have an alias already. A name for which no number is left gets none.
std::vector<NewAlias> numbersFor(const std::vector<SerialId>& ids, std::set<int> taken);

}  // namespace ombrix
