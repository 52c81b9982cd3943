#include "pty_peer.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first: it must come before windows.h.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace tavorin::test {

namespace fs = std::filesystem;

namespace {

std::string hex(const Bytes& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (unsigned char b : data) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

Bytes unhex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

int environmentNumber(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) {
        throw std::runtime_error(std::string(name) + " is not set: run through cmake/wine-run.sh");
    }
    return std::atoi(value);
}

void startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("WSAStartup failed");
}

}  // namespace

int comBase() {
    return environmentNumber("TAVORIN_COM_BASE");
}

PortDirectory::PortDirectory() {
    char name[64];
    std::snprintf(name, sizeof name, "tavorin-test-%lu-%llu", GetCurrentProcessId(),
                  static_cast<unsigned long long>(GetTickCount64()));
    runtime_ = (fs::temp_directory_path() / name).string();
    fs::create_directories(runtime_);
}

PortDirectory::~PortDirectory() {
    std::error_code ec;
    fs::remove_all(runtime_, ec);
}

Bytes PtyPeer::standardGreeting() {
    return Bytes{'B', 'E', 'P', 'B', 'E', 'P', '0', 0x06, '.'};
}

PtyPeer::Responder PtyPeer::greeting(Bytes answer) {
    return Responder({{"BEPBEP?", std::move(answer)}});
}

PtyPeer::PtyPeer(const PortDirectory&, int com) : com_(com) {
    startWinsock();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(environmentNumber("TAVORIN_PEER_PORT")));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        throw std::runtime_error("cannot reach the scanner peer");
    }
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    socket_ = s;
    reader_ = std::thread([this] { readLoop(); });
    request("open " + std::to_string(com));
    setResponder(greeting(standardGreeting()));
}

PtyPeer::~PtyPeer() {
    // Closing the connection makes the peer remove the port and its link.
    shutdown(static_cast<SOCKET>(socket_), SD_BOTH);
    if (reader_.joinable()) reader_.join();
    closesocket(static_cast<SOCKET>(socket_));
}

void PtyPeer::request(const std::string& line) const {
    std::lock_guard one(requestMutex_);
    std::unique_lock lock(mutex_);
    std::size_t expected = acks_ + 1;
    std::string text = line + "\n";
    const char* at = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        int n = ::send(static_cast<SOCKET>(socket_), at, static_cast<int>(left), 0);
        if (n <= 0) throw std::runtime_error("the scanner peer went away");
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    if (!changed_.wait_for(lock, std::chrono::seconds(10),
                           [&] { return acks_ >= expected || lost_; }) ||
        lost_) {
        throw std::runtime_error("the scanner peer did not answer: " + line);
    }
}

void PtyPeer::readLoop() {
    std::string pending;
    char buffer[65536];
    for (;;) {
        int n = ::recv(static_cast<SOCKET>(socket_), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            std::lock_guard lock(mutex_);
            if (line == "ok") {
                ++acks_;
            } else if (line == "f") {
                ++frames_;
            } else if (line.rfind("w ", 0) == 0) {
                Bytes data = unhex(line.substr(2));
                wire_.insert(wire_.end(), data.begin(), data.end());
            }
            changed_.notify_all();
        }
    }
    std::lock_guard lock(mutex_);
    lost_ = true;
    changed_.notify_all();
}

void PtyPeer::setResponder(Responder r) {
    request("silent");
    for (const auto& [text, reply] : r.table) {
        request("answer " + hex(bytes(text)) + " " + hex(reply));
    }
}

void PtyPeer::send(const Bytes& data) {
    if (!data.empty()) request("send " + hex(data));
}

Bytes PtyPeer::wire() const {
    // Everything the peer had seen before this call reaches this side
    // before the answer to the round trip.
    request("sync");
    std::lock_guard lock(mutex_);
    return wire_;
}

void PtyPeer::clearWire() {
    request("sync");
    std::lock_guard lock(mutex_);
    wire_.clear();
}

bool PtyPeer::waitWire(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return wire_.size() >= count; });
}

bool PtyPeer::waitFrames(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return frames_ >= count; });
}

std::size_t PtyPeer::frames() const {
    request("sync");
    std::lock_guard lock(mutex_);
    return frames_;
}

void PtyPeer::hangUp() {
    request("hangup");
}

void PtyPeer::setReadDelay(std::chrono::milliseconds delay) {
    request("lag " + std::to_string(delay.count()));
}

}  // namespace tavorin::test
