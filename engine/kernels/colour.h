#pragma once
// The colour pipeline that turns the accumulator into the final 8-bit image.

#include "floatimage.h"

#include <QImage>

#include <vector>

namespace kernels {

struct ColourParams {
    float gain[3] = {1.0f, 1.0f, 1.0f};
    float gamma[3] = {1.0f, 1.0f, 1.0f};
    float contrast[3] = {1.0f, 1.0f, 1.0f};
    float offset[3] = {0.0f, 0.0f, 0.0f};
    bool lowValueBoost = false;
    int lvbExponent = 1;
    float lvbBlend = 1.0f;
    bool hillFunc = false;
    bool downhillFunc = false;
    int downhillStrength = 2;
    float downhillGain = 1.0f;
    bool lumaOut = false;
    double lumaWeightR = 0.2126, lumaWeightG = 0.7152, lumaWeightB = 0.0722;
};

// x^n by repeated squaring in single precision; a negative n gives the reciprocal of x^|n|.
float integerPower(float x, int n);

// The curve steps on one channel value.
float lowValueBoost(float v, int exponent, float blend);
float hillCurve(float v);
float downhillCurve(float v, int exponent, float gain);
// (contrast x v + offset) ^ gamma; a negative base with a non-integer gamma gives 0.
float contrastOffsetGamma(float v, float contrast, float offset, float gamma);

// The last input and result of the real power per channel.
struct PowerMemo {
    bool valid[3] = {false, false, false};
    float in[3] = {0, 0, 0};
    float out[3] = {0, 0, 0};
};

// One channel through gain, curves, contrast, offset and gamma, clamped to [0, 1].
float adjustChannel(float sum, float weight, int channel, const ColourParams& p, PowerMemo* memo = nullptr);

// The pipeline's image at 8 bits per channel (Format_RGB32) and at 16 (Format_RGBX64, the fractions
// rounded to 16 bits and kept whole).
QImage colorAdjusted(const FloatImage& accumulator, const ColourParams& params);
QImage colorAdjusted16(const FloatImage& accumulator, const ColourParams& params);

// The pipeline's channel values before any rounding: three planes (R, G, B) of width x height floats,
// rows top first; a pixel with no sample (W = 0) is 0. Empty without an accumulator.
std::vector<float> colourValues(const FloatImage& accumulator, const ColourParams& params);

// The adjustment of pixel (left + x * step, top + y * step) of the accumulator at (x, y), for the part
// `region` of it (null: all of it): a ceil(width / step) x ceil(height / step) image whose pixels are
// those of colorAdjusted() there.
QImage colorAdjustedSampled(const FloatImage& accumulator, const ColourParams& params, int step,
                            const QRect& region = QRect());

} // namespace kernels
