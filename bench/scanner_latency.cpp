#include "scanner_latency.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "vscanner/scanner.h"

namespace tavorin::bench {

// Measured on an unpaced scanner (pacing starts only once the picture is
// ready) with the terminal read directly, so that no host's overhead is
// counted in it.
double scannerLatency(const std::string& command) {
    using Clock = std::chrono::steady_clock;
    vscanner::Scanner scanner(vscanner::Options{});
    const std::string frame = "\x16M\r" + command + ".";
    double least = -1;
    for (int i = 0; i < 3; ++i) {
        const int fd = open(scanner.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return -1;
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
        tcflush(fd, TCIOFLUSH);
        const Clock::time_point asked = Clock::now();
        if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
            close(fd);
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) {
            close(fd);
            break;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - asked).count();
        least = least < 0 ? seconds : std::min(least, seconds);
        // The rest of the picture, until the line is quiet.
        char buf[4096];
        while (poll(&p, 1, 50) == 1 && read(fd, buf, sizeof buf) > 0) {
        }
        close(fd);
    }
    return least;
}

}  // namespace tavorin::bench
