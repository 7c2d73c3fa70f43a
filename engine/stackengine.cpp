#include "stackengine.h"

#include "framecache.h"
#include "pixel.h"

StackEngine::StackEngine()
    : frames(new FrameTable)
    , cache(std::make_shared<FrameCache>())
{
    allowFramesOf(cache->budget());
}

StackEngine::~StackEngine() = default;

void StackEngine::addFrames(const QStringList& paths)
{
    for (const QString& path : paths)
        frames->addFrame(path);
}

void StackEngine::resetSequence()
{
    frames.reset(new FrameTable);
    referenceReady = false;
    qualityAnalysed = false;
    basePattern = QImage();
    currentPattern = QImage();
    alignedPattern = QImage();
    maxDx = minDx = maxDy = minDy = 0;
    alignmentPoints.clear();
    surfacePatchUsed = QRect();
}

namespace {

// Integer means of the samples in the (2r+1)^2 box around (x, y), each sample shifted right by shift
// first; false when the box does not lie inside the frame (with a margin of one pixel).
template <class Pixel>
bool boxSampleMean(const QImage& frame, int radius, int x, int y, int shift, int mean[3])
{
    using S = px::Samples<Pixel>;
    if (!(radius < x && radius < y && x < frame.width() - radius && y < frame.height() - radius))
        return false;
    long long sum[3] = {0, 0, 0};
    long long count = 0;
    for (int j = y - radius; j <= y + radius; ++j) {
        const Pixel* line = px::rowOf<Pixel>(frame, j);
        for (int k = x - radius; k <= x + radius; ++k) {
            sum[0] += S::red(line[k]) >> shift;
            sum[1] += S::green(line[k]) >> shift;
            sum[2] += S::blue(line[k]) >> shift;
            ++count;
        }
    }
    for (int c = 0; c < 3; ++c)
        mean[c] = int(sum[c] / count);
    return true;
}

} // namespace

QColor StackEngine::pixelColourAt(int radius, int x, int y) const
{
    int mean[3];
    const bool inside = px::isDeep(frameImage) ? boxSampleMean<QRgba64>(frameImage, radius, x, y, 8, mean)
                                               : boxSampleMean<QRgb>(frameImage, radius, x, y, 0, mean);
    if (!inside)
        return QColor(255, 255, 255);
    return QColor(mean[0], mean[1], mean[2]);
}

StackEngine::PixelSamples StackEngine::pixelSamplesAt(int radius, int x, int y) const
{
    PixelSamples s;
    s.bits = px::isDeep(frameImage) ? 16 : 8;
    int mean[3];
    const bool inside = s.bits == 16 ? boxSampleMean<QRgba64>(frameImage, radius, x, y, 0, mean)
                                     : boxSampleMean<QRgb>(frameImage, radius, x, y, 0, mean);
    const int white = s.bits == 16 ? 65535 : 255;
    s.red = inside ? mean[0] : white;
    s.green = inside ? mean[1] : white;
    s.blue = inside ? mean[2] : white;
    return s;
}

float StackEngine::luminanceOf(QColor colour)
{
    const QRgba64 c = colour.rgba64();
    double t = px::fraction16(c.red()) * px::kLumaR;
    t = t + px::fraction16(c.green()) * px::kLumaG;
    t = t + px::fraction16(c.blue()) * px::kLumaB;
    return float(t);
}
