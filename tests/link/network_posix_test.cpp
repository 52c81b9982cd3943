// Network ports through the library's exports: adding and removing them,
// their names, and opens against servers of the test's own on the loopback.
#include <unistd.h>

#include <string>

#include "link_fixture.h"

namespace tavorin::test {
namespace {

std::string portName(int com) {
    char path[256];
    int n = Ombrix_PortName(com, path, sizeof path);
    return n >= 0 ? std::string(path, static_cast<std::size_t>(n)) : std::to_string(n);
}

TEST(NetworkPortTest, AddedPortsAreNamedByTheirUrlAndRemovedAgain) {
    PortDirectory dir;
    const int com = Ombrix_PortAdd("rfc2217://127.0.0.1:4001", 100);
    ASSERT_EQ(com, 100);
    EXPECT_EQ(portName(com), "rfc2217://127.0.0.1:4001");
    EXPECT_EQ(Ombrix_PortAdd("socket://localhost:4002", 100), 101);
    EXPECT_EQ(portName(101), "socket://localhost:4002");
    EXPECT_EQ(Ombrix_PortAdd("socket://localhost", 100), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_PortAdd(nullptr, 100), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_PortAdd("socket://localhost:1", 0), OMBRIX_E_NO_ROOM);
    EXPECT_EQ(Ombrix_PortRemove(com), OMBRIX_OK);
    EXPECT_EQ(Ombrix_PortRemove(com), OMBRIX_E_NOT_OPEN);
    EXPECT_EQ(Ombrix_PortRemove(257), OMBRIX_E_NO_ROOM);
    EXPECT_EQ(portName(com), dir.aliasPath(com));
}

TEST_F(LinkTest, AMalformedNetworkNameIsRefusedBeforeAnythingIsOpened) {
    dir.alias(kCom + 1, "rfc2217://127.0.0.1");
    EXPECT_EQ(Ombrix_PortOpen(kCom + 1, 5, 1, 0, 0, 0), OMBRIX_E_PARAM);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_BAD_NAME);
    // The record it reserved is free again, and the number can be opened
    // once it names something sound.
    EXPECT_EQ(Ombrix_PortOpen(kCom, 5, 1, 0, 0, 0), 0);
    EXPECT_EQ(Ombrix_OpenFailure(), OMBRIX_OPEN_OK);
}

}  // namespace
}  // namespace tavorin::test
