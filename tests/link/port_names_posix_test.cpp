// COM numbers for USB serial devices that come and go: the numbering rules,
// and the resolution against a by-id folder and a port directory of the
// test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "ombrix.h"
#include "port_names.h"

namespace tavorin::test {
namespace {

namespace fs = std::filesystem;
using ombrix::NewAlias;
using ombrix::SerialId;

TEST(SerialIdNumbersTest, BuiltInNumbersOfKernelNames) {
    const std::pair<const char*, int> cases[] = {
        {"ttyS0", 1},    {"ttyS31", 32},   {"ttyUSB0", 33}, {"ttyUSB31", 64},
        {"ttyACM0", 65}, {"ttyACM31", 96}, {"ttyACM32", 0}, {"ttyACM", 0},
        {"ttyACM01", 0}, {"ttyAMA0", 0},   {"pts/3", 0},    {"ttyUSB1x", 0},
    };
    for (const auto& [name, com] : cases) EXPECT_EQ(ombrix::builtinNumber(name), com) << name;
}

TEST(SerialIdNumbersTest, WhichNumberANewDeviceGets) {
    struct Case {
        const char* what;
        std::vector<SerialId> ids;
        std::set<int> taken;
        std::vector<std::pair<int, std::string>> expected;
    };
    const Case cases[] = {
        {"a first device keeps the number of its node", {{"a", 65, false}}, {}, {{65, "a"}}},
        {"an aliased device gets none", {{"a", 65, true}}, {}, {}},
        {"a taken node number sends it above the table", {{"a", 65, false}}, {65, 97}, {{98, "a"}}},
        {"two devices never share a number",
         {{"a", 0, false}, {"b", 0, false}},
         {},
         {{97, "a"}, {98, "b"}}},
        {"a device off the table goes above it", {{"a", 0, false}}, {1}, {{97, "a"}}},
        {"the second of two on one free number moves on",
         {{"a", 33, false}, {"b", 33, false}},
         {},
         {{33, "a"}, {97, "b"}}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<int, std::string>> got;
        for (const NewAlias& a : ombrix::numbersFor(c.ids, c.taken))
            got.emplace_back(a.com, a.target);
        EXPECT_EQ(got, c.expected) << c.what;
    }
    // With every number above the table taken, a device whose node number
    // is taken too gets none rather than one that is in use.
    std::set<int> full;
    for (int n = 97; n <= 256; ++n) full.insert(n);
    full.insert(65);
    EXPECT_TRUE(ombrix::numbersFor({{"a", 65, false}}, full).empty());
}

// A by-id folder, a node folder and a port directory in a temporary tree.
class SerialIdFoldersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tavorin-byid-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "dev");
        fs::create_directories(root_ / "by-id");
        folders_ = {(root_ / "ports").string(), (root_ / "by-id").string()};
    }
    void TearDown() override { fs::remove_all(root_); }

    // A device node appears (a plain file stands for it) or goes.
    void node(const std::string& kernel, bool present = true) {
        if (present) {
            std::ofstream(root_ / "dev" / kernel).put('x');
        } else {
            fs::remove(root_ / "dev" / kernel);
        }
    }
    // The persistent name of a device, leading to its node as udev's links do.
    void plug(const std::string& id, const std::string& kernel) {
        node(kernel);
        unplug(id);
        fs::create_symlink("../dev/" + kernel, root_ / "by-id" / id);
    }
    void unplug(const std::string& id) {
        std::error_code ec;
        fs::remove(root_ / "by-id" / id, ec);
    }
    // The node COM `com` reaches now, or "" when none.
    std::string nodeOf(int com) {
        std::error_code ec;
        fs::path p = fs::canonical(ombrix::comPathIn(com, folders_), ec);
        return ec ? std::string() : p.filename().string();
    }
    std::string aliasOf(int com) { return folders_.ports + "/COM" + std::to_string(com); }

    fs::path root_;
    ombrix::PortFolders folders_;
};

TEST_F(SerialIdFoldersTest, ADeviceKeepsItsNumberWhenItComesBackOnAnotherNode) {
    plug("usb-Maker_Scanner_A-if00", "ttyACM0");
    ASSERT_EQ(ombrix::rememberSerialIdsIn(folders_), 1);
    EXPECT_EQ(ombrix::comPathIn(65, folders_), aliasOf(65));
    EXPECT_EQ(nodeOf(65), "ttyACM0");
    // The port directory was made private to the user.
    struct stat st {};
    ASSERT_EQ(stat(folders_.ports.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(ombrix::rememberSerialIdsIn(folders_), 0) << "nothing new at a second look";

    // Pulled: the number stays the device's and opens nothing.
    unplug("usb-Maker_Scanner_A-if00");
    node("ttyACM0", false);
    EXPECT_EQ(ombrix::rememberSerialIdsIn(folders_), 0);
    EXPECT_EQ(ombrix::comPathIn(65, folders_), aliasOf(65));
    EXPECT_EQ(nodeOf(65), "");

    // Another device takes ttyACM0 first; the scanner comes back on ttyACM1.
    plug("usb-Other_Thing_B-if00", "ttyACM0");
    plug("usb-Maker_Scanner_A-if00", "ttyACM1");
    EXPECT_EQ(ombrix::rememberSerialIdsIn(folders_), 1);
    EXPECT_EQ(nodeOf(65), "ttyACM1");
    EXPECT_EQ(nodeOf(97), "ttyACM0");
    // Numbers without an alias still name the built-in nodes.
    EXPECT_EQ(ombrix::comPathIn(66, folders_), "/dev/ttyACM1");
    EXPECT_EQ(ombrix::comPathIn(200, folders_), aliasOf(200));
}

TEST_F(SerialIdFoldersTest, TheUsersOwnAliasesWin) {
    fs::create_directory(folders_.ports);
    fs::permissions(folders_.ports, fs::perms::owner_all);
    // The user numbered one device by its node, and took COM33 for another
    // purpose.
    plug("usb-Maker_Scanner_A-if00", "ttyACM0");
    fs::create_symlink(root_ / "dev" / "ttyACM0", aliasOf(5));
    plug("usb-Maker_Adapter_C-if00", "ttyUSB0");
    fs::create_symlink("/dev/null", aliasOf(33));
    EXPECT_EQ(ombrix::rememberSerialIdsIn(folders_), 1);
    EXPECT_FALSE(fs::is_symlink(aliasOf(65))) << "A is the user's COM5";
    EXPECT_EQ(nodeOf(97), "ttyUSB0");
    EXPECT_EQ(fs::read_symlink(aliasOf(33)), "/dev/null") << "never changed";

    // The user gives COM97 to something else: the adapter gets a new number.
    fs::remove(aliasOf(97));
    fs::create_symlink("/dev/null", aliasOf(97));
    EXPECT_EQ(ombrix::rememberSerialIdsIn(folders_), 1);
    EXPECT_EQ(nodeOf(98), "ttyUSB0");
}

// Only a directory that is the user's own and that no one else may write to
// decides where a number leads. In any other nothing is followed or made:
// the built-in table alone names the numbers, and those only an alias could
// name are nothing.
TEST_F(SerialIdFoldersTest, OnlyTheUsersOwnPrivatePortDirectoryCounts) {
    const fs::path elsewhere = root_ / "elsewhere";
    struct Case {
        const char* what;
        std::function<void()> make;
        std::int32_t check;
    };
    auto directory = [&](fs::perms perms) {
        return [&, perms] {
            fs::create_directory(folders_.ports);
            fs::permissions(folders_.ports, perms);
        };
    };
    const Case cases[] = {
        {"private", directory(fs::perms::owner_all), OMBRIX_FOLDER_OWN},
        {"readable by others",
         directory(fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec),
         OMBRIX_FOLDER_OWN},
        {"writable by all", directory(fs::perms::all), OMBRIX_FOLDER_SHARED},
        {"writable by the group", directory(fs::perms::owner_all | fs::perms::group_write),
         OMBRIX_FOLDER_SHARED},
        {"another user's",
         [&] {
             directory(fs::perms::owner_all)();
             // Run as root, as CI is; the directory then belongs to nobody.
             ASSERT_EQ(chown(folders_.ports.c_str(), 65534, 65534), 0) << "needs root";
         },
         OMBRIX_FOLDER_OWNER},
        {"a link to a private directory",
         [&] {
             fs::create_directory(elsewhere);
             fs::permissions(elsewhere, fs::perms::owner_all);
             fs::create_directory_symlink(elsewhere, folders_.ports);
         },
         OMBRIX_FOLDER_LINK},
        {"a file", [&] { std::ofstream(folders_.ports).put('x'); }, OMBRIX_FOLDER_NOT_DIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folders_.ports);
        fs::remove_all(elsewhere);
        EXPECT_EQ(ombrix::folderTrust(folders_.ports), OMBRIX_FOLDER_MISSING);
        c.make();
        ASSERT_EQ(ombrix::folderTrust(folders_.ports), c.check);
        const fs::path in = c.check == OMBRIX_FOLDER_LINK ? elsewhere : fs::path(folders_.ports);
        if (fs::is_directory(in)) {
            fs::create_symlink(root_ / "dev" / "ttyUSB3", in / "COM5");
            fs::create_symlink(root_ / "dev" / "ttyUSB3", in / "COM200");
        }
        plug("usb-Maker_Scanner_A-if00", "ttyACM0");
        const bool own = c.check == OMBRIX_FOLDER_OWN;
        EXPECT_EQ(ombrix::comPathIn(5, folders_), own ? aliasOf(5) : "/dev/ttyS4");
        EXPECT_EQ(ombrix::comPathIn(200, folders_), own ? aliasOf(200) : "");
        EXPECT_EQ(ombrix::comPathIn(66, folders_), "/dev/ttyACM1");
        EXPECT_EQ(ombrix::rememberSerialIdsIn(folders_), own ? 1 : OMBRIX_E_FILE);
        EXPECT_EQ(fs::exists(in / "COM65"), own) << "a number is given only in an own directory";
    }
    // A missing directory is made, private, by the first look.
    fs::remove_all(folders_.ports);
    EXPECT_EQ(ombrix::comPathIn(200, folders_), aliasOf(200));
    EXPECT_EQ(ombrix::folderTrust(folders_.ports), OMBRIX_FOLDER_OWN);
}

// Ports a program adds for its user: network names and serial devices get
// the lowest free number from the one asked for, are read back as what they
// lead to, and are removed again; nothing but a link is ever removed, and
// nothing is made or removed in a directory that is not the user's own.
TEST_F(SerialIdFoldersTest, PortsAreAddedAndRemovedAsAliases) {
    const std::string& ports = folders_.ports;
    // The directory is made by the first add.
    EXPECT_EQ(ombrix::addAliasIn(ports, "rfc2217://127.0.0.1:4001", 100), 100);
    EXPECT_EQ(ombrix::folderTrust(ports), OMBRIX_FOLDER_OWN);
    EXPECT_EQ(ombrix::addAliasIn(ports, "socket://[::1]:4002", 100), 101);
    EXPECT_EQ(ombrix::addAliasIn(ports, "/dev/null", 100), 102) << "a character device";
    EXPECT_EQ(ombrix::comPathIn(100, folders_), "rfc2217://127.0.0.1:4001");
    EXPECT_EQ(ombrix::comPathIn(101, folders_), "socket://[::1]:4002");
    EXPECT_EQ(ombrix::comPathIn(102, folders_), aliasOf(102)) << "a device's alias is its path";

    // What an open could not use is refused before anything is made.
    for (const char* bad : {"rfc2217://127.0.0.1", "telnet://h:1", "/dev", "dev/null",
                            "/no/such/device", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(ombrix::addAliasIn(ports, bad, 100), OMBRIX_E_PARAM) << (bad ? bad : "null");
    }
    EXPECT_FALSE(fs::is_symlink(aliasOf(103)));
    EXPECT_EQ(ombrix::addAliasIn(ports, "socket://h:1", 257), OMBRIX_E_NO_ROOM);
    EXPECT_EQ(ombrix::addAliasIn(ports, "socket://h:1", 256), 256);
    EXPECT_EQ(ombrix::addAliasIn(ports, "socket://h:1", 256), OMBRIX_E_NO_ROOM);

    // A malformed name someone linked by hand is still the number's name:
    // the open refuses it, instead of taking it for a device path.
    fs::create_symlink("rfc2217://h", aliasOf(7));
    EXPECT_EQ(ombrix::comPathIn(7, folders_), "rfc2217://h");

    // Removed: the number is free again and means its built-in device.
    EXPECT_EQ(ombrix::removeAliasIn(ports, 101), OMBRIX_OK);
    EXPECT_EQ(ombrix::removeAliasIn(ports, 101), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(ombrix::removeAliasIn(ports, 7), OMBRIX_OK);
    EXPECT_EQ(ombrix::comPathIn(7, folders_), "/dev/ttyS6");
    EXPECT_EQ(ombrix::removeAliasIn(ports, 257), OMBRIX_E_NO_ROOM);
    // Only links: a file under an alias's name stays.
    std::ofstream(aliasOf(150)).put('x');
    EXPECT_EQ(ombrix::removeAliasIn(ports, 150), OMBRIX_E_NOT_OPEN);
    EXPECT_TRUE(fs::exists(aliasOf(150)));
    EXPECT_EQ(ombrix::addAliasIn(ports, "socket://h:3", 150), 151) << "the file takes the number";

    // Another user's directory (or one others may write to) is not touched.
    fs::permissions(ports, fs::perms::group_write, fs::perm_options::add);
    EXPECT_EQ(ombrix::addAliasIn(ports, "socket://h:4", 100), OMBRIX_E_FILE);
    EXPECT_EQ(ombrix::removeAliasIn(ports, 100), OMBRIX_E_FILE);
    EXPECT_TRUE(fs::is_symlink(aliasOf(100)));
    EXPECT_EQ(ombrix::comPathIn(100, folders_), "") << "nothing is followed";
    fs::remove_all(ports);
    EXPECT_EQ(ombrix::removeAliasIn(ports, 100), OMBRIX_E_NOT_OPEN) << "no directory, no alias";
}

}  // namespace
}  // namespace tavorin::test
