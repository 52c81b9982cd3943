// The network device on POSIX: a TCP connection to a serial device server,
// either a telnet session with the Com Port Control option (rfc2217://) or
// the bare byte stream (socket://).
#include "device.h"

namespace ombrix {

std::shared_ptr<Device> openNetwork(const NetworkName&, const OpenWait&, OpenError& error) {
    error = OpenError::CannotOpen;
    return nullptr;
}

}  // namespace ombrix
