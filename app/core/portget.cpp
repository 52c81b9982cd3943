#include "portget.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <vector>

#include "binding.h"

namespace tavorin::PortGet {
namespace {

Sources g_sources;
// The snapshot taken by the call for index 0, as the setup API keeps its
// device information set between calls.
std::vector<QString> g_snapshot;
bool g_haveSnapshot = false;

QString readAttribute(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(f.readAll()).trimmed();
}

// A path as seen through the (possibly fake) device root.
QString underDev(const QString& path) {
    if (g_sources.devRoot == QStringLiteral("/") || !path.startsWith(u'/')) return path;
    return QDir(g_sources.devRoot).filePath(path.mid(1));
}

bool isCharDevice(const QString& path) {
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0) return false;
    // A fake tree for tests has regular files where /dev has devices.
    return S_ISCHR(st.st_mode) || (g_sources.devRoot != QStringLiteral("/") && S_ISREG(st.st_mode));
}

// The kernel's name of the device the path leads to: "ttyUSB0", "pts/3".
QString kernelName(const QString& path) {
    QString real = QFileInfo(path).canonicalFilePath();
    if (real.isEmpty()) real = path;
    QString devPrefix = underDev(QStringLiteral("/dev/"));
    if (real.startsWith(devPrefix)) return real.mid(devPrefix.size());
    return QFileInfo(real).fileName();
}

// The kernel registers ttyS0..N for every possible legacy UART whether one
// is fitted or not; the placeholders have no port type.
bool isPlaceholder(const QString& kernel) {
    if (!kernel.startsWith(QStringLiteral("ttyS"))) return false;
    QString type = readAttribute(
        QDir(g_sources.sysRoot).filePath(QStringLiteral("class/tty/%1/type").arg(kernel)));
    return type.isEmpty() || type == QStringLiteral("0");
}

// The USB manufacturer and product strings of the device behind a tty,
// found by walking up from its sysfs node to the USB device.
QString usbDescription(const QString& kernel) {
    QString node =
        QDir(g_sources.sysRoot).filePath(QStringLiteral("class/tty/%1/device").arg(kernel));
    QString dir = QFileInfo(node).canonicalFilePath();
    QString root = QFileInfo(g_sources.sysRoot).canonicalFilePath();
    for (int depth = 0; !dir.isEmpty() && depth < 8 && dir != root; ++depth) {
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
            QString maker = readAttribute(dir + QStringLiteral("/manufacturer"));
            QString product = readAttribute(dir + QStringLiteral("/product"));
            QString both = (maker + u' ' + product).trimmed();
            return both;
        }
        dir = QFileInfo(dir).absolutePath();
    }
    return QString();
}

QString genericDescription(const QString& kernel) {
    if (kernel.startsWith(QStringLiteral("pts/"))) return QStringLiteral("Virtual serial port");
    if (kernel.startsWith(QStringLiteral("ttyUSB")) ||
        kernel.startsWith(QStringLiteral("ttyACM"))) {
        return QStringLiteral("USB serial port");
    }
    return QStringLiteral("Communications Port");
}

std::vector<QString> takeSnapshot() {
    std::vector<QString> names;
    for (int com = 1; com <= 256; ++com) {
        QString path = g_sources.pathOf ? g_sources.pathOf(com) : PortName(com);
        if (path.isEmpty()) continue;
        QString seen = underDev(path);
        if (!isCharDevice(seen)) continue;
        QString kernel = kernelName(seen);
        if (isPlaceholder(kernel)) continue;
        QString description = usbDescription(kernel);
        if (description.isEmpty()) description = genericDescription(kernel);
        names.push_back(QStringLiteral("%1 (%2) (COM%3)").arg(description, kernel).arg(com));
    }
    return names;
}

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
            g_snapshot = takeSnapshot();
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

void setSources(Sources s) {
    g_sources = std::move(s);
    g_snapshot.clear();
    g_haveSnapshot = false;
}

void resetSources() {
    setSources(Sources{});
}

}  // namespace tavorin::PortGet
