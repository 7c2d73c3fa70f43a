// Engine operations of frame loading: reading, supersampling, calibration, the frame cache requests.

#include "stackengine.h"

#include "alignment.h"
#include "fits.h"
#include "framecache.h"
#include "imagefile.h"
#include "pixel.h"
#include "readers.h"

#include <QFile>
#include <QImageReader>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <sys/stat.h>

namespace {

// Only regular files are frames: a FIFO would block the run, a device or a pipe would give other
// data on each pass.
QString notRegularFile(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("not a regular file");
    return QString();
}

} // namespace

bool StackEngine::readImage(const QString& path, QImage& image, const readers::ReadOptions& options, QString* error)
{
    image = QImage();
    if (path.isEmpty())
        return false;
    const QString irregular = notRegularFile(readers::sourceFile(path));
    if (!irregular.isEmpty()) {
        if (error)
            *error = path + QStringLiteral(": ") + irregular;
        return false;
    }
    QImage decoded;
    if (!readers::readFrame(path, options, decoded, error))
        return false;
    image = readers::asFrame(decoded);
    if (image.isNull())
        throw std::bad_alloc(); // decoded, but no memory for the conversion
    return true;
}

QString StackEngine::readProblem(const QString& path)
{
    if (path.isEmpty())
        return QStringLiteral("no file name");
    const QString file = readers::sourceFile(path);
    const QString irregular = notRegularFile(file);
    if (!irregular.isEmpty())
        return irregular;
    // Captures and FITS files have readers of their own, whose messages say what is wrong.
    if (file != path || readers::isCapture(file) || readers::isFitsName(file)) {
        QImage frame;
        QString error;
        return readers::readFrame(path, {}, frame, &error) ? QString() : error;
    }
    QImage decoded;
    QImageReader reader(path);
    const QSize size = reader.size();
    if (reader.read(&decoded) && !decoded.isNull())
        return QString();
    const qint64 limit = QImageReader::allocationLimit();
    if (size.isValid() && limit > 0 && qint64(size.width()) * size.height() * 4 > limit * 1024 * 1024)
        return QStringLiteral("an image of %1x%2 pixels is larger than the image reader's allocation limit of %3 MB")
            .arg(size.width())
            .arg(size.height())
            .arg(limit);
    const QString why = reader.errorString();
    return why.isEmpty() ? QStringLiteral("not an image this program can read") : why;
}

void StackEngine::allowFramesOf(qint64 bytes)
{
    constexpr qint64 kToolkitDefaultMb = 256;
    const qint64 mb = std::min<qint64>(std::max(kToolkitDefaultMb, bytes >> 20), INT_MAX);
    QImageReader::setAllocationLimit(int(mb));
}

QImage StackEngine::supersampled(const QImage& image) const
{
    return supersample ? kernels::supersampled(image, scaleFactor) : image;
}

kernels::Calibration StackEngine::calibration() const
{
    kernels::Calibration c;
    c.masterDark = masterDark.get();
    c.darkframeGain = darkframeGain;
    c.lightframeGain = lightframeGain;
    c.floorR = noiseFloorR;
    c.floorG = noiseFloorG;
    c.floorB = noiseFloorB;
    return c;
}

QImage StackEngine::preprocessed(const QImage& image) const
{
    return previewDarkframe ? kernels::calibrated(image, calibration()) : image;
}

void StackEngine::preprocessFrame()
{
    if (previewDarkframe)
        frameImage = preprocessed(frameImage);
}

float StackEngine::meanDark(int x, int y, int c) const
{
    return kernels::meanDark(masterDark.get(), x, y, c);
}

FrameRequest StackEngine::frameRequest(const QString& path) const
{
    FrameRequest r;
    r.path = path;
    r.scale = supersample ? std::max(1, scaleFactor) : 1;
    r.preprocess = previewDarkframe;
    r.calibration = calibration();
    r.read = readOptions;
    r.keep = !readers::isCapture(readers::sourceFile(path));
    const kernels::Calibration& c = r.calibration;
    r.key = path + QLatin1Char('|') + readers::fileIdentity(path) + QLatin1Char('|') + QString::number(r.scale);
    if (r.read.debayer != readers::Debayer::Auto)
        r.key += QStringLiteral("|debayer:") + readers::debayerName(r.read.debayer);
    if (r.preprocess) {
        // Floats by their bits: any change of a gain or floor is a different frame.
        auto bits = [](float f) {
            quint32 u;
            std::memcpy(&u, &f, sizeof u);
            return QString::number(u, 16);
        };
        r.key += QStringLiteral("|dark:") + QString::number(c.masterDark ? c.masterDark->serial : 0) + QLatin1Char(',')
            + bits(c.darkframeGain) + QLatin1Char(',') + bits(c.lightframeGain) + QLatin1Char(',') + bits(c.floorR)
            + QLatin1Char(',') + bits(c.floorG) + QLatin1Char(',') + bits(c.floorB);
    }
    return r;
}

bool FrameRequest::prepare(QImage& image) const
{
    QImage decoded;
    if (!StackEngine::readImage(path, decoded, read))
        return false;
    // The file was decoded: an empty result from here on means the memory ran out.
    image = kernels::supersampled(decoded, scale);
    if (image.isNull())
        throw std::bad_alloc();
    if (preprocess) {
        image = kernels::calibrated(image, calibration);
        if (image.isNull())
            throw std::bad_alloc();
    }
    return true;
}

bool StackEngine::loadPrepared(const QString& path, QImage& image)
{
    const FrameRequest request = frameRequest(path);
    return cache->obtain(request.key, [&request](QImage& out) { return request.prepare(out); }, image,
                         FrameCache::Use::Now, 0, request.keep);
}

QColor StackEngine::meanColourOf(const QImage& image) const
{
    return meanColourOf(image, image);
}

QColor StackEngine::meanColourOf(const QImage& image, const QImage& view8) const
{
    QColor mean;
    if (cache->meanColour(image.cacheKey(), &mean))
        return mean;
    mean = kernels::meanColour(view8); // the view of an 8-bit view is itself: nothing is converted twice
    cache->rememberMeanColour(image.cacheKey(), mean);
    return mean;
}

bool StackEngine::loadFrame(const QString& path)
{
    QImage image;
    if (!loadPrepared(path, image))
        return false;
    frameImage = image;
    return true;
}

StackEngine::Status StackEngine::prepareSequence(const QString& path)
{
    QImage image;
    if (!loadPrepared(path, image))
        return Status::Unreadable;
    auto fresh = createFloatImage(image.width(), image.height());
    if (!fresh)
        return Status::OutOfMemory;
    frameImage = image;
    sequenceSize = image.size();
    accumulator = std::move(fresh);
    stackReady = false;
    maxDx = minDx = maxDy = minDy = 0;
    return Status::Ok;
}

StackEngine::Status StackEngine::resizeAccumulator()
{
    const QSize frame = frameSizeOfSequence();
    const long long width = (long long)frame.width() + maxDx - minDx;
    const long long height = (long long)frame.height() + maxDy - minDy;
    if (width > INT_MAX || height > INT_MAX)
        return Status::OutOfMemory;
    auto fresh = createFloatImage(int(width), int(height));
    if (!fresh)
        return Status::OutOfMemory;
    accumulator = std::move(fresh);
    stackReady = false;
    return Status::Ok;
}
