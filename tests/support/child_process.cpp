#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

namespace tavorin::test {

ChildProcess startChild(const std::string& exe, const std::vector<std::string>& args,
                        const std::string& dir, const std::vector<std::string>& env,
                        bool captureErr, int user) {
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return {};
    if (captureErr && pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return {};
    }
    // Everything the child needs is made before the fork: after it, only
    // async-signal-safe calls are sound in a threaded test.
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    std::string program = exe;
    argv.push_back(program.data());
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment(
        environ, environ + [] {
            std::size_t n = 0;
            while (environ[n]) ++n;
            return n;
        }());
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (const std::string& set : env) {
        std::erase_if(environment, [&](const std::string& e) { return nameOf(e) == nameOf(set); });
        environment.push_back(set);
    }
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        if (captureErr) dup2(err[1], STDERR_FILENO);
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
        if (user >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(user)) != 0 ||
                          setuid(static_cast<uid_t>(user)) != 0)) {
            _exit(126);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    if (captureErr) close(err[1]);
    if (pid < 0) {
        close(out[0]);
        if (captureErr) close(err[0]);
        return {};
    }
    return {pid, out[0], captureErr ? err[0] : -1};
}

}  // namespace tavorin::test
