// Shared set-up for the image transfer tests: image replies as the scanner
// sends them, and a private folder the pictures go to.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "link_fixture.h"

namespace tavorin::test {

// An image reply as the scanner sends it: SYN, a byte, L least significant
// byte first, a byte, the sub-header (ending in GS), the data, the closing
// reply.
inline Bytes imageReply(const Bytes& subHeader, const Bytes& data, std::uint32_t length,
                        const Bytes& closing = Bytes{0x06, '.'}) {
    Bytes out{0x16,
              0x00,
              static_cast<unsigned char>(length),
              static_cast<unsigned char>(length >> 8),
              static_cast<unsigned char>(length >> 16),
              static_cast<unsigned char>(length >> 24),
              0x00};
    out.insert(out.end(), subHeader.begin(), subHeader.end());
    out.insert(out.end(), data.begin(), data.end());
    out.insert(out.end(), closing.begin(), closing.end());
    return out;
}

inline Bytes subHeader(std::size_t size) {
    Bytes s(size, 'h');
    s.back() = 0x1D;
    return s;
}

inline Bytes pattern(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<unsigned char>(i * 7 + i / 251);
    return b;
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

inline std::set<std::string> entries(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

class ImageTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        folder = dir.runtimeDir() + "/images";
        std::filesystem::create_directories(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        target = folder + "/picture.jpg";
    }

    // The names in the image folder: a transfer must never leave its
    // temporary behind.
    std::set<std::string> folderEntries() const { return entries(folder); }

    void writePrevious() { std::ofstream(target, std::ios::binary) << "previous image"; }

    // Sends `data` from a thread in pieces, `gap` apart, as a slow line does.
    std::thread sendPaced(Bytes data, std::size_t piece, std::chrono::milliseconds gap) {
        return std::thread([this, data = std::move(data), piece, gap] {
            for (std::size_t at = 0; at < data.size(); at += piece) {
                std::size_t n = std::min(piece, data.size() - at);
                peer->send(Bytes(data.begin() + static_cast<long>(at),
                                 data.begin() + static_cast<long>(at + n)));
                std::this_thread::sleep_for(gap);
            }
        });
    }

    std::string folder;
    std::string target;
    unsigned char reply[64] = {};
};

}  // namespace tavorin::test
