#include "portget.h"

#include <QDir>
#include <vector>

#include "binding.h"
#include "language.h"
#include "portget_platform.h"

namespace tavorin::PortGet {
namespace {

// Why the library ignores the port directory, by its check's answer.
struct FolderReason {
    std::int32_t check;
    Text why;
};
constexpr FolderReason kFolderReasons[] = {
    {OMBRIX_FOLDER_LINK, {u"シンボリックリンクの", "it is a symbolic link"}},
    {OMBRIX_FOLDER_NOT_DIR, {u"フォルダでない", "it is not a directory"}},
    {OMBRIX_FOLDER_OWNER, {u"他のユーザーが所有している", "another user owns it"}},
    {OMBRIX_FOLDER_SHARED, {u"他のユーザーも書き込める", "others may write to it"}},
    {OMBRIX_FOLDER_UNUSABLE, {u"調べられない", "it cannot be examined"}},
};
constexpr Text kFolderIgnored = {
    u"ポートフォルダ %1 は%2ため使用しません。フォルダを削除するか、"
    u"XDG_RUNTIME_DIR を自分専用のフォルダに設定してください。",
    "The port directory %1 is ignored: %2. Remove it, or set XDG_RUNTIME_DIR to a "
    "private directory of yours."};

Sources g_sources;
// The snapshot taken by the call for index 0, as the setup API keeps its
// device information set between calls.
std::vector<QString> g_snapshot;
bool g_haveSnapshot = false;

}  // namespace

int comNumberOf(const QString& friendlyName) {
    qsizetype at = friendlyName.lastIndexOf(QStringLiteral("(COM"));
    if (at < 0) return 0;
    int number = 0;
    for (qsizetype i = at + 4; i < friendlyName.size() && friendlyName[i].isDigit(); ++i) {
        number = number * 10 + friendlyName[i].digitValue();
        if (number > 32767) return 0;
    }
    return number;
}

std::int16_t EnumComPort(int index, QString& name) {
    name.clear();
    if (index < 0) return -1;
    std::optional<QString> friendly;
    if (g_sources.friendlyName) {
        friendly = g_sources.friendlyName(index);
        if (!friendly) return -1;
    } else {
        if (index == 0) {
            // The library numbers the USB devices that have come since the
            // last look before the numbers are read; with numbers of a
            // test's own there is nothing of the library's to number.
            if (!g_sources.pathOf) PortScan();
            g_snapshot = presentPorts(g_sources, [](int com) {
                return g_sources.pathOf ? g_sources.pathOf(com) : PortName(com);
            });
            g_haveSnapshot = true;
        }
        if (!g_haveSnapshot || static_cast<std::size_t>(index) >= g_snapshot.size()) {
            // Past the end: the snapshot is released, as the device set is.
            g_snapshot.clear();
            g_haveSnapshot = false;
            return -1;
        }
        friendly = g_snapshot[static_cast<std::size_t>(index)];
    }
    if (friendly->isEmpty()) return 0;
    int com = comNumberOf(*friendly);
    if (com <= 0) return 0;
    name = *friendly;
    return static_cast<std::int16_t>(com);
}

bool isNetworkName(const QString& path) {
    // The library's own rule, so that the list and the open never disagree.
    return PortNameCheck(path) > OMBRIX_NAME_DEVICE;
}

QString folderWarning(std::int32_t check, const QString& folder) {
    for (const FolderReason& r : kFolderReasons) {
        if (r.check == check) return localized(kFolderIgnored).arg(folder, localized(r.why));
    }
    return QString();
}

QString folderWarning() {
    return folderWarning(PortFolderCheck(), PortFolder());
}

std::vector<WatchedFolder> watchedFolders() {
    std::vector<WatchedFolder> out;
    const QString ports = PortFolder();
    if (!ports.isEmpty()) out.push_back({ports, QStringLiteral("COM")});
    out.push_back({QDir(g_sources.devRoot).filePath(QStringLiteral("dev")), QStringLiteral("tty")});
    return out;
}

void setSources(Sources s) {
    g_sources = std::move(s);
    g_snapshot.clear();
    g_haveSnapshot = false;
}

void resetSources() {
    setSources(Sources{});
}

}  // namespace tavorin::PortGet
