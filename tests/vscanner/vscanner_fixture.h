// Shared set-up for the virtual scanner's tests: a private port directory,
// a scanner served in-process, and the link library as the host.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ombrix.h"
#include "pty_peer.h"
#include "vscanner/scanner.h"

namespace vscanner::test {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;

inline std::string text(const unsigned char* data, int n) {
    return n > 0 ? std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n))
                 : std::string();
}

class ScannerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (int h = 0; h < 10; ++h) Ombrix_PortClose(h);
    }

    void start(Options options = {}) { scanner = std::make_unique<Scanner>(std::move(options)); }

    // Opens the scanner's port at the given baud index (9 = 115200), 8N1.
    int open(int baud = 9, int stop = 0) {
        return Ombrix_PortOpen(scanner->com(), baud, 1, stop, 0, 0);
    }

    int command(int h, const std::string& cmd) {
        return Ombrix_CmndSend(h, reinterpret_cast<const unsigned char*>(cmd.data()),
                               static_cast<int>(cmd.size()));
    }

    // Sends a command and returns its reply (or the error code as text).
    std::string ask(int h, const std::string& cmd) {
        EXPECT_EQ(command(h, cmd), 0);
        unsigned char buf[512];
        const int n = Ombrix_ResponseRecv(h, buf, sizeof buf);
        return n >= 0 ? text(buf, n) : "error " + std::to_string(n);
    }

    std::string file(const std::string& name) const { return dir.runtimeDir() + "/" + name; }

    tavorin::test::PortDirectory dir;
    std::unique_ptr<Scanner> scanner;
};

inline Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a command and returns its standard output ("" when it failed).
inline std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    return pclose(p) == 0 ? out : std::string();
}

inline bool haveTool(const std::string& name) {
    return !run("command -v " + name + " 2>/dev/null").empty();
}

}  // namespace vscanner::test
