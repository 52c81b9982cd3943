#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "binding.h"
#include "dialog.h"
#include "portget.h"
#include "pty_peer.h"

namespace tavorin {
namespace {

// Collects the list as the connection dialog does: up to 256 calls, a
// negative result ends it, empty names are skipped.
std::vector<std::pair<QString, int>> listPorts() {
    std::vector<std::pair<QString, int>> out;
    for (int i = 0; i < 256; ++i) {
        QString name;
        int r = PortGet::EnumComPort(i, name);
        if (r < 0) break;
        if (!name.isEmpty()) out.emplace_back(name, r);
    }
    return out;
}

class PortGetTest : public ::testing::Test {
  protected:
    void TearDown() override { PortGet::resetSources(); }

    void touch(const QString& path, const QByteArray& content = QByteArray()) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    static int link(const QString& target, const QString& at) {
        return symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData());
    }
    // The sysfs of a USB device `usb` (a folder under sys/devices) with its
    // strings, and the tty `kernel` on its first interface.
    void usbTty(const QString& sys, const QString& usb, const QString& kernel,
                const QByteArray& maker, const QByteArray& product) {
        touch(usb + "/idVendor", "0403\n");
        touch(usb + "/manufacturer", maker + "\n");
        touch(usb + "/product", product + "\n");
        const QString node = usb + "/" + QFileInfo(usb).fileName() + ":1.0/" + kernel;
        QDir().mkpath(node);
        QDir().mkpath(sys + "/class/tty/" + kernel);
        ASSERT_EQ(link(node, sys + "/class/tty/" + kernel + "/device"), 0);
    }
    QTemporaryDir root;
};

TEST_F(PortGetTest, FriendlyNameRules) {
    const std::vector<std::optional<QString>> names = {
        QString("Communications Port (COM1)"), QString("Two (COM4) parts (COM12)"),
        QString("Printer Port (LPT1)"), QString(""), std::nullopt};
    PortGet::Sources s;
    s.friendlyName = [&](int i) {
        return i < static_cast<int>(names.size()) ? names[i] : std::nullopt;
    };
    PortGet::setSources(s);
    QString name;
    EXPECT_EQ(PortGet::EnumComPort(0, name), 1);
    EXPECT_EQ(name, "Communications Port (COM1)");
    EXPECT_EQ(PortGet::EnumComPort(1, name), 12);
    EXPECT_EQ(PortGet::EnumComPort(2, name), 0);
    EXPECT_TRUE(name.isEmpty());
    EXPECT_EQ(PortGet::EnumComPort(3, name), 0);
    EXPECT_EQ(PortGet::EnumComPort(4, name), -1);
    EXPECT_EQ(listPorts().size(), 2u);
}

TEST_F(PortGetTest, AFakeDeviceTree) {
    const QString dev = root.filePath("dev");
    const QString sys = root.filePath("sys");
    // A real UART, a placeholder, and a USB adapter with its strings.
    touch(dev + "/ttyS0");
    touch(dev + "/ttyS1");
    touch(dev + "/ttyUSB0");
    touch(sys + "/class/tty/ttyS0/type", "4\n");
    touch(sys + "/class/tty/ttyS1/type", "0\n");
    usbTty(sys, sys + "/devices/pci0/usb1/1-2", "ttyUSB0", "FTDI", "FT232R USB UART");

    PortGet::Sources s;
    s.devRoot = dev.left(dev.size() - 3);
    s.sysRoot = sys;
    s.pathOf = [](int com) {
        if (com <= 32) return QString("/dev/ttyS%1").arg(com - 1);
        if (com <= 64) return QString("/dev/ttyUSB%1").arg(com - 33);
        return QString();
    };
    PortGet::setSources(s);
    auto ports = listPorts();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].first, "Communications Port (ttyS0) (COM1)");
    EXPECT_EQ(ports[0].second, 1);
    EXPECT_EQ(ports[1].first, "FTDI FT232R USB UART (ttyUSB0) (COM33)");
    EXPECT_EQ(ports[1].second, 33);

    // An alias the user made to the adapter lists it once, under the alias.
    ASSERT_EQ(link(dev + "/ttyUSB0", dev + "/my-scanner"), 0);
    s.pathOf = [](int com) {
        if (com == 5) return QString("/dev/my-scanner");
        if (com <= 32) return QString("/dev/ttyS%1").arg(com - 1);
        if (com <= 64) return QString("/dev/ttyUSB%1").arg(com - 33);
        return QString();
    };
    PortGet::setSources(s);
    ports = listPorts();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[1].first, "FTDI FT232R USB UART (ttyUSB0) (COM5)");

    // No devices at all: the first call ends the list.
    s.pathOf = [](int) { return QString(); };
    PortGet::setSources(s);
    QString name;
    EXPECT_EQ(PortGet::EnumComPort(0, name), -1);
}

TEST_F(PortGetTest, AUsbDeviceNumberedByItsPersistentNameKeepsItsProductName) {
    // COM65 leads to the device's by-id name, which leads to the node it got
    // when it came back (ttyACM1, also reached as COM66 by the table).
    const QString dev = root.filePath("dev");
    const QString sys = root.filePath("sys");
    touch(dev + "/ttyACM1");
    usbTty(sys, sys + "/devices/pci0/usb1/1-3", "ttyACM1", "Maker", "Area Imaging Scanner");
    QDir().mkpath(dev + "/serial/by-id");
    QDir().mkpath(dev + "/ports");
    ASSERT_EQ(link("../../ttyACM1", dev + "/serial/by-id/usb-Maker_Scanner_0001-if00"), 0);
    ASSERT_EQ(link(dev + "/serial/by-id/usb-Maker_Scanner_0001-if00", dev + "/ports/COM65"), 0);

    PortGet::Sources s;
    s.devRoot = root.path();
    s.sysRoot = sys;
    s.pathOf = [](int com) {
        if (com == 65) return QString("/dev/ports/COM65");
        if (com >= 65 && com <= 96) return QString("/dev/ttyACM%1").arg(com - 65);
        return QString();
    };
    PortGet::setSources(s);
    auto ports = listPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].first, "Maker Area Imaging Scanner (ttyACM1) (COM65)");
    EXPECT_EQ(ports[0].second, 65);
}

TEST_F(PortGetTest, ARealPtyAliasIsListedWithItsComNumber) {
    RecordingDialog d;
    setDialog(&d);
    test::PortDirectory dir;
    test::PtyPeer peer(dir, 207);
    std::vector<std::pair<QString, int>> ports = listPorts();
    setDialog(nullptr);
    bool found = false;
    for (const auto& [name, com] : ports) {
        if (com == 207) {
            found = true;
            EXPECT_TRUE(name.endsWith("(COM207)"));
            EXPECT_TRUE(name.contains("(pts/")) << name.toStdString();
        }
    }
    EXPECT_TRUE(found);
    EXPECT_TRUE(d.messages.isEmpty());

    // A port on the network is listed by its name as long as its alias is
    // there, after the devices; whether its server answers is the open's
    // business.
    setDialog(&d);
    ASSERT_EQ(PortAdd(QStringLiteral("rfc2217://[::1]:4001"), 100), 100);
    ASSERT_EQ(PortAdd(QStringLiteral("socket://scanner-7.line2:7000"), 100), 101);
    ports = listPorts();
    setDialog(nullptr);
    ASSERT_GE(ports.size(), 3u);
    EXPECT_EQ(ports[ports.size() - 2],
              std::make_pair(QString("rfc2217://[::1]:4001 (COM100)"), 100));
    EXPECT_EQ(ports.back(), std::make_pair(QString("socket://scanner-7.line2:7000 (COM101)"), 101));
    EXPECT_TRUE(d.messages.isEmpty());
}

}  // namespace
}  // namespace tavorin
