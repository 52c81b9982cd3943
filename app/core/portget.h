// Serial port discovery: the ports present, each with a name a person
// recognises and the COM number the library opens it by.
//
// On Linux a port is a COM number whose device path (the library's own
// resolution: an alias in the port directory, else the built-in table) names
// a serial device that is there. The kernel's placeholder ttyS devices that
// have no UART behind them are left out. Names read
// "description (kernel name) (COMn)", the description from the device's USB
// manufacturer and product strings where it has them.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace tavorin {

namespace PortGet {

// Yields the port at `index` (0, 1, 2 ... in order): its COM number, with
// `name` set to its name; 0 with `name` empty when the entry has no usable
// name; -1 when there is none at this index (the list is over). The call for
// index 0 takes a fresh look at the system.
std::int16_t EnumComPort(int index, QString& name);

// Where the system is looked at. Tests point these at a fake tree: device
// paths under /dev are looked up below `devRoot`, sysfs below `sysRoot`, and
// `pathOf` stands in for the library's COM-to-path resolution.
struct Sources {
    QString devRoot = QStringLiteral("/");
    QString sysRoot = QStringLiteral("/sys");
    std::function<QString(int com)> pathOf;  // empty: the library's Ombrix_PortName
    // Friendly names as the enumeration would give them, bypassing the
    // device lookup altogether (for the name-parsing rules).
    std::function<std::optional<QString>(int index)> friendlyName;
};
void setSources(Sources s);
void resetSources();

// The folders whose entries make the list: the library's port directory
// (entries COM<n>) and the device folder (entries tty*), as the sources
// have them. A watch on them tells when the list may have changed.
struct WatchedFolder {
    QString path;
    QString prefix;
};
std::vector<WatchedFolder> watchedFolders();

// The COM number in a friendly name: the digits after its last "(COM", or 0
// when it has none.
int comNumberOf(const QString& friendlyName);

// Whether a port's path (the library's answer for its COM number) is a
// network name (rfc2217://..., socket://...) rather than a device path.
bool isNetworkName(const QString& path);

// Whether network ports (rfc2217://, socket://) can be added as COM ports
// on this system. Where a device server's own driver makes its COM port, as
// on Windows, there is nothing for the program to add.
bool networkPorts();

// What a user must be told when the library ignores the port directory
// (another user's, one others may write to, a link): which directory, why,
// and how to mend it, in the current language. Empty while its aliases
// count, or where there is none.
QString folderWarning(std::int32_t check, const QString& folder);
QString folderWarning();

}  // namespace PortGet

}  // namespace tavorin
