#pragma once
// How close a stacked image comes to the truth it was made from.
//
// The stack may be larger than the truth (an enlarged canvas) and is placed anywhere in it, at a
// sub-pixel offset and with another brightness scale. The scorer finds the offset (a coarse search
// by normalised cross-correlation on 4x reduced images, an integer search at full size, then
// Gauss-Newton steps on the Lanczos-3 resampled luminance), fits every channel of the registered
// stack to the truth by least squares (a * stack + b), and reports over the target area:
//   PSNR = 10 log10(255^2 / MSE) over the three channels, and
//   SSIM of the luminance (gaussian window of sigma 1.5, K1 = 0.01, K2 = 0.03, 8-bit range).
// The target area is the planet's disk (the truth brighter than a tenth of its maximum, widened
// by three pixels so that the limb counts) or, for a surface filling the frame, the frame without
// a tenth of its width and height on every side.

#include <QImage>
#include <QString>

#include <vector>

namespace score {

enum class Target { Disk, Inner };

struct Result {
    bool ok = false;
    QString problem;
    // The stack's pixel that matches truth pixel (0, 0); stack(p + offset) ~ truth(p).
    double dx = 0, dy = 0;
    double psnr = 0; // dB
    double ssim = 0;
    int pixels = 0;  // target pixels compared
};

// The target area of a truth image, one byte per pixel (1 inside).
std::vector<unsigned char> targetMask(const QImage& truth, Target target);

Result compare(const QImage& stack, const QImage& truth, Target target);

} // namespace score
