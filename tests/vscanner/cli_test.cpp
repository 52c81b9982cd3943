// The command-line tool as the run script uses it: one line on stdout,
// serve, leave cleanly on SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "child_process.h"
#include "vscanner_fixture.h"

namespace vscanner::test {
namespace {

struct Child {
    pid_t pid = -1;
    int out = -1;
};

Child spawn(const std::vector<std::string>& args) {
    const tavorin::test::ChildProcess c = tavorin::test::startChild(VSCANNER_CLI, args);
    return {c.pid, c.out};
}

// Reads stdout until it closes or `limit` passes.
std::string readOut(int fd, std::chrono::milliseconds limit, bool oneLine) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (oneLine && out.find('\n') != std::string::npos) break;
    }
    return out;
}

// The exit status, or -1 when the child did not end within `limit`.
int reap(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(20ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ScannerTest, ToolPrintsItsPortServesAndCleansUp) {
    Child c = spawn({"--com", "210", "--no-pace"});
    ASSERT_GT(c.pid, 0);
    const std::string line = readOut(c.out, 5000ms, true);
    ASSERT_EQ(line.rfind("COM210 /dev/", 0), 0u) << line;
    ASSERT_EQ(line.back(), '\n');
    const std::string device = line.substr(7, line.size() - 8);
    EXPECT_EQ(std::filesystem::canonical(dir.aliasPath(210)).string(), device);

    const int h = Ombrix_PortOpen(210, 9, 1, 0, 0, 0);
    EXPECT_GE(h, 0);
    Ombrix_PortClose(h);

    kill(c.pid, SIGTERM);
    EXPECT_EQ(reap(c.pid, 5000ms), 0);
    EXPECT_EQ(readOut(c.out, 200ms, false), "") << "more than one line on stdout";
    close(c.out);
    EXPECT_FALSE(std::filesystem::is_symlink(dir.aliasPath(210)));
}

TEST_F(ScannerTest, ToolHelpDocumentsEveryOption) {
    Child c = spawn({"--help"});
    ASSERT_GT(c.pid, 0);
    const std::string help = readOut(c.out, 5000ms, false);
    close(c.out);
    EXPECT_EQ(reap(c.pid, 5000ms), 0);
    for (const char* option : {"--com", "--barcode", "--line", "--pace", "--no-pace",
                               "--trigger-after", "--fault", "--slow-ms", "--help", "KIM"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    for (const char* fault : {"none", "no-greeting", "bad-greeting", "nak", "enq", "drop-closing",
                              "stop-mid-image", "hang-up-mid-image", "garbage", "slow"}) {
        EXPECT_TRUE(parseFault(fault)) << fault;
        EXPECT_NE(help.find(std::string(fault) + " "), std::string::npos) << fault;
    }

    Child bad = spawn({"--line", "fast"});
    close(bad.out);
    EXPECT_EQ(reap(bad.pid, 5000ms), 2);
}

}  // namespace
}  // namespace vscanner::test
