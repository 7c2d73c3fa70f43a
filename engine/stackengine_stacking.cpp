// Engine operations of the stacking and the colour pipeline.

#include "stackengine.h"

#include "colour.h"
#include "stacking.h"

bool StackEngine::stackFrame(int index)
{
    const FrameRecord reference = frames->record(frames->referenceIndex);
    if (!loadFrame(frames->path(index))) {
        frames->update(index, [](FrameRecord& r) { r.stacked = false; });
        return false;
    }
    workImage = frameImage;
    const FrameRecord record = frames->record(index);
    if (!record.aligned || (record.refined && !record.refineOk)) {
        frames->update(index, [](FrameRecord& r) { r.stacked = false; });
        return true;
    }
    kernels::StackParams p;
    p.dx = record.x - reference.x;
    p.dy = record.y - reference.y;
    featureX = record.x;
    featureY = record.y;
    p.maxDx = maxDx;
    p.maxDy = maxDy;
    p.filter = stackFilter;
    p.dark = previewDarkframe ? nullptr : masterDark.get();
    p.luma = luma;
    p.lumaWeightR = lumaWeightR;
    p.lumaWeightG = lumaWeightG;
    p.lumaWeightB = lumaWeightB;
    p.minusR = minusR;
    p.minusG = minusG;
    p.minusB = minusB;
    if (accumulator)
        kernels::stackFrame(frameImage, *accumulator, p);
    frames->update(index, [](FrameRecord& r) { r.stacked = true; });
    referenceX = reference.x;
    referenceY = reference.y;
    return true;
}

QImage StackEngine::normalizeStack() const
{
    return accumulator ? kernels::normalizeStack(*accumulator) : QImage();
}

QImage StackEngine::colorAdjusted() const
{
    if (!accumulator)
        return QImage();
    kernels::ColourParams p;
    const float gains[3] = {gainR, gainG, gainB};
    const float gammas[3] = {gammaR, gammaG, gammaB};
    const float contrasts[3] = {contrastR, contrastG, contrastB};
    const float offsets[3] = {offsetR, offsetG, offsetB};
    for (int c = 0; c < 3; ++c) {
        p.gain[c] = gains[c];
        p.gamma[c] = gammas[c];
        p.contrast[c] = contrasts[c];
        p.offset[c] = offsets[c];
    }
    p.lowValueBoost = lowValueBoost;
    p.lvbExponent = lvbExponent;
    p.lvbBlend = lvbBlend;
    p.hillFunc = hillFunc;
    p.downhillFunc = downhillFunc;
    p.downhillStrength = downhillStrength;
    p.downhillGain = downhillGain;
    p.lumaOut = lumaOut;
    p.lumaWeightR = lumaWeightR;
    p.lumaWeightG = lumaWeightG;
    p.lumaWeightB = lumaWeightB;
    return kernels::colorAdjusted(*accumulator, p);
}
