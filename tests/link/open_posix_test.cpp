// What opening a port means on POSIX: exclusive use of the tty, and the
// paths COM numbers stand for.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "link_fixture.h"

namespace tavorin::test {
namespace {

TEST_F(LinkTest, PortHeldByAnotherProgramCannotBeOpened) {
    int other = open(peer->slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    peer->clearWire();
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);
    EXPECT_TRUE(peer->wire().empty());
    close(other);
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), 0);
}

TEST_F(LinkTest, AFailedOpenSaysWhyToItsThread) {
    // Nothing behind the number; a port held elsewhere or by this program.
    EXPECT_EQ(Ombrix_PortOpen(kCom + 11, 5, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_NO_DEVICE);
    int other = open(peer->slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_HELD);
    close(other);
    ASSERT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), 0);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_OK);
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_HELD);
    // Another thread's failures are its own.
    std::thread([] { EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_OK); }).join();
    Ombrix_PortClose(0);

    // A user who may not use the tty (CI runs as root, so the refusal is
    // seen by a child that gives root up).
    ASSERT_EQ(chmod(peer->slavePath().c_str(), 0600), 0);
    ASSERT_EQ(chown(peer->slavePath().c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(dir.runtimeDir().c_str(), 0755), 0);
    // The port directory must be the child's own for its alias to count.
    ASSERT_EQ(chown((dir.runtimeDir() + "/ombrix").c_str(), 65534, 65534), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        const int r = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0);
        _exit(r == OMBRIX_E_NOT_OPEN && Ombrix_OpenFailure() == OMBRIX_OPEN_DENIED ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not refused as a permission, 3: could not drop root";
}

// An alias that leads to something other than a terminal device is refused
// before anything is opened or written there.
TEST_F(LinkTest, AnAliasMustLeadToATerminalDevice) {
    const std::string file = dir.runtimeDir() + "/file";
    const std::string fifo = dir.runtimeDir() + "/fifo";
    const std::string folder = dir.runtimeDir() + "/folder";
    { std::ofstream(file) << "kept"; }
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    // A reader waits on the FIFO: an open for writing would succeed.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const std::string& target : {file, fifo, folder, std::string("/dev/null")}) {
        SCOPED_TRACE(target);
        dir.alias(kCom + 1, target);
        EXPECT_EQ(Ombrix_PortOpen(kCom + 1, 5, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);
        EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_NOT_TTY);
    }
    char buffer[16];
    EXPECT_EQ(read(reader, buffer, sizeof buffer), 0) << "the FIFO never had a writer";
    close(reader);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
}

// Another user who made the port directory must not decide where a number
// leads: the pty behind such an alias sees no byte, the open fails as for a
// missing device, and the built-in table still names the numbers. Run as
// root, as CI is, to give the directory away. Every other directory that is
// not the user's own is a row of the trust rule's table.
TEST_F(LinkTest, AnotherUsersPortDirectoryIsNeverFollowed) {
    const std::string ports = dir.runtimeDir() + "/ombrix";
    ASSERT_EQ(chown(ports.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Ombrix_PortFolderCheck(), OMBRIX_FOLDER_OWNER);
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_NO_DEVICE);
    char path[256];
    EXPECT_EQ(Ombrix_PortName(3, path, sizeof path), 10);
    EXPECT_STREQ(path, "/dev/ttyS2");
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(peer->wire().empty()) << "the alias was followed";

    ASSERT_EQ(chown(ports.c_str(), getuid(), getgid()), 0);
    EXPECT_EQ(Ombrix_PortFolderCheck(), OMBRIX_FOLDER_OWN);
    const int h = Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0);
    EXPECT_EQ(h, 0) << "the user's own directory counts again";
    Ombrix_PortClose(h);
}

TEST(PortNameTest, AliasesWinOverTheBuiltInTable) {
    PortDirectory dir;
    char path[256];
    auto name = [&](int com) {
        int n = Ombrix_PortName(com, path, sizeof path);
        return n >= 0 ? std::string(path, static_cast<std::size_t>(n)) : std::to_string(n);
    };
    EXPECT_EQ(name(1), "/dev/ttyS0");
    EXPECT_EQ(name(32), "/dev/ttyS31");
    EXPECT_EQ(name(33), "/dev/ttyUSB0");
    EXPECT_EQ(name(65), "/dev/ttyACM0");
    EXPECT_EQ(name(96), "/dev/ttyACM31");
    EXPECT_EQ(name(97), dir.aliasPath(97));
    EXPECT_EQ(name(0), "-7");
    EXPECT_EQ(name(257), "-7");
    dir.alias(3, "/dev/null");
    EXPECT_EQ(name(3), dir.aliasPath(3));
    EXPECT_EQ(Ombrix_PortName(1, path, 5), OMBRIX_E_PARAM);  // "/dev/ttyS0" needs 11
    EXPECT_EQ(Ombrix_PortName(1, path, 11), 10);
    EXPECT_EQ(Ombrix_PortName(1, nullptr, 100), OMBRIX_E_PARAM);

    // The folder a program watches is the one the aliases are read from.
    EXPECT_EQ(Ombrix_PortFolder(path, sizeof path), static_cast<int>(dir.runtimeDir().size() + 7));
    EXPECT_EQ(std::string(path) + "/COM3", dir.aliasPath(3));
    EXPECT_EQ(Ombrix_PortFolder(path, 4), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_PortFolder(nullptr, 100), OMBRIX_E_PARAM);

    // Without XDG_RUNTIME_DIR the per-user directory under /tmp is used.
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(name(200), "/tmp/ombrix-" + std::to_string(getuid()) + "/COM200");
}

}  // namespace
}  // namespace tavorin::test
