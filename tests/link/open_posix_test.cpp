// What opening a port means on POSIX: exclusive use of the tty, and the
// paths COM numbers stand for.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

    // Without XDG_RUNTIME_DIR the per-user directory under /tmp is used.
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(name(200), "/tmp/ombrix-" + std::to_string(getuid()) + "/COM200");
}

}  // namespace
}  // namespace tavorin::test
