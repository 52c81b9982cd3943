// Feeds arbitrary byte streams through the reply readers and the image
// receiver. The first bytes of the input choose the reader, the buffer's
// capacity and how the stream is split across reads; the rest is what the
// "scanner" sends. Every buffer is exactly as large as the capacity handed to
// the library, so AddressSanitizer catches a single byte written past it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_device.h"
#include "port.h"

namespace {

std::string imagePath() {
    static std::string path = [] {
        char tmpl[] = "/tmp/ombrix-fuzz-XXXXXX";
        const char* dir = mkdtemp(tmpl);
        if (!dir) std::abort();
        return std::string(dir) + "/image.bin";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const int reader = data[0] % 4;
    const std::int32_t capacity = 1 + data[1] % 64;
    std::vector<std::size_t> pieces = {1u + data[2] % 16, 1u + data[3] % 200, 1024, 3};
    std::vector<unsigned char> stream(data + 4, data + size);

    auto device = std::make_shared<ombrix::fuzz::MemoryDevice>(stream, pieces);
    std::int32_t h = ombrix::InstallDevice(1, device);
    if (h < 0) std::abort();
    // Short time-outs keep each run fast; the device's hang-up at the end of
    // the stream ends every wait anyway.
    Ombrix_TimeoutSet(h, 50, 50);

    std::vector<unsigned char> buffer(static_cast<std::size_t>(capacity));
    std::int32_t r = 0;
    switch (reader) {
        case 0:
            r = Ombrix_ResponseRecv(h, buffer.data(), capacity);
            break;
        case 1:
            r = Ombrix_DataRecv(h, buffer.data(), capacity, "\x02", "\x03");
            break;
        case 2:
            r = Ombrix_ImageRecv(h, imagePath().c_str(), buffer.data(), capacity, 2);
            break;
        case 3: {
            std::int32_t length = 0, count = 0;
            r = Ombrix_ImageDebug(h, imagePath().c_str(), buffer.data(), capacity, &length, &count);
            if (count < 0) std::abort();
            break;
        }
    }
    // A reply's length can never exceed the buffer it was stored in.
    if (r > capacity) std::abort();
    std::int32_t length = 0, received = 0;
    if (Ombrix_ImageProgress(h, &length, &received) != OMBRIX_IMAGE_IDLE) std::abort();
    if (received < 0 || (length > 0 && received > length)) std::abort();
    Ombrix_PortClose(h);
    return 0;
}
