// The frame cache and the read-ahead: results never depend on them, and every pass decodes each file
// once while it fits.

#include "fixtures.h"

#include "batch.h"
#include "framecache.h"
#include "parallel.h"
#include "stackengine.h"

#include <QColorSpace>
#include <QFile>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <numeric>

namespace {

struct Outcome {
    QStringList log;
    QImage image;
    qint64 decoded = 0;
};

// The whole pipeline as the batch command runs it: darks, preprocessing, quality selection, pick,
// align, refine, stack, colours.
Outcome runPipeline(const QStringList& frames, const QStringList& darks, qint64 budget, int threads)
{
    parallel::setThreadCount(threads);
    StackEngine e;
    e.cache->setBudget(budget);
    Outcome out;
    std::vector<bool> checked(std::size_t(frames.size()), true);
    batch::Progress p;
    p.log = [&out](const QString& line) { out.log << line; };
    p.selected = [&checked](int i) { return checked[std::size_t(i)]; };
    if (e.prepareSequence(frames.first()) != StackEngine::Status::Ok)
        return out;
    e.addFrames(frames);
    e.setDarkList(darks);
    e.buildMasterDark(p.log);
    e.previewDarkframe = true;
    e.lightframeGain = 1.5f;
    batch::analyzeQuality(e, p);
    checked = batch::selectFrames(e, batch::SelectionMode::MinimumQuality, 20.0, 0, p);
    batch::ReferenceRequest r;
    r.index = 0;
    r.threshold = 70;
    if (batch::pickReference(e, r, nullptr) != batch::PickResult::Ok)
        return out;
    batch::alignAll(e, p);
    batch::refineAll(e, p);
    e.stackFilter = 1;
    batch::stackAll(e, p);
    e.gammaR = 0.8f;
    out.image = e.colorAdjusted();
    out.log = fixtures::maskTimes(out.log);
    out.decoded = e.cache->preparedCount();
    return out;
}

// Frames of 100x100 pixels, frame i all grey level i.
QStringList greyFrames(const QTemporaryDir& dir, int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths << fixtures::write(dir, QStringLiteral("f%1.png").arg(i), fixtures::solid(100, 100, qRgb(i, i, i)));
    return paths;
}

QVector<QImage> planets(int count, int width, int height)
{
    QVector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        synth::Planet p;
        p.width = width;
        p.height = height;
        p.radius = height * 0.22;
        p.cx = width / 2.0 + (i % 4) - 1.5;
        p.cy = height / 2.0 + (i % 3) - 1;
        p.blur = 0.4 + 0.3 * (i % 5);
        p.noise = 2.0;
        p.seed = quint32(40 + i);
        frames << synth::addSaturated(synth::renderPlanet(p), synth::renderDark(width, height, quint32(90 + i), 3, 1, 8));
    }
    return frames;
}

} // namespace

class TestCache : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        frames = fixtures::writeSequence(dir, QStringLiteral("frame"), planets(9, 160, 120));
        // One frame of the sequence cannot be read.
        frames.insert(5, fixtures::writeCorrupt(dir, QStringLiteral("frame_broken.png")));
        QVector<QImage> darkImages;
        for (int i = 0; i < 3; ++i)
            darkImages << synth::renderDark(160, 120, quint32(90 + i), 3, 1, 8);
        darks = fixtures::writeSequence(dir, QStringLiteral("dark"), darkImages);
    }
    void cleanupTestCase() { parallel::setThreadCount(0); }

    void sameResultWhateverTheCache_data()
    {
        QTest::addColumn<qint64>("budget");
        QTest::addColumn<int>("threads");
        const qint64 frame = 160 * 120 * 4;
        QTest::newRow("no cache, one thread") << qint64(0) << 1;
        QTest::newRow("no cache, two threads") << qint64(0) << 2;
        QTest::newRow("cache, one thread") << (qint64(1) << 30) << 1;
        QTest::newRow("cache, four threads") << (qint64(1) << 30) << 4;
        QTest::newRow("budget of three frames, two threads") << 3 * frame << 2;
    }

    // Log lines (times masked) and the image are the same as with the cache on and all cores.
    void sameResultWhateverTheCache()
    {
        QFETCH(qint64, budget);
        QFETCH(int, threads);
        const Outcome reference = runPipeline(frames, darks, qint64(1) << 30, 0);
        QVERIFY(!reference.image.isNull());
        QVERIFY(reference.log.contains(QStringLiteral("Could not read image file: ") + frames[5]));
        QVERIFY(reference.log.filter(QStringLiteral("refine result of ")).size() >= 5);
        QVERIFY(reference.log.filter(QStringLiteral("Added ")).size() >= 5);
        const Outcome o = runPipeline(frames, darks, budget, threads);
        QCOMPARE(o.log, reference.log);
        QCOMPARE(o.image, reference.image);
    }

    // With room for the sequence every file is decoded once over all passes, read ahead or not.
    void eachFileDecodedOnce_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("one thread") << 1;
        QTest::newRow("two threads") << 2;
    }

    void eachFileDecodedOnce()
    {
        QFETCH(int, threads);
        const Outcome o = runPipeline(frames, darks, qint64(1) << 30, threads);
        // Raw and calibrated frames differ: the first frame is read raw to size the stack, every
        // other use is calibrated. The unreadable frame is tried once.
        const int readable = frames.size() - 1;
        QCOMPARE(o.decoded, qint64(1 + readable + 1));
        // Without a cache every pass decodes again.
        const Outcome streamed = runPipeline(frames, darks, 0, threads);
        QVERIFY(streamed.decoded > 3 * readable);
    }

    // A file rewritten on disk is decoded again; an unchanged one is not.
    void rewrittenFileIsDecodedAgain()
    {
        QTemporaryDir local;
        const QString path = fixtures::write(local, QStringLiteral("a.png"), fixtures::solid(50, 40, qRgb(10, 20, 30)));
        StackEngine e;
        QVERIFY(e.loadFrame(path));
        QVERIFY(e.loadFrame(path));
        QCOMPARE(e.cache->preparedCount(), qint64(1));
        QCOMPARE(e.frameImage.pixel(3, 3), qRgb(10, 20, 30));
        // Same size on disk, new content.
        QVERIFY(fixtures::write(local, QStringLiteral("a.png"), fixtures::solid(50, 40, qRgb(11, 20, 30))) == path);
        QVERIFY(e.loadFrame(path));
        QCOMPARE(e.cache->preparedCount(), qint64(2));
        QCOMPARE(e.frameImage.pixel(3, 3), qRgb(11, 20, 30));
        // A file that disappears can no longer be loaded, whatever was cached.
        QVERIFY(QFile::remove(path));
        QVERIFY(!e.loadFrame(path));
        QCOMPARE(e.frameImage.pixel(3, 3), qRgb(11, 20, 30));
    }

    void changedParameterMeansAnotherFrame_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QRgb>("expected");
        // The file holds (100, 60, 20); the master dark's mean is (10, 10, 10).
        QTest::newRow("preprocessing on") << "preprocess" << qRgb(90, 50, 10);
        QTest::newRow("lightframe gain") << "lightGain" << qRgb(180, 100, 20);
        QTest::newRow("darkframe gain") << "darkGain" << qRgb(80, 40, 0);
        QTest::newRow("new master dark") << "newDark" << qRgb(80, 40, 0);
        QTest::newRow("supersampling") << "scale" << qRgb(100, 60, 20);
    }

    // Every loading parameter is part of what a cached frame is: changing one gives the new frame.
    void changedParameterMeansAnotherFrame()
    {
        QFETCH(QString, change);
        QFETCH(QRgb, expected);
        QTemporaryDir local;
        const QString light = fixtures::write(local, QStringLiteral("light.png"), fixtures::solid(30, 20, qRgb(100, 60, 20)));
        const QString dark = fixtures::write(local, QStringLiteral("dark.png"), fixtures::solid(30, 20, qRgb(10, 10, 10)));
        const QString darker = fixtures::write(local, QStringLiteral("darker.png"), fixtures::solid(30, 20, qRgb(20, 20, 20)));
        StackEngine e;
        e.setDarkList({dark});
        QVERIFY(e.buildMasterDark());
        if (change != QLatin1String("preprocess"))
            e.previewDarkframe = true;
        QVERIFY(e.loadFrame(light));
        const QImage before = e.frameImage;
        if (change == QLatin1String("preprocess")) {
            e.previewDarkframe = true;
        } else if (change == QLatin1String("lightGain")) {
            e.lightframeGain = 2.0f;
        } else if (change == QLatin1String("darkGain")) {
            e.darkframeGain = 2.0f;
        } else if (change == QLatin1String("newDark")) {
            e.setDarkList({darker});
            QVERIFY(e.buildMasterDark());
        } else if (change == QLatin1String("scale")) {
            e.previewDarkframe = false;
            e.supersample = true;
            e.scaleFactor = 2;
        }
        QVERIFY(e.loadFrame(light));
        QCOMPARE(e.cache->preparedCount(), qint64(2));
        QCOMPARE(e.frameImage.pixel(1, 1), expected);
        QCOMPARE(e.frameImage.width(), change == QLatin1String("scale") ? 60 : 30);
        QVERIFY(e.frameImage != before);
    }

    // The budget bounds what is kept, counting 3 bytes a pixel; the frames admitted first stay, and a
    // frame beyond them is decoded at each use instead of evicting one of them.
    // Pieces cut from frames count against the budget like frames: the residents admitted last make room
    // for them; they come back only under the tag they were kept with; a smaller budget or clear() drops
    // them.
    void piecesShareTheBudget()
    {
        QTemporaryDir local;
        const QStringList paths = greyFrames(local, 3);
        StackEngine e;
        const qint64 stored = 100 * 100 * 3;
        e.cache->setBudget(2 * stored + 100);
        QVERIFY(e.loadFrame(paths[0]));
        QVERIFY(e.loadFrame(paths[1]));
        QCOMPARE(e.cache->frameCount(), 2);
        const QString key0 = e.frameRequest(paths[0]).key, key1 = e.frameRequest(paths[1]).key;
        QVERIFY(e.cache->isResident(key0));
        QVERIFY(e.cache->isResident(key1));
        QVERIFY(!e.cache->isResident(e.frameRequest(paths[2]).key));

        const QImage piece = fixtures::solid(20, 20, qRgb(9, 9, 9));
        QVERIFY(e.cache->keepPiece(QStringLiteral("a"), QStringLiteral("t1"), piece));
        // The frame admitted last gave way; the first stays.
        QVERIFY(e.cache->isResident(key0));
        QVERIFY(!e.cache->isResident(key1));
        QCOMPARE(e.cache->pieceBytes(), piece.sizeInBytes());
        QCOMPARE(e.cache->bytesInUse(), stored + piece.sizeInBytes());
        QImage back;
        QVERIFY(!e.cache->piece(QStringLiteral("a"), QStringLiteral("t2"), &back));
        QVERIFY(!e.cache->piece(QStringLiteral("b"), QStringLiteral("t1"), &back));
        QVERIFY(e.cache->piece(QStringLiteral("a"), QStringLiteral("t1"), &back));
        QCOMPARE(back, piece);
        // Kept again under the same key: replaced, not counted twice.
        QVERIFY(e.cache->keepPiece(QStringLiteral("a"), QStringLiteral("t2"), piece));
        QCOMPARE(e.cache->pieceBytes(), piece.sizeInBytes());
        QVERIFY(!e.cache->piece(QStringLiteral("a"), QStringLiteral("t1"), &back));

        // No room beside what must stay: refused. With the budget below the pieces, they go.
        QVERIFY(!e.cache->keepPiece(QStringLiteral("big"), QStringLiteral("t"), fixtures::solid(400, 400, qRgb(1, 1, 1))));
        QVERIFY(e.cache->bytesInUse() <= e.cache->budget());
        e.cache->setBudget(100);
        QCOMPARE(e.cache->pieceBytes(), qint64(0));
        QVERIFY(!e.cache->piece(QStringLiteral("a"), QStringLiteral("t2"), &back));
        e.cache->setBudget(stored);
        QVERIFY(e.cache->keepPiece(QStringLiteral("a"), QStringLiteral("t"), piece));
        e.cache->clear();
        QCOMPARE(e.cache->bytesInUse(), qint64(0));
        // Caching off: nothing is kept.
        e.cache->setBudget(0);
        QVERIFY(!e.cache->keepPiece(QStringLiteral("a"), QStringLiteral("t"), piece));
    }

    void budgetKeepsTheFramesAdmittedFirst()
    {
        QTemporaryDir local;
        const QStringList paths = greyFrames(local, 4);
        StackEngine e;
        const qint64 stored = 100 * 100 * 3;
        e.cache->setBudget(2 * stored + stored / 2);
        QVERIFY(e.loadFrame(paths[0]));
        QVERIFY(e.loadFrame(paths[1]));
        QVERIFY(e.loadFrame(paths[2])); // no room: not kept
        QCOMPARE(e.cache->frameCount(), 2);
        QCOMPARE(e.cache->bytesInUse(), 2 * stored);
        const qint64 decoded = e.cache->preparedCount();
        QVERIFY(e.loadFrame(paths[2]));
        QCOMPARE(e.cache->preparedCount(), decoded + 1);
        QCOMPARE(e.frameImage.pixel(0, 0), qRgb(2, 2, 2));
        QVERIFY(e.loadFrame(paths[0]));
        QVERIFY(e.loadFrame(paths[1]));
        QCOMPARE(e.cache->preparedCount(), decoded + 1);
        QCOMPARE(e.frameImage.pixel(0, 0), qRgb(1, 1, 1));
        // Off: nothing is kept.
        e.cache->setBudget(0);
        QCOMPARE(e.cache->frameCount(), 0);
        QVERIFY(e.loadFrame(paths[3]));
        QCOMPARE(e.cache->frameCount(), 0);
        QCOMPARE(e.frameImage.pixel(0, 0), qRgb(3, 3, 3));
    }

    void framesComeBackAsTheyWent_data()
    {
        QTest::addColumn<QImage>("frame");
        QTest::addColumn<qint64>("stored");
        auto deep = [](int w, int h, quint64 seed) {
            QImage image(w, h, QImage::Format_RGBX64);
            synth::Rng rng(seed);
            for (int y = 0; y < h; ++y) {
                quint16* p = reinterpret_cast<quint16*>(image.scanLine(y));
                for (int x = 0; x < w; ++x, p += 4)
                    p[0] = quint16(rng.below(65536)), p[1] = quint16(rng.below(65536)), p[2] = quint16(rng.below(65536)), p[3] = 0xffff;
            }
            return image;
        };
        // Widths around the four pixels that are packed at once.
        for (int w : {1, 3, 4, 5, 37})
            QTest::addRow("8-bit, %d wide", w) << fixtures::randomImage(w, 7, quint64(w)) << qint64(w * 7 * 3);
        QTest::newRow("16-bit") << deep(37, 9, 5) << qint64(37 * 9 * 6);
        QTest::newRow("16-bit, 1 wide") << deep(1, 3, 6) << qint64(1 * 3 * 6);
        QImage metadata = fixtures::randomImage(13, 5, 8);
        metadata.setDotsPerMeterX(1234);
        metadata.setDotsPerMeterY(4321);
        metadata.setOffset(QPoint(3, -2));
        metadata.setText(QStringLiteral("Comment"), QStringLiteral("seeing 2/5"));
        metadata.setColorSpace(QColorSpace(QColorSpace::AdobeRgb));
        QTest::newRow("metadata") << metadata << qint64(13 * 5 * 3);
        // Kept as they are: an alpha byte that is not opaque, a 16-bit X that is not, other formats.
        QImage translucent = fixtures::randomImage(9, 4, 9);
        reinterpret_cast<QRgb*>(translucent.scanLine(3))[8] &= 0x7fffffffu;
        QTest::newRow("alpha not opaque") << translucent << qint64(translucent.sizeInBytes());
        QImage deepX = deep(6, 2, 10);
        reinterpret_cast<quint16*>(deepX.scanLine(1))[4 * 5 + 3] = 7;
        QTest::newRow("16-bit X not opaque") << deepX << qint64(deepX.sizeInBytes());
        const QImage grey = fixtures::randomImage(11, 3, 11).convertToFormat(QImage::Format_Grayscale8);
        QTest::newRow("grey") << grey << qint64(grey.sizeInBytes());
    }

    // A cached frame is handed out with every bit of its pixels, unused channel included, its format
    // and its metadata; it takes 3 or 6 bytes a pixel when nothing is lost by that.
    void framesComeBackAsTheyWent()
    {
        QFETCH(QImage, frame);
        QFETCH(qint64, stored);
        FrameCache cache;
        cache.setBudget(1 << 20);
        const QImage original = frame.copy();
        int prepared = 0;
        auto prepare = [&](QImage& out) {
            ++prepared;
            out = frame;
            return true;
        };
        QImage first, second;
        QVERIFY(cache.obtain(QStringLiteral("k"), prepare, first));
        frame = QImage(); // the cache holds the only copy
        QVERIFY(cache.obtain(QStringLiteral("k"), prepare, second));
        QCOMPARE(prepared, 1);
        QCOMPARE(cache.bytesInUse(), stored);
        for (const QImage& image : {first, second}) {
            QCOMPARE(image.format(), original.format());
            QCOMPARE(image.size(), original.size());
            for (int y = 0; y < original.height(); ++y)
                QVERIFY(std::memcmp(image.constScanLine(y), original.constScanLine(y), std::size_t(original.bytesPerLine())) == 0);
            QCOMPARE(image.dotsPerMeterX(), original.dotsPerMeterX());
            QCOMPARE(image.dotsPerMeterY(), original.dotsPerMeterY());
            QCOMPARE(image.offset(), original.offset());
            QCOMPARE(image.textKeys(), original.textKeys());
            QCOMPARE(image.text(QStringLiteral("Comment")), original.text(QStringLiteral("Comment")));
            QCOMPARE(image.colorSpace(), original.colorSpace());
        }
        // The mean colour is remembered for the frame, whichever copy of it asks.
        cache.rememberMeanColour(second.cacheKey(), QColor(1, 2, 3));
        QImage third;
        QVERIFY(cache.obtain(QStringLiteral("k"), prepare, third));
        QColor mean;
        QVERIFY(cache.meanColour(third.cacheKey(), &mean));
        QCOMPARE(mean, QColor(1, 2, 3));
        QVERIFY(!cache.meanColour(original.cacheKey(), &mean));
    }

    // Passes in sequence order, each frame read three frames ahead as the loops do, over frames the cache
    // keeps at their own size (grey): after the first pass, each pass decodes only the frames beyond
    // those the budget holds beside the read-ahead (three frames read ahead and one reserved), and never
    // a frame twice.
    void residentsSurviveSequentialPasses()
    {
        const int count = 16, side = 12;
        const qint64 frame = side * side; // a grey frame (rows of a multiple of 4 bytes) is kept as it is
        FrameCache cache;
        cache.setBudget(10 * frame + 4 * frame);
        int prepared[count] = {};
        auto prepare = [&](int i) {
            return [&prepared, i, side](QImage& out) {
                ++prepared[i];
                out = QImage(side, side, QImage::Format_Grayscale8);
                out.fill(i);
                return true;
            };
        };
        for (int pass = 0; pass < 4; ++pass) {
            std::fill(std::begin(prepared), std::end(prepared), 0);
            for (int i = 0; i < count; ++i) {
                const int ahead = i + 3; // the next frame to read ahead
                if (ahead < count && cache.reserve(frame)) {
                    QImage unused;
                    cache.obtain(QString::number(ahead), prepare(ahead), unused, FrameCache::Use::Ahead, frame);
                }
                QImage image;
                QVERIFY(cache.obtain(QString::number(i), prepare(i), image));
                QCOMPARE(image.constScanLine(0)[0], uchar(i));
                QVERIFY(cache.bytesInUse() <= 14 * frame);
            }
            cache.releaseReadAhead();
            const int decoded = std::accumulate(std::begin(prepared), std::end(prepared), 0);
            QVERIFY(*std::max_element(std::begin(prepared), std::end(prepared)) <= 1);
            if (pass > 0)
                QVERIFY2(decoded <= count - 10, qPrintable(QStringLiteral("pass %1 decoded %2").arg(pass).arg(decoded)));
        }
    }

    // Residents that two passes over another sequence did not use give way to its frames.
    void residentsOfAnotherSequenceGiveWay()
    {
        QTemporaryDir local;
        QVector<QImage> first, second;
        for (int i = 0; i < 6; ++i) {
            first << fixtures::randomImage(30, 20, quint64(i));
            second << fixtures::randomImage(30, 20, quint64(100 + i));
        }
        const QStringList a = fixtures::writeSequence(local, QStringLiteral("a"), first);
        const QStringList b = fixtures::writeSequence(local, QStringLiteral("b"), second);
        parallel::setThreadCount(1);
        StackEngine e;
        // Room for the six frames of a sequence as images, for eight at 3 bytes a pixel.
        e.cache->setBudget(6 * 30 * 20 * 4);
        batch::Progress p;
        auto pass = [&](const QStringList& paths) {
            e.resetSequence();
            if (e.prepareSequence(paths.first()) != StackEngine::Status::Ok)
                return qint64(-1);
            e.addFrames(paths);
            const qint64 before = e.cache->preparedCount();
            batch::analyzeQuality(e, p);
            return e.cache->preparedCount() - before;
        };
        QCOMPARE(pass(a), qint64(5)); // the first frame was read to open the sequence
        QCOMPARE(pass(a), qint64(0));
        // The first sequence's frames stay through one pass over the second one, which finds room for
        // two of its frames; then they give way to the other four.
        QCOMPARE(pass(b), qint64(5));
        QCOMPARE(pass(b), qint64(4));
        QCOMPARE(pass(b), qint64(0));
        QCOMPARE(pass(b), qint64(0));
        parallel::setThreadCount(0);
    }

    // Frames read ahead are kept until the loop uses them, even beyond the budget, so that
    // streaming never decodes a frame twice; afterwards the budget holds again.
    void readAheadSurvivesTinyBudget()
    {
        QTemporaryDir local;
        QVector<QImage> images = planets(6, 160, 120);
        const QStringList paths = fixtures::writeSequence(local, QStringLiteral("p"), images);
        parallel::setThreadCount(2);
        StackEngine e;
        e.cache->setBudget(0);
        batch::Progress p;
        QVERIFY(e.prepareSequence(paths.first()) == StackEngine::Status::Ok);
        e.addFrames(paths);
        batch::ReferenceRequest r;
        QCOMPARE(batch::pickReference(e, r, nullptr), batch::PickResult::Ok);
        const qint64 before = e.cache->preparedCount();
        QVERIFY(batch::alignAll(e, p));
        QCOMPARE(e.cache->preparedCount() - before, qint64(paths.size()));
        QCOMPARE(e.cache->frameCount(), 0);
        parallel::setThreadCount(0);
    }

    // A frame that is not kept (a frame of a capture) is prepared again in every pass; its mean colour,
    // remembered once, stays known by its key, and only by it.
    void meanColourOfFramesNotKept()
    {
        FrameCache cache;
        const QColor mean(10, 20, 30);
        QImage first, again, other;
        auto prepare = [](QImage& out) {
            out = fixtures::solid(4, 3, qRgb(1, 2, 3));
            return true;
        };
        QVERIFY(cache.obtain(QStringLiteral("a"), prepare, first, FrameCache::Use::Now, 0, false));
        QColor found;
        QVERIFY(!cache.meanColour(first.cacheKey(), &found));
        cache.rememberMeanColour(first.cacheKey(), mean);
        QCOMPARE(cache.frameCount(), 0); // not kept
        QVERIFY(cache.obtain(QStringLiteral("a"), prepare, again, FrameCache::Use::Now, 0, false));
        QVERIFY(again.cacheKey() != first.cacheKey()); // prepared anew
        QVERIFY(cache.meanColour(again.cacheKey(), &found));
        QCOMPARE(found, mean);
        QVERIFY(cache.obtain(QStringLiteral("b"), prepare, other, FrameCache::Use::Now, 0, false));
        QVERIFY(!cache.meanColour(other.cacheKey(), &found));
        // Read ahead and then used: the mean remembered while it waited in the cache is kept as well.
        QImage ahead, used;
        QVERIFY(cache.obtain(QStringLiteral("c"), prepare, ahead, FrameCache::Use::Ahead, 0, false));
        cache.rememberMeanColour(ahead.cacheKey(), QColor(7, 8, 9));
        QVERIFY(cache.obtain(QStringLiteral("c"), prepare, used, FrameCache::Use::Now, 0, false));
        QCOMPARE(cache.frameCount(), 0);
        QVERIFY(cache.obtain(QStringLiteral("c"), prepare, again, FrameCache::Use::Now, 0, false));
        QVERIFY(cache.meanColour(again.cacheKey(), &found));
        QCOMPARE(found, QColor(7, 8, 9));
        cache.clear();
        QVERIFY(!cache.meanColour(again.cacheKey(), &found));
    }

private:
    QTemporaryDir dir;
    QStringList frames;
    QStringList darks;
};

QTEST_GUILESS_MAIN(TestCache)
#include "tst_cache.moc"
