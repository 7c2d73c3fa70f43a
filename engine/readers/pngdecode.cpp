#include "pngdecode.h"

#include "rows.h"


#include <QFile>
#include <QImageReader>

#include <spng.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pngdecode {
namespace {

std::atomic<bool>& switchedOn()
{
    static std::atomic<bool> on{[] {
        const char* choice = std::getenv("NEBULO_PNG_DECODER");
        return !(choice && std::strcmp(choice, "qt") == 0);
    }()};
    return on;
}

struct ContextFree {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// Whether a chunk of the given kind is present (the getters fail with SPNG_ECHUNKAVAIL otherwise).
template <class Getter>
bool present(Getter get)
{
    return get() == 0;
}

} // namespace

bool enabled() { return switchedOn().load(); }

void setEnabled(bool on) { switchedOn().store(on); }

Outcome decode(const QString& path, QImage& image)
{
    image = QImage();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Outcome::NotHandled;
    static const char signature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
    char head[8];
    if (file.peek(head, 8) != 8 || std::memcmp(head, signature, 8) != 0)
        return Outcome::NotHandled;
    const QByteArray bytes = file.readAll();
    file.close();

    std::unique_ptr<spng_ctx, ContextFree> owner(spng_ctx_new(0));
    spng_ctx* ctx = owner.get();
    if (!ctx || spng_set_png_buffer(ctx, bytes.constData(), std::size_t(bytes.size())) != 0)
        return Outcome::NotHandled;
    spng_ihdr ihdr{};
    if (spng_get_ihdr(ctx, &ihdr) != 0)
        return Outcome::NotHandled;
    if (ihdr.bit_depth != 8 || ihdr.interlace_method != SPNG_INTERLACE_NONE)
        return Outcome::NotHandled;
    const int width = int(ihdr.width), height = int(ihdr.height);
    if (width <= 0 || height <= 0 || ihdr.width > 0x7fffffffu || ihdr.height > 0x7fffffffu)
        return Outcome::NotHandled;
    // The toolkit's reader refuses images beyond its allocation limit; so do we, by leaving them to it.
    const qint64 bytesNeeded = qint64(width) * height * 4;
    const int limitMb = QImageReader::allocationLimit();
    if (limitMb > 0 && bytesNeeded > qint64(limitMb) * 1024 * 1024)
        return Outcome::NotHandled;

    // Chunks that may make the toolkit's reader change pixel values are left to it.
    double gamma = 0;
    spng_iccp iccp{};
    spng_chrm chrm{};
    spng_sbit sbit{};
    spng_trns trns{};
    std::uint8_t intent = 0;
    if (present([&] { return spng_get_gama(ctx, &gamma); }) || present([&] { return spng_get_iccp(ctx, &iccp); })
        || present([&] { return spng_get_chrm(ctx, &chrm); }) || present([&] { return spng_get_sbit(ctx, &sbit); })
        || present([&] { return spng_get_srgb(ctx, &intent); }))
        return Outcome::NotHandled;
    const bool colourKey = present([&] { return spng_get_trns(ctx, &trns); });

    enum class Layout { Grey, Rgb, Rgba };
    Layout layout;
    switch (ihdr.color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE:
        if (colourKey)
            return Outcome::NotHandled; // the toolkit reads grey with a colour key its own way
        layout = Layout::Grey;
        break;
    case SPNG_COLOR_TYPE_TRUECOLOR:
        layout = colourKey ? Layout::Rgba : Layout::Rgb;
        break;
    case SPNG_COLOR_TYPE_INDEXED:
        if (colourKey)
            return Outcome::NotHandled; // a palette with alpha: the toolkit's own conversion applies
        layout = Layout::Rgb;
        break;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA:
        layout = Layout::Rgba;
        break;
    default:
        return Outcome::NotHandled;
    }

    if (layout == Layout::Rgba) {
        // Alpha is resolved by the toolkit's conversion, as for the images its reader gives.
        QImage rgba(width, height, QImage::Format_RGBA8888);
        if (rgba.isNull() || rgba.bytesPerLine() != qsizetype(width) * 4)
            return Outcome::NotHandled;
        if (spng_decode_image(ctx, rgba.bits(), std::size_t(rgba.sizeInBytes()), SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0)
            return Outcome::NotHandled;
        image = rgba.convertToFormat(QImage::Format_RGB32);
        return image.isNull() ? Outcome::NotHandled : Outcome::Decoded;
    }

    const int format = layout == Layout::Grey ? SPNG_FMT_G8 : SPNG_FMT_RGB8;
    const std::size_t rowBytes = std::size_t(width) * (layout == Layout::Grey ? 1 : 3);
    if (spng_decode_image(ctx, nullptr, 0, format, SPNG_DECODE_PROGRESSIVE) != 0)
        return Outcome::NotHandled;
    QImage out(width, height, QImage::Format_RGB32);
    if (out.isNull())
        return Outcome::NotHandled;
    std::unique_ptr<std::uint8_t[]> row(new std::uint8_t[rowBytes]);
    for (int y = 0; y < height; ++y) {
        const int status = spng_decode_row(ctx, row.get(), rowBytes);
        if (status != 0 && !(status == SPNG_EOI && y == height - 1))
            return Outcome::NotHandled;
        QRgb* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        const std::uint8_t* in = row.get();
        if (layout == Layout::Grey) {
            for (int x = 0; x < width; ++x)
                line[x] = 0xff000000u | (QRgb(in[x]) * 0x010101u);
        } else {
            readers::rgb24ToRgb32(in, line, width, false);
        }
    }
    image = out;
    return Outcome::Decoded;
}

} // namespace pngdecode
