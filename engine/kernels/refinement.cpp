// Pattern matching and refinement.

#include "refinement.h"

#include "parallel.h"
#include "pixel.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NEBULO_X86 1
#endif

namespace kernels {
namespace {

// Sums below this bound are exact in single precision at every step, so an integer sum gives the
// same score as the per-pixel single-precision sum.
constexpr std::uint32_t kExactFloatBound = 1u << 24;

// A copy of a region with the alpha bytes cleared, so that a byte-wise absolute difference over the
// four bytes of a pixel is |dR| + |dG| + |dB|. Outside the image the region is black.
struct Plane {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;
    const std::uint8_t* row(int y) const { return reinterpret_cast<const std::uint8_t*>(pixels.data() + std::size_t(y) * width); }
};

Plane planeOf(const QImage& frame, int left, int top, int width, int height)
{
    const QImage image = px::view8(frame);
    Plane p;
    p.width = width;
    p.height = height;
    p.pixels.assign(std::size_t(width) * std::size_t(height), 0u);
    const int x0 = std::max(0, left), x1 = std::min(image.width(), left + width);
    for (int y = std::max(0, top); y < std::min(image.height(), top + height); ++y) {
        const QRgb* in = px::row(image, y);
        std::uint32_t* out = p.pixels.data() + std::size_t(y - top) * width;
        for (int x = x0; x < x1; ++x)
            out[x - left] = in[x] & 0x00ffffffu;
    }
    return p;
}

inline std::uint32_t rowSadScalar(const std::uint8_t* a, const std::uint8_t* b, int bytes)
{
    std::uint32_t s = 0;
    for (int i = 0; i < bytes; ++i)
        s += std::uint32_t(std::abs(int(a[i]) - int(b[i])));
    return s;
}

// Sum of absolute differences of the block at (cx, cy) of the region against the pattern. Once a
// partial sum exceeds stopAbove the rest is skipped and that partial sum returned (sums only grow).
using BlockSad = std::uint32_t (*)(const Plane&, int, int, const Plane&, std::uint32_t stopAbove);

[[maybe_unused]] std::uint32_t blockSadScalar(const Plane& region, int cx, int cy, const Plane& pattern, std::uint32_t stopAbove)
{
    const int bytes = pattern.width * 4;
    std::uint32_t total = 0;
    for (int r = 0; r < pattern.height && total <= stopAbove; ++r)
        total += rowSadScalar(region.row(cy + r) + cx * 4, pattern.row(r), bytes);
    return total;
}

#ifdef NEBULO_X86
std::uint32_t blockSadSse2(const Plane& region, int cx, int cy, const Plane& pattern, std::uint32_t stopAbove)
{
    const int bytes = pattern.width * 4;
    const int vecBytes = bytes & ~15;
    std::uint32_t total = 0;
    for (int r = 0; r < pattern.height && total <= stopAbove; ++r) {
        const std::uint8_t* a = region.row(cy + r) + cx * 4;
        const std::uint8_t* b = pattern.row(r);
        __m128i acc = _mm_setzero_si128();
        for (int i = 0; i < vecBytes; i += 16) {
            const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
            const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
            acc = _mm_add_epi64(acc, _mm_sad_epu8(va, vb));
        }
        total += std::uint32_t(_mm_cvtsi128_si64(acc)) + std::uint32_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
        if (vecBytes < bytes)
            total += rowSadScalar(a + vecBytes, b + vecBytes, bytes - vecBytes);
    }
    return total;
}

__attribute__((target("avx2"))) std::uint32_t blockSadAvx2(const Plane& region, int cx, int cy, const Plane& pattern,
                                                          std::uint32_t stopAbove)
{
    const int bytes = pattern.width * 4;
    const int vec32 = bytes & ~31;
    const int vec16 = bytes & ~15;
    std::uint32_t total = 0;
    for (int r = 0; r < pattern.height && total <= stopAbove; ++r) {
        const std::uint8_t* a = region.row(cy + r) + cx * 4;
        const std::uint8_t* b = pattern.row(r);
        __m256i acc = _mm256_setzero_si256();
        for (int i = 0; i < vec32; i += 32) {
            const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
            const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
            acc = _mm256_add_epi64(acc, _mm256_sad_epu8(va, vb));
        }
        __m128i folded = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        if (vec32 < vec16) {
            const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + vec32));
            const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + vec32));
            folded = _mm_add_epi64(folded, _mm_sad_epu8(va, vb));
        }
        total += std::uint32_t(_mm_cvtsi128_si64(folded)) + std::uint32_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(folded, folded)));
        if (vec16 < bytes)
            total += rowSadScalar(a + vec16, b + vec16, bytes - vec16);
    }
    return total;
}
#endif

BlockSad chooseBlockSad()
{
#ifdef NEBULO_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return blockSadAvx2;
    return blockSadSse2;
#else
    return blockSadScalar;
#endif
}

// The score exactly as the single-precision per-pixel sum forms it; used when a sum reaches 2^24.
float blockScoreFloat(const Plane& region, int cx, int cy, const Plane& pattern)
{
    float s = 0.0f;
    for (int r = 0; r < pattern.height; ++r) {
        const std::uint8_t* a = region.row(cy + r) + cx * 4;
        const std::uint8_t* b = pattern.row(r);
        for (int c = 0; c < pattern.width; ++c, a += 4, b += 4) {
            const int d = std::abs(int(a[0]) - int(b[0])) + std::abs(int(a[1]) - int(b[1])) + std::abs(int(a[2]) - int(b[2]));
            s = s + float(d);
        }
    }
    return s;
}

// The exact score, or (when pruned) some value above stopAbove that no exact score below it can beat.
inline float blockScore(BlockSad sad, const Plane& region, int cx, int cy, const Plane& pattern, std::uint32_t stopAbove)
{
    const std::uint32_t sum = sad(region, cx, cy, pattern, stopAbove);
    if (sum > stopAbove)
        return float(sum);
    return sum < kExactFloatBound ? float(sum) : blockScoreFloat(region, cx, cy, pattern);
}

} // namespace

float patternScore(const QImage& image, const QImage& pattern, int tx, int ty)
{
    const Plane p = planeOf(pattern, 0, 0, pattern.width(), pattern.height());
    const Plane region = planeOf(image, tx, ty, pattern.width(), pattern.height());
    return blockScoreFloat(region, 0, 0, p);
}

Match matchPattern(const QImage& image, const QImage& pattern, int x0, int y0, int columns, int rows)
{
    Match best;
    const int w = pattern.width(), h = pattern.height();
    best.score = float(w * h * 768);
    best.x = x0;
    best.y = y0;
    if (columns <= 0 || rows <= 0)
        return best;
    static const BlockSad sad = chooseBlockSad();
    const Plane p = planeOf(pattern, 0, 0, w, h);
    const Plane region = planeOf(image, x0, y0, columns + w - 1, rows + h - 1);

    // The middle candidate (the unrefined position of a centred window) is usually close to the best:
    // its score bounds the search. A candidate is passed over once its partial sum exceeds that bound
    // or reaches the best score found before it: either way it cannot be the first smallest score in
    // raster order. Only exact integer sums (below 2^24) are compared this way.
    const std::uint32_t middle = sad(region, columns / 2, rows / 2, p, UINT32_MAX);
    const std::uint32_t seed = middle < kExactFloatBound ? middle : UINT32_MAX;

    struct Partial {
        float score;
        int x, y;
        bool found;
    };
    const int threads = std::max(1, std::min(parallel::threadCount(), rows));
    std::vector<Partial> partial(std::size_t(threads), Partial{best.score, x0, y0, false});
    // Each block of candidate rows keeps its own first best; blocks are merged in raster order with a
    // strict comparison, so the winner is the one a single raster pass would choose.
    parallel::forRange(0, threads, [&](int b0, int b1) {
        for (int b = b0; b < b1; ++b) {
            const int rBegin = int((long long)rows * b / threads);
            const int rEnd = int((long long)rows * (b + 1) / threads);
            Partial local{best.score, x0, y0, false};
            for (int cy = rBegin; cy < rEnd; ++cy) {
                for (int cx = 0; cx < columns; ++cx) {
                    std::uint32_t stopAbove = seed;
                    if (local.found && local.score < float(kExactFloatBound))
                        stopAbove = std::min(stopAbove, std::uint32_t(local.score) - 1);
                    const float s = blockScore(sad, region, cx, cy, p, stopAbove);
                    if (s < local.score) {
                        local = Partial{s, x0 + cx, y0 + cy, true};
                    }
                }
            }
            partial[std::size_t(b)] = local;
        }
    }, 1);
    for (const Partial& part : partial) {
        if (part.found && part.score < best.score) {
            best.score = part.score;
            best.x = part.x;
            best.y = part.y;
            best.found = true;
        }
    }
    return best;
}

} // namespace kernels
