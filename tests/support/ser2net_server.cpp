#include "ser2net_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavorin::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Whether something listens on TCP `port` of 127.0.0.1 (read from
// /proc/net/tcp, so that looking connects to nothing).
bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;  // 0A: LISTEN
    }
    return false;
}

}  // namespace

int loopbackSocket(int backlog, int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (backlog >= 0 && listen(fd, backlog) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

int freeLoopbackPort() {
    int port = 0;
    const int fd = loopbackSocket(-1, port);
    if (fd >= 0) close(fd);
    return port;
}

int connectedTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

Ser2net::Ser2net(const std::string& device, Kind kind, const std::string& line) : kind_(kind) {
    std::string pattern = (fs::temp_directory_path() / "tavorin-ser2net-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("no directory for ser2net");
    dir_ = pattern;
    // A port taken between the look and ser2net's bind makes it fail to
    // listen; another port is tried then.
    for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
        port_ = freeLoopbackPort();
        const std::string config = dir_ + "/ser2net.yaml";
        {
            std::ofstream yaml(config);
            yaml << "connection: &scanner\n"
                 << "    accepter: " << (kind == Kind::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,")
                 << "127.0.0.1," << port_ << "\n"
                 << "    connector: serialdev," << device << "," << line << ",local\n";
        }
        const std::string log = dir_ + "/ser2net.log";
        const std::string pidFile = dir_ + "/ser2net.pid";
        const pid_t pid = fork();
        if (pid < 0) break;
        if (pid == 0) {
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (out >= 0) {
                dup2(out, STDOUT_FILENO);
                dup2(out, STDERR_FILENO);
            }
            // -n: in the foreground, so that the test owns the process;
            // -u: no UUCP lock files left behind in /var/lock; -P: its pid
            // file here, not in /run.
            execlp("ser2net", "ser2net", "-n", "-u", "-c", config.c_str(), "-P", pidFile.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        const auto start = std::chrono::steady_clock::now();
        bool up = false;
        int status = 0;
        while (std::chrono::steady_clock::now() - start < 5s) {
            if (listening(port_)) {
                up = true;
                break;
            }
            if (waitpid(pid, &status, WNOHANG) == pid) break;  // ended: port taken, or no ser2net
            std::this_thread::sleep_for(10ms);
        }
        if (up) {
            pid_ = pid;
        } else if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
    if (pid_ < 0) {
        const std::string why = log();
        fs::remove_all(dir_);
        throw std::runtime_error("ser2net did not start: " + why);
    }
}

Ser2net::~Ser2net() {
    stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string Ser2net::url() const {
    return std::string(kind_ == Kind::Rfc2217 ? "rfc2217" : "socket") +
           "://127.0.0.1:" + std::to_string(port_);
}

std::string Ser2net::log() const {
    std::ifstream in(dir_ + "/ser2net.log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Ser2net::stop() {
    if (pid_ < 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() - start > 3s) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
}

}  // namespace tavorin::test
