#include "stackengine.h"

#include "framecache.h"
#include "pixel.h"

StackEngine::StackEngine()
    : frames(new FrameTable)
    , cache(std::make_shared<FrameCache>())
{
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
}

QColor StackEngine::pixelColourAt(int radius, int x, int y) const
{
    const int width = frameImage.width();
    const int height = frameImage.height();
    if (!(radius < x && radius < y && x < width - radius && y < height - radius))
        return QColor(255, 255, 255);
    int sumR = 0, sumG = 0, sumB = 0, count = 0;
    for (int j = y - radius; j <= y + radius; ++j) {
        const QRgb* line = px::row(frameImage, j);
        for (int k = x - radius; k <= x + radius; ++k) {
            sumR += qRed(line[k]);
            sumG += qGreen(line[k]);
            sumB += qBlue(line[k]);
            ++count;
        }
    }
    return QColor(sumR / count, sumG / count, sumB / count);
}

float StackEngine::luminanceOf(QColor colour)
{
    const QRgba64 c = colour.rgba64();
    double t = px::fraction16(c.red()) * px::kLumaR;
    t = t + px::fraction16(c.green()) * px::kLumaG;
    t = t + px::fraction16(c.blue()) * px::kLumaB;
    return float(t);
}
