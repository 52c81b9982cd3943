// A program a test starts as its own process, with its output on pipes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tavorin::test {

struct ChildProcess {
    pid_t pid = -1;
    int out = -1;  // its standard output
    int err = -1;  // its standard error, when captured
};

// Starts `exe` with `args` in `dir` (the test's own when empty), its
// environment the test's with `env` ("NAME=value", later ones winning) set
// on top. Standard output is always a pipe; standard error only with
// `captureErr`, else shared with the test. With `user` (0 and up), a test
// that runs as root starts the program as that user and group, without
// supplementary groups; the child ends with 126 if it cannot become them.
// pid -1 when it could not start.
ChildProcess startChild(const std::string& exe, const std::vector<std::string>& args,
                        const std::string& dir = {}, const std::vector<std::string>& env = {},
                        bool captureErr = false, int user = -1);

}  // namespace tavorin::test
