// Port discovery on Windows: the devices of the ports setup class that are
// present now, by their friendly names ("USB Serial Device (COM3)"), in the
// order the setup API gives them. Some virtual and network COM drivers
// register their ports only in the serial device map of the registry,
// without a ports-class device; those follow, named after their device
// ("Serial8 (COM9)"), in the order of their numbers.
#include <windows.h>
// After windows.h, on which both build.
#include <setupapi.h>

#include <algorithm>
#include <set>
#include <utility>

#include "portget_platform.h"

namespace tavorin::PortGet {
namespace {

// The device setup class of ports.
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Friendly names are read into a buffer of this many bytes.
constexpr DWORD kNameBytes = 256;

// The ports-class devices present now; an empty name for a device without
// a usable friendly name, so that every index stays a device.
std::vector<QString> classPorts() {
    std::vector<QString> names;
    HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA device{};
    for (DWORD index = 0;; ++index) {
        device.cbSize = sizeof(device);
        if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
        wchar_t name[kNameBytes / sizeof(wchar_t)] = {};
        DWORD size = 0;
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<BYTE*>(name), sizeof(name) - 2,
                                               &size) ||
            size == 0) {
            names.emplace_back();
            continue;
        }
        names.push_back(QString::fromWCharArray(name));
    }
    SetupDiDestroyDeviceInfoList(set);
    return names;
}

// The serial device map: device name ("\Device\Serial8") to port ("COM9").
std::vector<std::pair<QString, QString>> mappedPorts() {
    std::vector<std::pair<QString, QString>> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        wchar_t data[64];
        DWORD nameLength = 256;
        DWORD dataBytes = sizeof(data) - sizeof(wchar_t);
        DWORD type = 0;
        const LONG r = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                     reinterpret_cast<BYTE*>(data), &dataBytes);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        // Registry strings need not end with a zero of their own.
        data[dataBytes / sizeof(wchar_t)] = L'\0';
        ports.emplace_back(QString::fromWCharArray(name, static_cast<int>(nameLength)),
                           QString::fromWCharArray(data).trimmed());
    }
    RegCloseKey(key);
    return ports;
}

}  // namespace

std::vector<QString> presentPorts(const Sources&, const std::function<QString(int com)>&) {
    std::vector<QString> names = classPorts();
    std::set<int> listed;
    for (const QString& name : names) listed.insert(comNumberOf(name));

    std::vector<std::pair<int, QString>> extra;
    for (const auto& [device, port] : mappedPorts()) {
        // The map's value is the port's name itself: "COM9".
        const int com = comNumberOf(QStringLiteral("(%1)").arg(port));
        if (com <= 0 || !listed.insert(com).second) continue;
        const QString shown = device.section(u'\\', -1);
        extra.emplace_back(com,
                           QStringLiteral("%1 (%2)").arg(shown.isEmpty() ? port : shown, port));
    }
    std::sort(extra.begin(), extra.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [com, name] : extra) names.push_back(std::move(name));
    return names;
}

bool networkPorts() {
    return false;
}

}  // namespace tavorin::PortGet
