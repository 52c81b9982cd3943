// Network port names: which alias texts are network names, and which of
// those an open can use.
#include <gtest/gtest.h>

#include "network_name.h"

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

TEST(NetworkNameTest, MalformedNamesAreNetworkNamesAnOpenRefuses) {
    const char* malformed[] = {
        "rfc2217://127.0.0.1",                // no port
        "rfc2217://127.0.0.1:",               // empty port
        "rfc2217://:2217",                    // no host
        "rfc2217://host:0",                   // port 0
        "rfc2217://host:65536",               // port too high
        "rfc2217://host:02217",               // a second spelling of a number
        "rfc2217://host:2217/",               // a path
        "rfc2217://host:2217?logging=debug",  // a query
        "rfc2217://user@host:2217",           // user information
        "rfc2217://host..lan:2217",           // an empty label
        "rfc2217://-host:2217",               // a label that starts with a hyphen
        "rfc2217://::1:2217",                 // IPv6 without brackets
        "rfc2217://[::1:2217",                // no closing bracket
        "rfc2217://[::1]2217",                // no colon behind it
        "rfc2217://[1.2.3.4]:2217",           // brackets around no IPv6 address
        "rfc2217://[::1%]:2217",              // an empty zone
        "telnet://host:23",                   // a scheme the library has no device for
    };
    for (const char* text : malformed) {
        NetworkName name;
        EXPECT_TRUE(ombrix::isNetworkName(text)) << text;
        EXPECT_FALSE(ombrix::parseNetworkName(text, name)) << text;
    }
    // Device paths, absolute or relative, are never network names.
    for (const char* path : {"/dev/ttyUSB0", "/dev/serial/by-id/usb-x:y", "../pts/3", "", "://x",
                             "1rfc://host:1", "rfc 2217://host:1"}) {
        EXPECT_FALSE(ombrix::isNetworkName(path)) << path;
    }
}

}  // namespace
}  // namespace tavorin::test
