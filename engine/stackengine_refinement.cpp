// Engine operations of the pattern matching and refinement.

#include "stackengine.h"

#include "framework.h"
#include "refinement.h"

float StackEngine::patternScore(int tx, int ty) const
{
    return kernels::patternScore(workImage, basePattern, tx, ty);
}

void StackEngine::matchPattern(int radius)
{
    RefineSettings s;
    s.basePattern = basePattern;
    s.radius = radius;
    // workImage is already normalised: only the search is wanted here.
    const RefineWork w = computeRefineWork(workImage, true, true, featureX, featureY, meanColourFn(), s);
    currentPattern = w.current;
    alignedPattern = w.aligned;
    matchScore = w.match.score;
    refinedX = w.match.x + radius;
    refinedY = w.match.y + radius;
}

RefineSettings StackEngine::refineSettings() const
{
    RefineSettings s;
    s.referenceColor = referenceColor;
    s.basePattern = basePattern;
    s.radius = searchRadius;
    return s;
}

bool StackEngine::refineFrame(int index, const RefineWork* prepared)
{
    const FrameRecord record = frames->record(index);
    RefineWork computed;
    if (!prepared) {
        QImage frame;
        if (!loadPrepared(frames->path(index), frame)) {
            featureFound = false;
            return false;
        }
        computed = computeRefineWork(frame, record.isReference, record.aligned, record.x, record.y, meanColourFn(),
                                     refineSettings());
        prepared = &computed;
    }
    if (!prepared->frame.isNull()) {
        // Matched in a search window kept from the alignment, the frame itself was not read: the
        // current frame stays.
        frameImage = prepared->frame;
        workImage = prepared->work;
    }
    featureX = record.x;
    featureY = record.y;
    if (!record.aligned) {
        frames->update(index, [](FrameRecord& r) { r.refined = false; });
        featureFound = false;
        return true;
    }
    currentPattern = prepared->current;
    alignedPattern = prepared->aligned;
    matchScore = prepared->match.score;
    refinedX = prepared->match.x + searchRadius;
    refinedY = prepared->match.y + searchRadius;
    const long long threshold = 120LL * searchRadius * searchRadius;
    const bool ok = !(double(matchScore) > double(threshold));
    frames->update(index, [&](FrameRecord& r) {
        r.refined = true;
        r.refineOk = ok;
    });
    featureFound = ok;
    return true;
}
