#include "rows.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace readers {
namespace {

void toRgb32Scalar(const uchar* in, QRgb* out, int width, bool bgr)
{
    const int r = bgr ? 2 : 0, b = bgr ? 0 : 2;
    for (int x = 0; x < width; ++x, in += 3)
        out[x] = 0xff000000u | QRgb(in[r]) << 16 | QRgb(in[1]) << 8 | QRgb(in[b]);
}

bool toBgr24Scalar(const QRgb* in, uchar* out, int width)
{
    QRgb opaque = 0xff000000u;
    for (int x = 0; x < width; ++x, out += 3) {
        const QRgb v = in[x];
        opaque &= v;
        out[0] = uchar(v);
        out[1] = uchar(v >> 8);
        out[2] = uchar(v >> 16);
    }
    return opaque == 0xff000000u;
}

#if defined(__x86_64__)
// Four pixels (twelve bytes) per byte shuffle. Sixteen bytes are read or written for twelve, so the
// last groups of a row are left to the scalar loops.
__attribute__((target("ssse3"), always_inline)) inline void toRgb32Shuffled(const uchar* in, QRgb* out, int width, bool bgr)
{
    // Each output pixel takes bytes B, G, R (memory order of a QRgb) and an opaque alpha (index -1 gives 0).
    const __m128i shuffle = bgr ? _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1)
                                : _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    const __m128i alpha = _mm_set1_epi32(int(0xff000000u));
    int x = 0;
    for (; x + 6 <= width; x += 4) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_or_si128(_mm_shuffle_epi8(bytes, shuffle), alpha));
    }
    toRgb32Scalar(in + 3 * x, out + x, width - x, bgr);
}

__attribute__((target("ssse3"), always_inline)) inline bool toBgr24Shuffled(const QRgb* in, uchar* out, int width)
{
    const __m128i shuffle = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    __m128i all = _mm_set1_epi32(-1);
    int x = 0;
    for (; x + 6 <= width; x += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
        all = _mm_and_si128(all, pixels);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm_shuffle_epi8(pixels, shuffle));
    }
    const __m128i alpha = _mm_set1_epi32(int(0xff000000u));
    const bool opaque = _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(all, alpha), alpha)) == 0xffff;
    return toBgr24Scalar(in + x, out + 3 * x, width - x) && opaque;
}

__attribute__((target("ssse3"))) void toRgb32Ssse3(const uchar* in, QRgb* out, int width, bool bgr)
{
    toRgb32Shuffled(in, out, width, bgr);
}

__attribute__((target("ssse3"))) bool toBgr24Ssse3(const QRgb* in, uchar* out, int width)
{
    return toBgr24Shuffled(in, out, width);
}

// The same instructions in their VEX form, which never wait on upper vector halves that other code
// in the process left dirty.
__attribute__((target("avx"))) void toRgb32Avx(const uchar* in, QRgb* out, int width, bool bgr)
{
    toRgb32Shuffled(in, out, width, bgr);
}

__attribute__((target("avx"))) bool toBgr24Avx(const QRgb* in, uchar* out, int width)
{
    return toBgr24Shuffled(in, out, width);
}

enum class Level { Scalar, Ssse3, Avx };

Level level()
{
    static const Level chosen = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx"))
            return Level::Avx;
        if (__builtin_cpu_supports("ssse3"))
            return Level::Ssse3;
        return Level::Scalar;
    }();
    return chosen;
}
#endif

} // namespace

void rgb24ToRgb32(const uchar* in, QRgb* out, int width, bool bgr)
{
#if defined(__x86_64__)
    switch (level()) {
    case Level::Avx: return toRgb32Avx(in, out, width, bgr);
    case Level::Ssse3: return toRgb32Ssse3(in, out, width, bgr);
    case Level::Scalar: break;
    }
#endif
    toRgb32Scalar(in, out, width, bgr);
}

bool rgb32ToBgr24(const QRgb* in, uchar* out, int width)
{
#if defined(__x86_64__)
    switch (level()) {
    case Level::Avx: return toBgr24Avx(in, out, width);
    case Level::Ssse3: return toBgr24Ssse3(in, out, width);
    case Level::Scalar: break;
    }
#endif
    return toBgr24Scalar(in, out, width);
}

} // namespace readers
