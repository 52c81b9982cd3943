#include "network_name.h"

#include <algorithm>
#include <cctype>

namespace ombrix {
namespace {

bool isAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A host name or a dotted IPv4 address: labels of letters, digits and
// hyphens, joined by single dots, none starting or ending with a hyphen.
// Whether it exists is for the resolver to say.
bool validName(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    std::size_t label = 0;
    char previous = '.';
    for (char c : host) {
        if (c == '.') {
            if (previous == '.' || previous == '-') return false;
            label = 0;
        } else if (isAlpha(c) || isDigit(c) || c == '-') {
            if (c == '-' && previous == '.') return false;
            if (++label > 63) return false;
        } else {
            return false;
        }
        previous = c;
    }
    return previous != '.' && previous != '-';
}

// The inside of "[...]": hexadecimal groups and colons (a dotted IPv4 tail
// allowed), at least two colons, then an optional %zone naming an
// interface. The resolver checks the exact grammar; this keeps out anything
// that could not be one.
bool validIpv6(const std::string& inside) {
    const std::size_t percent = inside.find('%');
    const std::string address = inside.substr(0, percent);
    if (address.empty() || std::count(address.begin(), address.end(), ':') < 2) return false;
    for (char c : address) {
        if (!isHex(c) && c != ':' && c != '.') return false;
    }
    if (percent == std::string::npos) return true;
    const std::string zone = inside.substr(percent + 1);
    if (zone.empty() || zone.size() > 15) return false;
    return std::all_of(zone.begin(), zone.end(), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '_' || c == '-' || c == '.';
    });
}

}  // namespace

bool isNetworkName(const std::string& text) {
    const std::size_t mark = text.find("://");
    if (mark == std::string::npos || mark == 0 || !isAlpha(text[0])) return false;
    return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(mark), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
    });
}

NameFault checkNetworkName(const std::string& text, NetworkName& out) {
    if (!isNetworkName(text)) return NameFault::Scheme;
    const std::size_t mark = text.find("://");
    const std::string scheme = lower(text.substr(0, mark));
    if (scheme == "rfc2217") {
        out.kind = NetworkKind::Rfc2217;
    } else if (scheme == "socket") {
        out.kind = NetworkKind::Raw;
    } else {
        return NameFault::Scheme;
    }
    const std::string rest = text.substr(mark + 3);
    // What names the server ends where a path or a query begins.
    const std::string authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.find('@') != std::string::npos) return NameFault::User;

    // The port follows the host: for an IPv6 address, behind the closing
    // bracket; else behind the one colon a host name leaves room for.
    std::size_t colon;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) return NameFault::Host;
        out.host = authority.substr(1, close - 1);
        if (!validIpv6(out.host)) return NameFault::Host;
        if (close + 1 == authority.size()) return NameFault::NoPort;
        if (authority[close + 1] != ':') return NameFault::Host;
        colon = close + 1;
    } else {
        if (std::count(authority.begin(), authority.end(), ':') > 1) return NameFault::Ipv6;
        colon = authority.find(':');
        out.host = authority.substr(0, colon);
        if (!validName(out.host)) return NameFault::Host;
        if (colon == std::string::npos) return NameFault::NoPort;
    }
    const std::string digits = authority.substr(colon + 1);
    if (digits.empty()) return NameFault::NoPort;
    if (digits.size() > 5 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), isDigit))
        return NameFault::Port;
    out.port = std::stoi(digits);
    if (out.port > 65535) return NameFault::Port;
    return authority.size() == rest.size() ? NameFault::None : NameFault::Path;
}

}  // namespace ombrix
