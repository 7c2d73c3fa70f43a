// Colour adjustment of the stack.

#include "colour.h"

#include "stacking.h"

#include <cmath>

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

QImage colorAdjusted(const FloatImage& acc, const ColourParams& p)
{
    return imageFromAccumulator(acc, [&p] {
        // Neighbouring pixels often repeat a value: the real power is taken once for them.
        return [&p, memo = PowerMemo()](const float* in) mutable {
            const float w = in[3];
            float r = adjustChannel(in[0], w, 0, p, &memo);
            float g = adjustChannel(in[1], w, 1, p, &memo);
            float b = adjustChannel(in[2], w, 2, p, &memo);
            if (p.lumaOut) {
                float l = float(p.lumaWeightR * r + p.lumaWeightG * g + p.lumaWeightB * b);
                if (l > 1.0f)
                    l = 1.0f;
                r = g = b = l;
            }
            return px::rgbFromFractions(r, g, b);
        };
    });
}

} // namespace kernels
