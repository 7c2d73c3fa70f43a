// Engine operations of the luminance feature alignment.

#include "stackengine.h"

#include "alignment.h"
#include "framework.h"
#include "frametable.h"
#include "pixel.h"

#include <algorithm>
#include <vector>

QColor StackEngine::meanColor() const
{
    return meanColourOf(workImage);
}

void StackEngine::normalizeColor()
{
    kernels::normaliseColour(workImage, referenceColor, meanColor());
}

void StackEngine::detectFeature(int index, int threshold)
{
    const kernels::Feature f = kernels::detectFeature(workImage, threshold, filterSize, searchRadius);
    recordDetection(index, threshold, f.found, f.x, f.y);
}

void StackEngine::recordDetection(int index, int threshold, bool found, int x, int y)
{
    lumaThreshold = threshold;
    featureFound = found;
    frames->update(index, [&](FrameRecord& r) {
        r.aligned = found;
        r.valid = found;
        if (found) {
            r.x = x;
            r.y = y;
        }
    });
    if (found) {
        featureX = x;
        featureY = y;
    }
}

QImage StackEngine::analyzeReference(int index, int threshold, bool* found)
{
    QImage image;
    if (found)
        *found = false;
    if (!loadPrepared(frames->path(index), image))
        return QImage();
    // The analysis sees the frame at 8 bits.
    const QImage view = px::view8(image);
    const QColor colour = meanColourOf(image, view);
    QImage preview = view;
    std::vector<QPoint> accepted;
    const kernels::Feature f = kernels::detectFeature(view, threshold, filterSize, searchRadius, &accepted);
    for (const QPoint& p : accepted)
        px::writableRow(preview, p.y())[p.x()] = qRgb(255, 0, 0);
    if (found)
        *found = f.found;
    if (!f.found)
        return preview; // the previous reference stays in force

    workImage = view;
    referenceColor = colour;
    referenceX = f.x;
    referenceY = f.y;
    frames->update(frames->referenceIndex, [](FrameRecord& r) { r.isReference = false; });
    frames->update(index, [&](FrameRecord& r) {
        r.x = f.x;
        r.y = f.y;
        r.aligned = true;
        r.isReference = true;
    });
    frames->referenceIndex = index;
    kernels::drawSquare(preview, f.cx, f.cy, searchRadius, qRgb(255, 255, 255));
    lumaThreshold = threshold;
    return preview;
}

void StackEngine::cutBasePattern()
{
    basePattern = kernels::block(frameImage, referenceX - searchRadius, referenceY - searchRadius,
                                 2 * searchRadius, 2 * searchRadius);
}

AlignSettings StackEngine::alignSettings() const
{
    AlignSettings s;
    s.referenceColor = referenceColor;
    s.threshold = lumaThreshold;
    s.filter = filterSize;
    s.radius = searchRadius;
    return s;
}

bool StackEngine::alignFrame(int index, const AlignWork* prepared)
{
    AlignWork computed;
    if (!prepared) {
        QImage frame;
        if (!loadPrepared(frames->path(index), frame)) {
            featureFound = false;
            frames->update(index, [](FrameRecord& r) {
                r.aligned = false;
                r.valid = false;
                r.stacked = false;
            });
            return false;
        }
        computed = computeAlignWork(frame, frames->record(index).isReference, meanColourFn(), alignSettings());
        prepared = &computed;
    }
    frameOtherSize = prepared->frame.size() != frameSizeOfSequence();
    if (frameOtherSize) {
        // Its offset would mean nothing: the frame is left out, the current frame stays.
        featureFound = false;
        frames->update(index, [](FrameRecord& r) {
            r.aligned = false;
            r.valid = false;
            r.stacked = false;
        });
        return true;
    }
    frameImage = prepared->frame;
    workImage = prepared->work;
    recordDetection(index, lumaThreshold, prepared->feature.found, prepared->feature.x, prepared->feature.y);
    frames->update(index, [](FrameRecord& r) { r.stacked = false; });
    if (featureFound && index != frames->referenceIndex) {
        const FrameRecord ref = frames->record(frames->referenceIndex);
        const int dx = featureX - ref.x;
        const int dy = featureY - ref.y;
        minDx = std::min(minDx, dx);
        maxDx = std::max(maxDx, dx);
        minDy = std::min(minDy, dy);
        maxDy = std::max(maxDy, dy);
    }
    return true;
}

QImage StackEngine::markFeature() const
{
    QImage marked = px::isDeep(frameImage) ? px::view8(frameImage) : frameImage.copy();
    kernels::drawSquare(marked, featureX, featureY, searchRadius, qRgb(255, 255, 255));
    return marked;
}
