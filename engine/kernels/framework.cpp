#include "framework.h"

#include "pixel.h"

#include <memory>

AlignWork computeAlignWork(const QImage& frame, bool isReference, const MeanColourFn& meanOf, const AlignSettings& s)
{
    AlignWork w;
    w.frame = frame;
    w.work = px::view8(frame); // alignment and refinement compare 8-bit samples; made once per frame
    // Other frames are seen colour-normalised: the detection maps the pixels it reads.
    if (isReference) {
        w.feature = kernels::detectFeature(w.work, s.threshold, s.filter, s.radius);
    } else {
        const kernels::ColourMap map(s.referenceColor, meanOf(frame, w.work));
        w.feature = kernels::detectFeature(w.work, s.threshold, s.filter, s.radius, nullptr, &map);
    }
    return w;
}

QImage cutSearchWindow(const QImage& frame, const QImage& work, bool isReference, int featureX, int featureY,
                       const MeanColourFn& meanOf, const RefineSettings& s)
{
    const int pw = s.basePattern.width(), ph = s.basePattern.height(), r = s.radius;
    // The window is centred on the unrefined position: refined positions run from
    // feature - R to feature + R - 1 in each axis. Only the window is colour-normalised (other
    // frames than the reference): the blocks compared and the block at the unrefined position all
    // lie inside it.
    std::unique_ptr<kernels::ColourMap> map;
    if (!isReference)
        map = std::make_unique<kernels::ColourMap>(s.referenceColor, meanOf(frame, work));
    return kernels::block(work, featureX - 2 * r, featureY - 2 * r, 2 * r + pw, 2 * r + ph, map.get());
}

void matchInWindow(RefineWork& w, const QImage& window, int featureX, int featureY, const RefineSettings& s)
{
    const int pw = s.basePattern.width(), ph = s.basePattern.height(), r = s.radius;
    w.matched = true;
    w.current = kernels::block(window, r, r, pw, ph);
    w.match = kernels::matchPattern(window, s.basePattern, 0, 0, 2 * r, 2 * r);
    w.aligned = kernels::block(window, w.match.x, w.match.y, pw, ph);
    w.match.x += featureX - 2 * r;
    w.match.y += featureY - 2 * r;
}

RefineWork computeRefineWork(const QImage& frame, bool isReference, bool aligned, int featureX, int featureY,
                             const MeanColourFn& meanOf, const RefineSettings& s)
{
    RefineWork w;
    w.frame = frame;
    w.work = px::view8(frame); // alignment and refinement compare 8-bit samples; made once per frame
    if (!aligned)
        return w;
    matchInWindow(w, cutSearchWindow(frame, w.work, isReference, featureX, featureY, meanOf, s), featureX, featureY, s);
    return w;
}
