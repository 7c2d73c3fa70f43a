#pragma once
// Accumulators to time the colour pipeline and the result writing on: stacks of noisy planet frames.

#include "floatimage.h"
#include "stacking.h"
#include "synthetic.h"

#include <memory>

namespace bench {

inline std::unique_ptr<FloatImage> planetStack(int width, int height, int frames, double blur)
{
    auto acc = createFloatImage(width, height);
    for (int i = 0; i < frames; ++i) {
        synth::Planet p;
        p.width = width;
        p.height = height;
        p.cx = width / 2.0 + (i % 5) * 0.3;
        p.cy = height / 2.0 + (i % 3) * 0.3;
        p.radius = height * 0.3;
        p.blur = blur;
        p.noise = 2.0;
        p.seed = quint32(i + 1);
        kernels::stackFrame(synth::renderPlanet(p), *acc, kernels::StackParams());
    }
    return acc;
}

} // namespace bench
