// tavorin-capture as an integrator runs it,
//   tavorin-capture --port COM<n> --line 115200,8,N,1 --raw IMGSHP6F --output x.jpg --json
// against a scanner that paces its bytes as a 115200 8N1 line does (10 bits
// a byte). Prints the line efficiency -- the ideal line time of every byte
// the scanner sent divided by the time the tool took for them -- beside its
// target.
//
// The time the tool reports runs from sending the command to the closing
// reply, and so also holds the scanner's own time before its first byte
// (taking and encoding the picture), which no host can shorten. That time is
// measured on its own, on an unpaced scanner, and left out of the line
// efficiency; the figure with it is printed beside.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "figures.h"
#include "scanner_latency.h"
#include "vscanner/scanner.h"

using namespace tavorin;

namespace {

constexpr double kBaud = 115200;
constexpr double kBitsPerByte = 10;  // 8N1
constexpr double kTarget = 0.999;

// Runs the tool in `dir`; its standard output, or "" when it failed.
std::string runTool(const std::string& dir, int com) {
    int out[2];
    if (pipe(out) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        // Its one line of outcome would only interleave with the figures.
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        if (chdir(dir.c_str()) != 0) _exit(127);
        const std::string port = "COM" + std::to_string(com);
        execl(CAPTURE_CLI, CAPTURE_CLI, "--port", port.c_str(), "--line", "115200,8,N,1", "--raw",
              "IMGSHP6F", "--output", "x.jpg", "--json", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : std::string();
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "capture-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    const std::string dir = pattern;
    // A port directory of its own, so that no one else's scanners are met.
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);

    int result = 1;
    const double latency = bench::scannerLatency("IMGSHP6F");
    if (latency < 0) std::fprintf(stderr, "capture_bench: the latency probe failed\n");
    if (latency >= 0) {
        vscanner::Options options;
        options.pace = true;
        vscanner::Scanner scanner(options);
        const auto t0 = std::chrono::steady_clock::now();
        const std::string out = runTool(dir, scanner.com());
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const QJsonObject j = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
        if (out.empty() || j["result"].toInt(-1) != 0) {
            std::fprintf(stderr, "capture_bench: the tool failed: %s\n", out.c_str());
        } else {
            // What the scanner put on the line: SYN and the 6 header bytes,
            // the sub-header (the command and GS), the file, the closing reply.
            const double file = j["bytes"].toDouble();
            const double sent = 7.0 + (j["command"].toString().size() + 1) + file +
                                j["reply"].toString().toLatin1().size();
            const double ideal = sent * kBitsPerByte / kBaud;
            const double seconds = j["seconds"].toDouble();
            const double measured = seconds - latency;
            const double efficiency = ideal / measured;
            std::printf(
                "tavorin-capture --raw IMGSHP6F at 115200 8N1: %.0f bytes on the line, "
                "ideal %.4f s; the tool took %.4f s, of which %.4f s were the scanner's "
                "before its first byte; the whole run %.4f s\n",
                sent, ideal, seconds, latency, wall);
            std::printf("ideal / the tool's whole time for the command: %.2f %%\n",
                        ideal / seconds * 100);
            // In per cent, so that the figure shows the digits its target is about.
            bench::atLeast("line efficiency, ideal / the tool's time past the scanner's",
                           efficiency * 100, "%", kTarget * 100);
            result = bench::printFigures() == 0 ? 0 : 2;
        }
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return result;
}
