#include "framework.h"

#include "pixel.h"

AlignWork computeAlignWork(const QImage& frame, bool isReference, const MeanColourFn& meanOf, const AlignSettings& s)
{
    AlignWork w;
    w.frame = frame;
    w.work = px::view8(frame); // alignment and refinement compare 8-bit samples
    if (!isReference)
        kernels::normaliseColour(w.work, s.referenceColor, meanOf(frame));
    w.feature = kernels::detectFeature(w.work, s.threshold, s.filter, s.radius);
    return w;
}

RefineWork computeRefineWork(const QImage& frame, bool isReference, bool aligned, int featureX, int featureY,
                             const MeanColourFn& meanOf, const RefineSettings& s)
{
    RefineWork w;
    w.frame = frame;
    w.work = px::view8(frame); // alignment and refinement compare 8-bit samples
    if (!isReference)
        kernels::normaliseColour(w.work, s.referenceColor, meanOf(frame));
    if (!aligned)
        return w;
    const int pw = s.basePattern.width(), ph = s.basePattern.height(), r = s.radius;
    w.matched = true;
    w.current = kernels::block(w.work, featureX - r, featureY - r, pw, ph);
    // The window is centred on the unrefined position: refined positions run from
    // feature - R to feature + R - 1 in each axis.
    w.match = kernels::matchPattern(w.work, s.basePattern, featureX - 2 * r, featureY - 2 * r, 2 * r, 2 * r);
    w.aligned = kernels::block(w.work, w.match.x, w.match.y, pw, ph);
    return w;
}
