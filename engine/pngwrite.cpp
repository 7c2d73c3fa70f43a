#include "pngwrite.h"

#include <QColorSpace>

#include <libdeflate.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace pngwrite {
namespace {

void putBE32(uchar* out, quint32 v)
{
    out[0] = uchar(v >> 24);
    out[1] = uchar(v >> 16);
    out[2] = uchar(v >> 8);
    out[3] = uchar(v);
}

// Appends a chunk: length, type, data, and the CRC of type and data.
void appendChunk(QByteArray& file, const char type[4], const uchar* data, std::size_t size)
{
    uchar head[8];
    putBE32(head, quint32(size));
    std::memcpy(head + 4, type, 4);
    file.append(reinterpret_cast<const char*>(head), 8);
    if (size)
        file.append(reinterpret_cast<const char*>(data), qsizetype(size));
    quint32 crc = quint32(libdeflate_crc32(0, head + 4, 4));
    if (size)
        crc = quint32(libdeflate_crc32(crc, data, size));
    uchar tail[4];
    putBE32(tail, crc);
    file.append(reinterpret_cast<const char*>(tail), 4);
}

// The row's samples as PNG stores them: R, G, B, one byte each or two (most significant first).
void rawRow(const QImage& image, int y, uchar* out)
{
    const int w = image.width();
    if (image.format() == QImage::Format_RGB32) {
        const QRgb* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x, out += 3) {
            out[0] = uchar(qRed(in[x]));
            out[1] = uchar(qGreen(in[x]));
            out[2] = uchar(qBlue(in[x]));
        }
    } else {
        const QRgba64* in = reinterpret_cast<const QRgba64*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x, out += 6) {
            const quint16 c[3] = {in[x].red(), in[x].green(), in[x].blue()};
            for (int k = 0; k < 3; ++k) {
                out[2 * k] = uchar(c[k] >> 8);
                out[2 * k + 1] = uchar(c[k] & 0xff);
            }
        }
    }
}

inline int paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

// A filtered byte's weight in the choice of filter: its distance from 0 as a signed byte.
inline unsigned weight(uchar v) { return v < 128 ? v : 256u - v; }

// Filters one row (cur, with prev the row above, all zero for the first) into out: the filter type
// byte, then the filtered bytes of the filter with the smallest sum of weights.
void filterRow(const uchar* cur, const uchar* prev, std::size_t n, std::size_t bpp, uchar* candidates, uchar* out)
{
    uchar* f[5];
    for (int k = 0; k < 5; ++k)
        f[k] = candidates + std::size_t(k) * n;
    unsigned long long sum[5] = {0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        const int x = cur[i], b = prev[i];
        const int a = i >= bpp ? cur[i - bpp] : 0, c = i >= bpp ? prev[i - bpp] : 0;
        const uchar v[5] = {uchar(x), uchar(x - a), uchar(x - b), uchar(x - ((a + b) >> 1)), uchar(x - paeth(a, b, c))};
        for (int k = 0; k < 5; ++k) {
            f[k][i] = v[k];
            sum[k] += weight(v[k]);
        }
    }
    const int best = int(std::min_element(sum, sum + 5) - sum);
    out[0] = uchar(best);
    std::memcpy(out + 1, f[best], n);
}

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

} // namespace

bool encodes(const QImage& image)
{
    return !image.isNull() && (image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_RGBX64)
        && !image.colorSpace().isValid() && image.textKeys().isEmpty();
}

QByteArray encode(const QImage& image, int level)
{
    if (!encodes(image))
        return QByteArray();
    const bool deep = image.format() == QImage::Format_RGBX64;
    const std::size_t bpp = deep ? 6 : 3;
    const std::size_t rowBytes = std::size_t(image.width()) * bpp;
    const std::size_t height = std::size_t(image.height());

    // The filtered rows, each after its filter type byte.
    std::vector<uchar> filtered((rowBytes + 1) * height);
    std::vector<uchar> rows(2 * rowBytes, 0), candidates(5 * rowBytes);
    uchar* prev = rows.data();
    uchar* cur = rows.data() + rowBytes;
    for (std::size_t y = 0; y < height; ++y) {
        rawRow(image, int(y), cur);
        filterRow(cur, prev, rowBytes, bpp, candidates.data(), filtered.data() + y * (rowBytes + 1));
        std::swap(prev, cur);
    }

    std::unique_ptr<libdeflate_compressor, CompressorFree> compressor(
        libdeflate_alloc_compressor(std::clamp(level, 1, 12)));
    if (!compressor)
        throw std::bad_alloc();
    std::vector<uchar> idat(libdeflate_zlib_compress_bound(compressor.get(), filtered.size()));
    const std::size_t packed =
        libdeflate_zlib_compress(compressor.get(), filtered.data(), filtered.size(), idat.data(), idat.size());
    if (packed == 0)
        return QByteArray();
    std::vector<uchar>().swap(filtered);

    QByteArray file;
    const std::size_t kIdatChunk = std::size_t(1) << 18; // bytes of compressed data per IDAT chunk
    file.reserve(qsizetype(packed + 128 + 12 * (packed / kIdatChunk + 1)));
    file.append("\x89PNG\r\n\x1a\n", 8);
    uchar ihdr[13];
    putBE32(ihdr, quint32(image.width()));
    putBE32(ihdr + 4, quint32(image.height()));
    ihdr[8] = deep ? 16 : 8; // bit depth
    ihdr[9] = 2;             // colour type: RGB
    ihdr[10] = ihdr[11] = ihdr[12] = 0; // deflate, adaptive filtering, no interlace
    appendChunk(file, "IHDR", ihdr, sizeof ihdr);
    if (image.dotsPerMeterX() > 0 || image.dotsPerMeterY() > 0) {
        uchar phys[9];
        putBE32(phys, quint32(std::max(0, image.dotsPerMeterX())));
        putBE32(phys + 4, quint32(std::max(0, image.dotsPerMeterY())));
        phys[8] = 1; // the unit is the metre
        appendChunk(file, "pHYs", phys, sizeof phys);
    }
    for (std::size_t at = 0; at < packed; at += kIdatChunk)
        appendChunk(file, "IDAT", idat.data() + at, std::min(kIdatChunk, packed - at));
    appendChunk(file, "IEND", nullptr, 0);
    return file;
}

} // namespace pngwrite
