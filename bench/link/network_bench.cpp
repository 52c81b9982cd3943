// Network ports on the chain a production line has: the virtual scanner on
// a pseudo-terminal (a strict, paced 115200 8N1 line), ser2net in front of
// it, the client on the loopback. Measured in one run, each figure printed
// beside its target:
//  - command + reply latency: from sending a menu command to holding its
//    whole reply, the median of this library's Ombrix_CmndSend +
//    Ombrix_ResponseRecv over rfc2217://, against pyserial's RFC 2217 client
//    (rfc2217://...?ign_set_control, since ser2net does not answer
//    SET-CONTROL on a pty) doing the same on the same server, in alternating
//    blocks. Target: at most 1.0 x pyserial's.
//  - line efficiency of a paced IMGSHP JPEG received with Ombrix_ImageRecv:
//    the ideal line time of every byte the scanner sent, over the time the
//    library took for them past the scanner's own time before its first
//    byte. Target: at least 0.995.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "figures.h"
#include "ombrix.h"
#include "pty_peer.h"
#include "scanner_latency.h"
#include "ser2net_server.h"
#include "vscanner/scanner.h"

namespace {

using tavorin::bench::median;
using Clock = std::chrono::steady_clock;
constexpr int kBlocks = 4;
constexpr int kPerBlock = 50;
constexpr double kLineBaud = 115200;
constexpr double kBitsPerByte = 10;  // 8N1

// pyserial's client, as a Python user runs it: open, then the command's frame
// and a read up to its terminator, timed each, printed in microseconds.
constexpr const char* kPyserial = R"(
import sys, time, serial
s = serial.serial_for_url(sys.argv[1], baudrate=115200, timeout=5)
frame = b'\x16M\rBEPLVL?.'
times = []
for i in range(int(sys.argv[2])):
    t = time.perf_counter()
    s.write(frame)
    reply = s.read_until(b'.')
    times.append((time.perf_counter() - t) * 1e6)
    if not reply.endswith(b'\x06.'):
        sys.exit(2)
s.close()
print(' '.join('%.1f' % t for t in times))
)";

// One block of pyserial's round trips; false when it failed.
bool pyserialBlock(const std::string& script, const std::string& url, std::vector<double>& out) {
    // The system's interpreter, which the Debian package installs pyserial for.
    const std::string command = "/usr/bin/python3 " + script + " '" + url + "?ign_set_control' " +
                                std::to_string(kPerBlock);
    FILE* p = popen(command.c_str(), "r");
    if (!p) return false;
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    if (pclose(p) != 0) return false;
    std::istringstream values(text);
    double us;
    int count = 0;
    while (values >> us) {
        out.push_back(us);
        ++count;
    }
    return count == kPerBlock;
}

// One block of this library's round trips on a freshly opened port.
bool libraryBlock(int com, std::vector<double>& out) {
    const int h = Ombrix_PortOpen(com, 9, 1, 0, 0, 0);
    if (h < 0) return false;
    static const unsigned char command[] = {'B', 'E', 'P', 'L', 'V', 'L', '?'};
    bool ok = true;
    for (int i = 0; i < kPerBlock && ok; ++i) {
        unsigned char reply[32];
        const auto start = Clock::now();
        ok = Ombrix_CmndSend(h, command, sizeof command) == 0 &&
             Ombrix_ResponseRecv(h, reply, sizeof reply) == 9;
        out.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Ombrix_PortClose(h);
    return ok;
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    // A port directory of its own (the scanners register there), removed
    // on the way out.
    tavorin::test::PortDirectory dir;
    const std::string script = dir.runtimeDir() + "/pyserial_client.py";
    std::ofstream(script) << kPyserial;

    const double scannerOwn = tavorin::bench::scannerLatency("IMGSHP6F");
    if (scannerOwn < 0) {
        std::fprintf(stderr, "network_bench: the scanner's latency probe failed\n");
        return 1;
    }
    vscanner::Options options;
    options.strictLine = vscanner::LineSettings{115200, 8, 'N', 1};
    options.pace = true;
    vscanner::Scanner scanner(options);
    tavorin::test::Ser2net server(scanner.devicePath(), tavorin::test::Ser2net::Kind::Rfc2217);
    const int com = Ombrix_PortAdd(server.url().c_str(), 100);

    // Alternating blocks keep drifts of the machine out of the comparison.
    std::vector<double> library, pyserial;
    for (int block = 0; block < kBlocks; ++block) {
        if (!libraryBlock(com, library)) {
            std::fprintf(stderr, "network_bench: the library's block failed\n");
            return 1;
        }
        if (!pyserialBlock(script, server.url(), pyserial)) {
            std::fprintf(stderr, "network_bench: pyserial's block failed (python3-serial?)\n");
            return 1;
        }
    }
    const double ours = median(library), theirs = median(pyserial);
    std::printf(
        "command + reply over rfc2217:// through ser2net at 115200 8N1, %d each: "
        "this library %.0f us median, pyserial %.0f us median\n",
        kBlocks * kPerBlock, ours, theirs);
    tavorin::bench::atMost("command + reply median, this library / pyserial", ours / theirs, "x",
                           1.0);

    // The picture, received into a file as the program receives it.
    const int h = Ombrix_PortOpen(com, 9, 1, 0, 0, 0);
    if (h < 0) {
        std::fprintf(stderr, "network_bench: open failed (%d)\n", h);
        return 1;
    }
    const std::string command = "IMGSHP6F";
    const std::string path = dir.runtimeDir() + "/picture.jpg";
    unsigned char reply[32];
    const auto start = Clock::now();
    int n = Ombrix_CmndSend(h, reinterpret_cast<const unsigned char*>(command.data()),
                            static_cast<int>(command.size()));
    if (n == 0) n = Ombrix_ImageRecv(h, path.c_str(), reply, sizeof reply, 2);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Ombrix_PortClose(h);
    const std::size_t file = scanner.lastShipped().size();
    if (n < 0 || file == 0 || fs::file_size(path) != file) {
        std::fprintf(stderr, "network_bench: the image failed (%d)\n", n);
        return 1;
    }
    // SYN and the six header bytes, the sub-header (the command and GS), the
    // file, the closing reply.
    const double sent = 7.0 + static_cast<double>(command.size() + 1 + file) + n;
    const double ideal = sent * kBitsPerByte / kLineBaud;
    std::printf(
        "IMGSHP6F at 115200 8N1 through ser2net: %.0f bytes on the line, ideal %.4f s; "
        "the library took %.4f s, of which %.4f s were the scanner's before its first "
        "byte\n",
        sent, ideal, seconds, scannerOwn);
    // In per cent, so that the figure shows the digits its target is about.
    tavorin::bench::atLeast("paced image, line efficiency past the scanner's own time",
                            ideal / (seconds - scannerOwn) * 100, "%", 99.5);
    return tavorin::bench::printFigures() == 0 ? 0 : 2;
}
