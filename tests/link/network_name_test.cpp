// Network port names: which alias texts are network names, and which of
// those an open can use.
#include <gtest/gtest.h>

#include "network_name.h"
#include "ombrix.h"

namespace tavorin::test {
namespace {

using ombrix::NetworkKind;
using ombrix::NetworkName;

TEST(NetworkNameTest, WellFormedNamesAndWhatTheyMean) {
    struct Case {
        const char* text;
        NetworkKind kind;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"rfc2217://127.0.0.1:2217", NetworkKind::Rfc2217, "127.0.0.1", 2217},
        {"socket://localhost:1", NetworkKind::Raw, "localhost", 1},
        {"RFC2217://Scanner-7.line3.example:65535", NetworkKind::Rfc2217, "Scanner-7.line3.example",
         65535},
        {"rfc2217://[::1]:4001", NetworkKind::Rfc2217, "::1", 4001},
        {"socket://[fe80::1%eth0]:4001", NetworkKind::Raw, "fe80::1%eth0", 4001},
        {"socket://[::ffff:127.0.0.1]:80", NetworkKind::Raw, "::ffff:127.0.0.1", 80},
    };
    for (const Case& c : cases) {
        NetworkName name;
        ASSERT_TRUE(ombrix::isNetworkName(c.text)) << c.text;
        ASSERT_TRUE(ombrix::parseNetworkName(c.text, name)) << c.text;
        EXPECT_EQ(name.kind, c.kind) << c.text;
        EXPECT_EQ(name.host, c.host) << c.text;
        EXPECT_EQ(name.port, c.port) << c.text;
    }
}

// Malformed names are network names all the same (no device is opened for
// them), and the check says which part an open refuses.
TEST(NetworkNameTest, MalformedNamesAreNetworkNamesAndTheCheckSaysWhichPartIsWrong) {
    const struct {
        const char* text;
        int part;
    } cases[] = {
        {"rfc2217://127.0.0.1:2217", OMBRIX_NAME_NETWORK},
        {"rfc2217://127.0.0.1", OMBRIX_NAME_NO_PORT},
        {"rfc2217://127.0.0.1:", OMBRIX_NAME_NO_PORT},
        {"rfc2217://host/scanner", OMBRIX_NAME_NO_PORT},
        {"rfc2217://:2217", OMBRIX_NAME_HOST},
        {"rfc2217://host:0", OMBRIX_NAME_PORT},
        {"rfc2217://host:65536", OMBRIX_NAME_PORT},
        {"rfc2217://host:02217", OMBRIX_NAME_PORT},  // a second spelling of a number
        {"rfc2217://host:22x7", OMBRIX_NAME_PORT},
        {"rfc2217://host:2217/", OMBRIX_NAME_PATH},
        {"rfc2217://host:2217?logging=debug", OMBRIX_NAME_PATH},
        {"rfc2217://user@host:2217", OMBRIX_NAME_USER},
        {"rfc2217://host..lan:2217", OMBRIX_NAME_HOST},  // an empty label
        {"rfc2217://-host:2217", OMBRIX_NAME_HOST},      // a label that starts with a hyphen
        {"rfc2217://::1:2217", OMBRIX_NAME_IPV6},
        {"socket://fe80::1:4001", OMBRIX_NAME_IPV6},
        {"rfc2217://[::1:2217", OMBRIX_NAME_HOST},  // no closing bracket
        {"rfc2217://[::1]2217", OMBRIX_NAME_HOST},  // no colon behind it
        {"rfc2217://[::1]", OMBRIX_NAME_NO_PORT},
        {"rfc2217://[1.2.3.4]:2217", OMBRIX_NAME_HOST},  // brackets around no IPv6 address
        {"rfc2217://[::1%]:2217", OMBRIX_NAME_HOST},     // an empty zone
        {"telnet://host:23", OMBRIX_NAME_SCHEME},        // a scheme the library has no device for
        // Device paths, absolute or relative, are never network names.
        {"/dev/ttyUSB0", OMBRIX_NAME_DEVICE},
        {"/dev/serial/by-id/usb-x:y", OMBRIX_NAME_DEVICE},
        {"../pts/3", OMBRIX_NAME_DEVICE},
        {"", OMBRIX_NAME_DEVICE},
        {"://x", OMBRIX_NAME_DEVICE},
        {"1rfc://host:1", OMBRIX_NAME_DEVICE},
        {"rfc 2217://host:1", OMBRIX_NAME_DEVICE},
    };
    for (const auto& c : cases) {
        NetworkName name;
        EXPECT_EQ(Ombrix_PortNameCheck(c.text), c.part) << c.text;
        EXPECT_EQ(ombrix::isNetworkName(c.text), c.part != OMBRIX_NAME_DEVICE) << c.text;
        EXPECT_EQ(ombrix::parseNetworkName(c.text, name), c.part == OMBRIX_NAME_NETWORK) << c.text;
    }
}

}  // namespace
}  // namespace tavorin::test
