// Port discovery on Linux: the COM numbers whose device (the library's own
// resolution of the number) is a serial device present now, named from
// sysfs.
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "ombrix.h"
#include "portget_platform.h"

namespace tavorin::PortGet {
namespace {

// The roots of the call under way; set only for its duration.
const Sources* g_src = nullptr;

QString readAttribute(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(f.readAll()).trimmed();
}

// A path as seen through the (possibly fake) device root.
QString underDev(const QString& path) {
    if (g_src->devRoot == QStringLiteral("/") || !path.startsWith(u'/')) return path;
    return QDir(g_src->devRoot).filePath(path.mid(1));
}

bool isCharDevice(const QString& path) {
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0) return false;
    // A fake tree for tests has regular files where /dev has devices.
    return S_ISCHR(st.st_mode) || (g_src->devRoot != QStringLiteral("/") && S_ISREG(st.st_mode));
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
        QDir(g_src->sysRoot).filePath(QStringLiteral("class/tty/%1/type").arg(kernel)));
    return type.isEmpty() || type == QStringLiteral("0");
}

// The USB manufacturer and product strings of the device behind a tty,
// found by walking up from its sysfs node to the USB device.
QString usbDescription(const QString& kernel) {
    QString node = QDir(g_src->sysRoot).filePath(QStringLiteral("class/tty/%1/device").arg(kernel));
    QString dir = QFileInfo(node).canonicalFilePath();
    QString root = QFileInfo(g_src->sysRoot).canonicalFilePath();
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

std::vector<QString> snapshot(const std::function<QString(int)>& pathOf) {
    struct Found {
        int com;
        QString kernel;
        QString device;  // the device node the path finally leads to
        bool alias;      // reached through a link the user made
    };
    std::vector<Found> found;
    std::vector<std::pair<int, QString>> network;
    for (int com = 1; com <= OMBRIX_COM_MAX; ++com) {
        QString path = pathOf(com);
        if (path.isEmpty()) continue;
        // A port on the network is there as long as its alias is: whether
        // the server answers is known only once it is opened.
        if (isNetworkName(path)) {
            network.emplace_back(com, path);
            continue;
        }
        QString seen = underDev(path);
        if (!isCharDevice(seen)) continue;
        QString kernel = kernelName(seen);
        if (isPlaceholder(kernel)) continue;
        QString device = QFileInfo(seen).canonicalFilePath();
        found.push_back(
            {com, kernel, device.isEmpty() ? seen : device, QFileInfo(seen).isSymLink()});
    }
    // A device that an alias reaches and the built-in table reaches too is
    // one port: it is listed once, under the alias the user made (the first
    // one, when several lead to it), or else under its first number.
    std::vector<QString> names;
    for (const Found& f : found) {
        const Found* chosen = nullptr;
        for (const Found& other : found) {
            if (other.device != f.device) continue;
            if (!chosen || (other.alias && !chosen->alias)) chosen = &other;
        }
        if (chosen != &f) continue;
        QString description = usbDescription(f.kernel);
        if (description.isEmpty()) description = genericDescription(f.kernel);
        names.push_back(QStringLiteral("%1 (%2) (COM%3)").arg(description, f.kernel).arg(f.com));
    }
    // After the devices, in the order of their numbers.
    for (const auto& [com, url] : network)
        names.push_back(QStringLiteral("%1 (COM%2)").arg(url).arg(com));
    return names;
}

}  // namespace

std::vector<QString> presentPorts(const Sources& sources,
                                  const std::function<QString(int com)>& pathOf) {
    g_src = &sources;
    std::vector<QString> names = snapshot(pathOf);
    g_src = nullptr;
    return names;
}

bool networkPorts() {
    return true;
}

}  // namespace tavorin::PortGet
