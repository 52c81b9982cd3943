// Network port names: a scanner on a serial device server or behind ser2net
// is reached as rfc2217://HOST:PORT (a telnet session that also carries the
// line's settings) or socket://HOST:PORT (the bare byte stream). Such a name
// reaches the library as the text of a COM<n> alias, where a device path
// would otherwise stand. Portable and free of I/O.
#pragma once

#include <string>

namespace ombrix {

enum class NetworkKind { Rfc2217, Raw };

struct NetworkName {
    NetworkKind kind = NetworkKind::Rfc2217;
    std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
    int port = 0;      // 1..65535
};

// Whether a resolved port name is meant as a network name rather than a
// device path: it begins with a URL scheme and "://". Such a name never
// opens a device, even when it is malformed.
bool isNetworkName(const std::string& text);

// Which part of a network name keeps an open from using it, in the order
// the name is read: the scheme, a user name before the host, the host, an
// IPv6 address without its brackets, a missing port, a port that is no
// number 1..65535, anything behind the port.
enum class NameFault { None, Scheme, User, Host, Ipv6, NoPort, Port, Path };

// Parses "rfc2217://HOST:PORT" or "socket://HOST:PORT" (scheme in any case;
// HOST a name, a dotted IPv4 address or an IPv6 address in brackets, with an
// optional %zone; PORT 1..65535 without leading zeros; nothing after it).
// NameFault::None when it is one, else the first part that is wrong (a text
// that is no network name at all counts as a wrong scheme); `out` is then
// unspecified.
NameFault checkNetworkName(const std::string& text, NetworkName& out);
inline bool parseNetworkName(const std::string& text, NetworkName& out) {
    return checkNetworkName(text, out) == NameFault::None;
}

}  // namespace ombrix
