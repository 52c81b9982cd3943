// jpeglib.h uses FILE without including stdio.h itself.
#include <cstdio>

#include <jpeglib.h>
#include <tiffio.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "image.h"

namespace vscanner::detail {

namespace {

void put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<unsigned char>(v & 0xFF));
    b.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// Packs a row to one bit a pixel, most significant bit first; `whiteIsOne`
// picks the polarity the target format expects.
void packRow(const Image& img, int y, int threshold, bool whiteIsOne, unsigned char* out) {
    const int rowBytes = (img.width + 7) / 8;
    std::memset(out, 0, static_cast<std::size_t>(rowBytes));
    for (int x = 0; x < img.width; ++x) {
        const bool white = img.at(x, y) >= threshold;
        if (white == whiteIsOne) out[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
    }
}

Bytes encodeBmp(const Image& img, int depth, int threshold) {
    const int colours = depth == 1 ? 2 : 256;
    const int rowBytes = depth == 1 ? ((img.width + 31) / 32) * 4 : ((img.width + 3) / 4) * 4;
    const std::uint32_t dataOffset = 14 + 40 + static_cast<std::uint32_t>(colours) * 4;
    const std::uint32_t dataSize =
        static_cast<std::uint32_t>(rowBytes) * static_cast<std::uint32_t>(img.height);
    Bytes b;
    b.reserve(dataOffset + dataSize);
    b.push_back('B');
    b.push_back('M');
    put32(b, dataOffset + dataSize);
    put32(b, 0);
    put32(b, dataOffset);
    put32(b, 40);
    put32(b, static_cast<std::uint32_t>(img.width));
    put32(b, static_cast<std::uint32_t>(img.height));  // positive: rows bottom-up
    put16(b, 1);
    put16(b, static_cast<unsigned>(depth));
    put32(b, 0);  // no compression
    put32(b, dataSize);
    put32(b, 7874);  // 200 dpi in pixels per metre
    put32(b, 7874);
    put32(b, static_cast<std::uint32_t>(colours));
    put32(b, 0);
    for (int i = 0; i < colours; ++i) {
        const unsigned char v = static_cast<unsigned char>(depth == 1 ? i * 255 : i);
        b.insert(b.end(), {v, v, v, 0});
    }
    std::vector<unsigned char> row(static_cast<std::size_t>(rowBytes));
    for (int y = img.height - 1; y >= 0; --y) {
        std::fill(row.begin(), row.end(), 0);
        if (depth == 1) {
            packRow(img, y, threshold, true, row.data());
        } else {
            std::memcpy(row.data(), &img.at(0, y), static_cast<std::size_t>(img.width));
        }
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
}

// libtiff writes through these callbacks into memory, so that no temporary
// file is needed and nothing is left behind when an encode fails.
struct MemFile {
    Bytes data;
    std::size_t pos = 0;
};

tsize_t memRead(thandle_t h, tdata_t buf, tsize_t size) {
    auto* f = static_cast<MemFile*>(h);
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size),
                                                f->data.size() - std::min(f->pos, f->data.size()));
    if (n) std::memcpy(buf, f->data.data() + f->pos, n);
    f->pos += n;
    return static_cast<tsize_t>(n);
}

tsize_t memWrite(thandle_t h, tdata_t buf, tsize_t size) {
    auto* f = static_cast<MemFile*>(h);
    const std::size_t n = static_cast<std::size_t>(size);
    if (f->pos + n > f->data.size()) f->data.resize(f->pos + n);
    std::memcpy(f->data.data() + f->pos, buf, n);
    f->pos += n;
    return size;
}

toff_t memSeek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemFile*>(h);
    std::size_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->data.size() : 0;
    f->pos = base + static_cast<std::size_t>(off);
    return static_cast<toff_t>(f->pos);
}

int memClose(thandle_t) {
    return 0;
}
toff_t memSize(thandle_t h) {
    return static_cast<toff_t>(static_cast<MemFile*>(h)->data.size());
}
int memMap(thandle_t, tdata_t*, toff_t*) {
    return 0;
}
void memUnmap(thandle_t, tdata_t, toff_t) {}

// libtiff reports through global handlers; a failed encode must surface as
// an exception here, not as text on the tool's stderr.
void quietHandler(const char*, const char*, va_list) {}

Bytes encodeTiff(const Image& img, int format, int threshold) {
    const bool binary = fileDepth(format, 1) == 1;
    const int compression = format == kTiffBinary     ? COMPRESSION_CCITTFAX3
                            : format == kTiffBinaryG4 ? COMPRESSION_CCITTFAX4
                            : format == kTiffGrey     ? COMPRESSION_LZW
                                                      : COMPRESSION_NONE;
    TIFFSetErrorHandler(quietHandler);
    TIFFSetWarningHandler(quietHandler);
    MemFile mem;
    TIFF* tif = TIFFClientOpen("image.tif", "w", &mem, memRead, memWrite, memSeek, memClose,
                               memSize, memMap, memUnmap);
    if (!tif) throw std::runtime_error("cannot start a TIFF");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(img.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(img.height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, binary ? 1 : 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    // Fax-coded pictures are conventionally min-is-white; keep that for all
    // binary kinds so that every reader shows them the same way.
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                 binary ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 200.0f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 200.0f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "virtual-scanner");
    if (compression == COMPRESSION_CCITTFAX3) TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, 0);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP,
                 compression == COMPRESSION_CCITTFAX4 ? static_cast<std::uint32_t>(img.height)
                                                      : TIFFDefaultStripSize(tif, 0));
    std::vector<unsigned char> row(
        static_cast<std::size_t>(binary ? (img.width + 7) / 8 : img.width));
    bool ok = true;
    for (int y = 0; y < img.height && ok; ++y) {
        if (binary) {
            packRow(img, y, threshold, false, row.data());
        } else {
            std::memcpy(row.data(), &img.at(0, y), row.size());
        }
        ok = TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0) == 1;
    }
    if (ok) ok = TIFFWriteDirectory(tif) == 1;
    TIFFClose(tif);
    if (!ok) throw std::runtime_error("TIFF encoding failed");
    return mem.data;
}

// libjpeg's default error exit ends the process; a failed encode must come
// back as an error instead. Unwinding through libjpeg's C frames is not
// sound, so the handler jumps back with longjmp, and the frame that set the
// jump point holds no object with a destructor between the two.
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

Bytes encodeJpeg(const Image& img, int quality) {
    jpeg_compress_struct cinfo{};
    JpegError err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = [](j_common_ptr c) {
        std::longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1);
    };
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        free(out);
        throw std::runtime_error("JPEG encoding failed");
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(img.width);
    cinfo.image_height = static_cast<JDIMENSION>(img.height);
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, std::clamp(quality, 1, 100), TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&img.at(0, static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes result(out, out + size);
    free(out);
    return result;
}

Image thresholded(const Image& img, int threshold) {
    Image out = img;
    for (auto& p : out.pixels) p = p >= threshold ? 255 : 0;
    return out;
}

}  // namespace

Bytes encodeKim(const Image& img, int depth, int threshold) {
    const int rowBytes = depth == 1 ? (img.width + 7) / 8 : img.width;
    Bytes b = {'K', 'I', 'M', '1'};
    put16(b, static_cast<unsigned>(img.width));
    put16(b, static_cast<unsigned>(img.height));
    b.push_back(static_cast<unsigned char>(depth));
    b.push_back(0);
    put16(b, static_cast<unsigned>(rowBytes));
    const std::size_t header = b.size();
    b.resize(header + static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(img.height));
    for (int y = 0; y < img.height; ++y) {
        unsigned char* row = b.data() + header + static_cast<std::size_t>(y) * rowBytes;
        if (depth == 1) {
            packRow(img, y, threshold, true, row);
        } else {
            std::memcpy(row, &img.at(0, y), static_cast<std::size_t>(img.width));
        }
    }
    return b;
}

Bytes encodeImage(const Image& img, int format, int depth, int quality, int threshold) {
    const int bits = fileDepth(format, depth);
    switch (format) {
        case kKim:
            return encodeKim(img, bits, threshold);
        case kBmp:
            return encodeBmp(img, bits, threshold);
        case kJpeg:
            return encodeJpeg(depth == 1 ? thresholded(img, threshold) : img, quality);
        case kTiffGrey:
        case kTiffGreyRaw:
            return encodeTiff(depth == 1 ? thresholded(img, threshold) : img, format, threshold);
        default:
            return encodeTiff(img, format, threshold);
    }
}

}  // namespace vscanner::detail
