// Colour adjustment of the stack.

#include "colour.h"

#include "parallel.h"
#include "pixel.h"
#include "stacking.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace kernels {

float integerPower(float x, int n)
{
    unsigned int e = n < 0 ? 0u - unsigned(n) : unsigned(n);
    float y = (e % 2) ? x : 1.0f;
    while (e >>= 1) {
        x = x * x;
        if (e % 2)
            y = y * x;
    }
    return n < 0 ? 1.0f / y : y;
}

float lowValueBoost(float v, int exponent, float blend)
{
    const float base = 2.0f * v - 1.0f;
    const float b = float(0.5 * (integerPower(base, 2 * exponent + 1) + 1.0f));
    return blend * b + (1.0f - blend) * v;
}

float hillCurve(float v)
{
    const float t = 2.0f * v - 1.0f;
    return v * (1.0f - t * t);
}

float downhillCurve(float v, int exponent, float gain)
{
    return v * ((gain - 1.0f) * (1.0f - integerPower(v, exponent)) + 1.0f);
}

float contrastOffsetGamma(float v, float contrast, float offset, float gamma)
{
    const float base = contrast * v + offset;
    if (base < 0.0f && std::floor(gamma) != gamma)
        return 0.0f;
    if (gamma == 1.0f)
        return base; // x^1 is x exactly
    return std::pow(base, gamma);
}

float adjustChannel(float sum, float weight, int c, const ColourParams& p, PowerMemo* memo)
{
    float v = (sum / weight) * p.gain[c];
    if (p.lowValueBoost)
        v = lowValueBoost(v, p.lvbExponent, p.lvbBlend);
    if (p.hillFunc)
        v = hillCurve(v);
    if (p.downhillFunc)
        v = downhillCurve(v, p.downhillStrength, p.downhillGain);
    if (memo && memo->valid[c] && memo->in[c] == v) {
        v = memo->out[c];
    } else {
        const float in = v;
        v = contrastOffsetGamma(v, p.contrast[c], p.offset[c], p.gamma[c]);
        if (memo) {
            memo->valid[c] = true;
            memo->in[c] = in;
            memo->out[c] = v;
        }
    }
    if (!(v > 0.0f)) // also catches NaN
        v = 0.0f;
    if (v > 1.0f)
        v = 1.0f;
    return v;
}

namespace {

// Results of one channel by the value its curves start from (sum / weight x gain): every step after
// that depends on that value alone, so a remembered result is the computed one to the bit. A stack
// holds few distinct values per channel (sums of 8-bit fractions over a few weights), so most pixels
// find theirs. Direct-mapped: a value replaces whatever shared its slot.
class ChannelMemo {
public:
    ChannelMemo() : slots_(3u << kBits)
    {
        // An empty slot holds a value that never maps to it: 0 everywhere but in slot 0, which 0 maps to.
        for (int c = 0; c < 3; ++c)
            slots_[std::size_t(c) << kBits].bits = 1;
    }

    float adjust(float sum, float weight, int c, const ColourParams& p)
    {
        const float scaled = (sum / weight) * p.gain[c];
        quint32 bits;
        std::memcpy(&bits, &scaled, sizeof bits);
        Slot& slot = slots_[(std::size_t(c) << kBits) | slotOf(bits)];
        if (slot.bits != bits) {
            slot.bits = bits;
            slot.value = adjustChannel(sum, weight, c, p);
        }
        return slot.value;
    }

private:
    static constexpr int kBits = 14;
    static quint32 slotOf(quint32 bits) { return (bits * 2654435761u) >> (32 - kBits); }
    static_assert(((1u * 2654435761u) >> (32 - kBits)) != 0, "the empty marker of slot 0 maps elsewhere");
    struct Slot {
        quint32 bits = 0;
        float value = 0.0f;
    };
    std::vector<Slot> slots_;
};

// The pipeline's channel values of one accumulator pixel with W > 0.
struct PixelPipeline {
    const ColourParams& p;
    ChannelMemo memo;
    void operator()(const float* in, float* rgb)
    {
        const float w = in[3];
        float r = memo.adjust(in[0], w, 0, p);
        float g = memo.adjust(in[1], w, 1, p);
        float b = memo.adjust(in[2], w, 2, p);
        if (p.lumaOut) {
            float l = float(p.lumaWeightR * r + p.lumaWeightG * g + p.lumaWeightB * b);
            if (l > 1.0f)
                l = 1.0f;
            r = g = b = l;
        }
        rgb[0] = r;
        rgb[1] = g;
        rgb[2] = b;
    }
};

template <class Pixel>
QImage adjustedImage(const FloatImage& acc, const ColourParams& p)
{
    using S = px::Samples<Pixel>;
    return imageFromAccumulator<Pixel>(acc, [&p] {
        return [pipeline = PixelPipeline{p, ChannelMemo()}](const float* in) mutable {
            float v[3];
            pipeline(in, v);
            return S::pixel(S::sample(v[0]), S::sample(v[1]), S::sample(v[2]));
        };
    });
}

} // namespace

QImage colorAdjusted(const FloatImage& acc, const ColourParams& p)
{
    return adjustedImage<QRgb>(acc, p);
}

QImage colorAdjusted16(const FloatImage& acc, const ColourParams& p)
{
    return adjustedImage<QRgba64>(acc, p);
}

QImage colorAdjustedSampled(const FloatImage& acc, const ColourParams& p, int step, const QRect& region)
{
    const QRect whole(0, 0, acc.width, acc.height);
    const QRect part = region.isNull() ? whole : region & whole;
    step = std::max(1, step);
    if (step == 1 && part == whole)
        return colorAdjusted(acc, p);
    using S = px::Samples<QRgb>;
    const int width = (part.width() + step - 1) / step, height = (part.height() + step - 1) / step;
    QImage out(width, height, S::kFormat);
    if (out.isNull() || !acc.data)
        return out;
    const px::RowsOf<QRgb> rows(out);
    parallel::forRange(0, height, [&](int y0, int y1) {
        PixelPipeline pipeline{p, ChannelMemo()};
        for (int y = y0; y < y1; ++y) {
            QRgb* line = rows(y);
            for (int x = 0; x < width; ++x) {
                const float* in = acc.pixel(part.left() + x * step, part.top() + y * step);
                float v[3] = {0.0f, 0.0f, 0.0f};
                if (in[3] != 0.0f)
                    pipeline(in, v);
                line[x] = S::pixel(S::sample(v[0]), S::sample(v[1]), S::sample(v[2]));
            }
        }
    });
    return out;
}

std::vector<float> colourValues(const FloatImage& acc, const ColourParams& p)
{
    const std::size_t plane = std::size_t(std::max(0, acc.width)) * std::size_t(std::max(0, acc.height));
    std::vector<float> values;
    if (!acc.data || plane == 0)
        return values;
    values.assign(plane * 3, 0.0f);
    parallel::forRange(0, acc.height, [&](int y0, int y1) {
        PixelPipeline pipeline{p, ChannelMemo()};
        for (int y = y0; y < y1; ++y) {
            const float* in = acc.pixel(0, y);
            const std::size_t row = std::size_t(y) * std::size_t(acc.width);
            for (int x = 0; x < acc.width; ++x, in += 4) {
                if (in[3] == 0.0f)
                    continue;
                float v[3];
                pipeline(in, v);
                for (int c = 0; c < 3; ++c)
                    values[plane * std::size_t(c) + row + std::size_t(x)] = v[c];
            }
        }
    });
    return values;
}

} // namespace kernels
