// Engine operations of the stacking and the colour pipeline.

#include "stackengine.h"

#include "colour.h"
#include "imagesave.h"
#include "stacking.h"

bool StackEngine::stackFrame(int index)
{
    const FrameRecord reference = frames->record(frames->referenceIndex);
    frameOtherSize = false;
    QImage frame;
    if (!loadPrepared(frames->path(index), frame)) {
        frames->update(index, [](FrameRecord& r) { r.stacked = false; });
        return false;
    }
    if (frame.size() != frameSizeOfSequence()) {
        // It would not fit the accumulator: left out, the current frame stays.
        frameOtherSize = true;
        frames->update(index, [](FrameRecord& r) { r.stacked = false; });
        return true;
    }
    frameImage = frame;
    workImage = frameImage;
    const FrameRecord record = frames->record(index);
    if (!record.aligned || (record.refined && !record.refineOk)) {
        frames->update(index, [](FrameRecord& r) { r.stacked = false; });
        return true;
    }
    kernels::StackParams p = stackParams();
    p.dx = record.x - reference.x;
    p.dy = record.y - reference.y;
    featureX = record.x;
    featureY = record.y;
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

kernels::ColourParams StackEngine::colourParams() const
{
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
    return p;
}

QImage StackEngine::colorAdjusted() const
{
    return accumulator ? kernels::colorAdjusted(*accumulator, colourParams()) : QImage();
}

QImage StackEngine::colorAdjusted16() const
{
    return accumulator ? kernels::colorAdjusted16(*accumulator, colourParams()) : QImage();
}

StackEngine::Result StackEngine::result(const QString& path, int depth) const
{
    Result r;
    if (!accumulator) {
        r.refusal = QStringLiteral("There is no image to save.");
        return r;
    }
    if (imagesave::isFits(path)) {
        r.values = kernels::colourValues(*accumulator, colourParams());
        r.width = accumulator->width;
        r.height = accumulator->height;
    } else if (depth > 8) {
        // Refused before anything is computed when the format cannot hold the samples.
        if (imagesave::holds16Bits(path))
            r.image = colorAdjusted16();
        else
            r.refusal = imagesave::cannotHold16Bits(path);
    } else {
        r.image = colorAdjusted();
    }
    return r;
}

bool StackEngine::writeResult(const Result& result, const QString& path, QString* error)
{
    if (!result.refusal.isEmpty()) {
        if (error)
            *error = result.refusal;
        return false;
    }
    if (imagesave::isFits(path))
        return imagesave::saveFits(result.values, result.width, result.height, path, error);
    return imagesave::save(result.image, path, error);
}

bool StackEngine::saveResult(const QString& path, int depth, QString* error) const
{
    return writeResult(result(path, depth), path, error);
}

QImage StackEngine::colorPreview(int step, const QRect& region) const
{
    return accumulator ? kernels::colorAdjustedSampled(*accumulator, colourParams(), step, region) : QImage();
}
kernels::StackParams StackEngine::stackParams() const
{
    kernels::StackParams p;
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
    return p;
}

bool StackEngine::stackFrameSubPixel(int index)
{
    const FrameRecord reference = frames->record(frames->referenceIndex);
    if (!loadFrame(frames->path(index))) {
        frames->update(index, [](FrameRecord& r) { r.stacked = false; });
        return false;
    }
    workImage = frameImage;
    const FrameRecord record = frames->record(index);
    if (!record.aligned || !record.subPixel || !reference.subPixel) {
        frames->update(index, [](FrameRecord& r) { r.stacked = false; });
        return true;
    }
    featureX = record.x;
    featureY = record.y;
    if (accumulator)
        kernels::stackFrameShifted(frameImage, *accumulator, record.subX - reference.subX, record.subY - reference.subY,
                                   stackParams());
    frames->update(index, [](FrameRecord& r) { r.stacked = true; });
    referenceX = reference.x;
    referenceY = reference.y;
    return true;
}

