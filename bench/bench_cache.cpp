// What the frame cache's compact storage costs against decoding: thread CPU time (medians) of
// decoding a PNG frame, of a frame joining the cache (packed to 3 or 6 bytes a pixel) and of a frame
// handed out from it (expanded to the image the kernels read), for 8-bit and 16-bit frames.
//   bench_cache [--runs N]

#include "framecache.h"
#include "memory.h"
#include "stackengine.h"
#include "synthetic.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

double threadCpuMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double medianMs(int runs, const std::function<void(int)>& work)
{
    work(0); // warm-up
    std::vector<double> ms;
    for (int r = 0; r < runs; ++r) {
        const double start = threadCpuMs();
        work(r);
        ms.push_back(threadCpuMs() - start);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

QImage deep(const QImage& frame)
{
    // 16 bits a channel with low bits that a conversion from 8 bits would not give.
    QImage out = frame.convertToFormat(QImage::Format_RGBX64);
    for (int y = 0; y < out.height(); ++y) {
        quint16* p = reinterpret_cast<quint16*>(out.scanLine(y));
        for (int x = 0; x < out.width() * 4; x += 4)
            for (int c = 0; c < 3; ++c)
                p[x + c] = quint16(p[x + c] ^ ((x + y + c) & 0x3f));
    }
    return out;
}

void measure(int width, int height, bool sixteen, int runs)
{
    synth::Planet p;
    p.width = width;
    p.height = height;
    p.cx = width / 2.0;
    p.cy = height / 2.0;
    p.radius = height * 0.2;
    p.noise = 2.0;
    const QImage frame = sixteen ? deep(synth::renderPlanet(p)) : synth::renderPlanet(p).convertToFormat(QImage::Format_RGB32);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("frame.png"));
    frame.save(path, "PNG");
    QImage decoded;
    const double decode = medianMs(runs, [&](int) { StackEngine::readImage(path, decoded); });

    FrameCache cache;
    cache.setBudget(qint64(4) << 30);
    int key = 0;
    QImage out;
    // A miss whose preparing costs nothing: what joining the cache costs (packing, fresh pages).
    const double join = medianMs(runs, [&](int) {
        cache.obtain(QString::number(++key), [&](QImage& image) {
            image = frame;
            return true;
        }, out);
    });
    const QString kept = QString::number(key);
    // The former storage kept the decoded image itself: fresh memory for every frame as well, here
    // filled by a copy.
    std::vector<QImage> images;
    const double whole = medianMs(runs, [&](int) { images.push_back(frame.copy()); });
    images.clear();
    const double hit = medianMs(runs, [&](int) {
        cache.obtain(kept, [](QImage&) { return false; }, out);
    });
    const bool same = out == frame;
    std::printf("%4dx%-4d %2d-bit: decode %7.3f ms   joining the cache %7.3f ms (%4.1f%% of a decode; a copy into fresh "
                "memory %7.3f ms)   handed out %7.3f ms (%4.1f%%)   %lld bytes stored, %lld as an image%s\n",
                width, height, sixteen ? 16 : 8, decode, join, 100 * join / decode, whole, hit, 100 * hit / decode,
                FrameCache::storedBytes(frame), qint64(frame.sizeInBytes()), same ? "" : "   PIXELS DIFFER");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    memory::keepLargeBuffers(); // as the programs do
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    int runs = 31;
    const int at = a.indexOf(QStringLiteral("--runs"));
    if (at >= 0 && at + 1 < a.size())
        runs = std::max(3, a[at + 1].toInt());
    std::printf("thread CPU time, medians of %d runs\n", runs);
    measure(640, 480, false, runs);
    measure(640, 480, true, runs);
    measure(1920, 1080, false, runs);
    measure(1920, 1080, true, runs);
    return 0;
}
