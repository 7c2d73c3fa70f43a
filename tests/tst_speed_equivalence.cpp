// The fast paths give what the plain ones give: PNG frames decoded by libspng hold the pixels the
// toolkit's reader gives, and the whole pipeline's log lines and result do not depend on the decoder,
// the cache budget or the thread count.

#include "fixtures.h"

#include "batch.h"
#include "colour.h"
#include "framecache.h"
#include "parallel.h"
#include "pngdecode.h"
#include "stackengine.h"

#include <QFile>
#include <QtTest>

#include <spng.h>

#include <cstdlib>
#include <vector>

namespace {

struct PngSpec {
    int width = 37, height = 23; // odd sizes: no row happens to be aligned
    int colourType = SPNG_COLOR_TYPE_TRUECOLOR;
    int bitDepth = 8;
    bool interlaced = false;
    int paletteSize = 0;     // palette images: entries 0..n-1
    int paletteAlphas = 0;   // tRNS entries of a palette
    bool colourKey = false;  // tRNS for grey or RGB
    bool gamma = false;
};

int channelsOf(int colourType)
{
    switch (colourType) {
    case SPNG_COLOR_TYPE_GRAYSCALE:
    case SPNG_COLOR_TYPE_INDEXED:
        return 1;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
        return 2;
    case SPNG_COLOR_TYPE_TRUECOLOR:
        return 3;
    default:
        return 4;
    }
}

// A PNG file of the given kind with pseudo-random samples (alpha included), written by libspng.
QString writePng(const QString& path, const PngSpec& s, quint64 seed)
{
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = quint32(s.width);
    ihdr.height = quint32(s.height);
    ihdr.bit_depth = quint8(s.bitDepth);
    ihdr.color_type = quint8(s.colourType);
    ihdr.interlace_method = s.interlaced ? SPNG_INTERLACE_ADAM7 : SPNG_INTERLACE_NONE;
    spng_set_ihdr(ctx, &ihdr);
    synth::Rng rng(seed);
    if (s.paletteSize > 0) {
        spng_plte plte{};
        plte.n_entries = quint32(s.paletteSize);
        for (int i = 0; i < s.paletteSize; ++i)
            plte.entries[i] = {quint8(rng.below(256)), quint8(rng.below(256)), quint8(rng.below(256)), 255};
        spng_set_plte(ctx, &plte);
    }
    if (s.paletteAlphas > 0 || s.colourKey) {
        spng_trns trns{};
        trns.n_type3_entries = quint32(s.paletteAlphas);
        for (int i = 0; i < s.paletteAlphas; ++i)
            trns.type3_alpha[i] = quint8(rng.below(256));
        trns.gray = trns.red = 7; // samples below are drawn from 0..15 so the key occurs
        trns.green = 9;
        trns.blue = 11;
        spng_set_trns(ctx, &trns);
    }
    if (s.gamma)
        spng_set_gama(ctx, 1.0 / 1.8);
    // Samples in the file's own layout: rows packed, 16-bit samples big-endian.
    const int bitsPerPixel = channelsOf(s.colourType) * s.bitDepth;
    const std::size_t rowBytes = (std::size_t(s.width) * std::size_t(bitsPerPixel) + 7) / 8;
    std::vector<unsigned char> data(rowBytes * std::size_t(s.height));
    const bool smallSamples = s.colourKey; // so that the colour key is hit
    for (unsigned char& b : data) {
        if (s.paletteSize > 0 && s.bitDepth == 8)
            b = quint8(rng.below(s.paletteSize));
        else
            b = quint8(rng.below(smallSamples ? 16 : 256));
    }
    if (s.colourKey && s.colourType == SPNG_COLOR_TYPE_TRUECOLOR && s.bitDepth == 8) {
        data[0] = 7; // the first pixel is the key colour
        data[1] = 9;
        data[2] = 11;
    }
    const int rc = spng_encode_image(ctx, data.data(), data.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
    std::size_t length = 0;
    int error = 0;
    void* png = rc == 0 ? spng_get_png_buffer(ctx, &length, &error) : nullptr;
    spng_ctx_free(ctx);
    if (!png)
        return QString();
    QFile file(path);
    const bool ok = file.open(QIODevice::WriteOnly) && file.write(static_cast<const char*>(png), qint64(length)) == qint64(length);
    std::free(png);
    return ok ? path : QString();
}

// A planet that moves and blurs a little from frame to frame, with noise of its own in each.
QImage planetFrame(int i, int width, int height, int radius, quint32 seed)
{
    synth::Planet p;
    p.width = width;
    p.height = height;
    p.radius = radius;
    p.cx = width / 2 + (i % 3) - 1;
    p.cy = height / 2 + (i % 2);
    p.blur = 0.5 + 0.2 * i;
    p.noise = 2.0;
    p.seed = seed + quint32(i);
    return synth::renderPlanet(p);
}

// The file as StackEngine reads it, with the fast decoder on or off.
QImage readWith(bool fast, const QString& path, bool* ok)
{
    const bool before = pngdecode::enabled();
    pngdecode::setEnabled(fast);
    QImage image;
    *ok = StackEngine::readImage(path, image);
    pngdecode::setEnabled(before);
    return image;
}

struct Run {
    QStringList log;
    QImage image;
};

// Pick, align, refine, stack and colours over the frames, as the batch command runs them.
Run runPipeline(const QStringList& frames, bool fastDecoder, qint64 budget, int threads)
{
    pngdecode::setEnabled(fastDecoder);
    parallel::setThreadCount(threads);
    StackEngine e;
    e.cache->setBudget(budget);
    Run out;
    batch::Progress p;
    p.log = [&out](const QString& line) { out.log << line; };
    if (e.prepareSequence(frames.first()) == StackEngine::Status::Ok) {
        e.addFrames(frames);
        batch::ReferenceRequest r;
        r.index = 1;
        r.threshold = 70;
        if (batch::pickReference(e, r, nullptr) == batch::PickResult::Ok) {
            batch::alignAll(e, p);
            batch::refineAll(e, p);
            batch::stackAll(e, p);
            e.gammaR = 0.8f;
            e.lowValueBoost = true;
            out.image = e.colorAdjusted();
        }
    }
    out.log = fixtures::maskTimes(out.log);
    pngdecode::setEnabled(true);
    parallel::setThreadCount(0);
    return out;
}

} // namespace

class TestSpeedEquivalence : public QObject {
    Q_OBJECT

private slots:
    void pngFramesDecodeAsTheToolkitReads_data()
    {
        QTest::addColumn<int>("colourType");
        QTest::addColumn<int>("bitDepth");
        QTest::addColumn<int>("variant");
        QTest::addColumn<bool>("fastPath"); // whether libspng decodes it
        enum { Plain, Interlaced, PaletteAlpha, ColourKey, Gamma, SmallPalette };
        const int grey = SPNG_COLOR_TYPE_GRAYSCALE, rgb = SPNG_COLOR_TYPE_TRUECOLOR, pal = SPNG_COLOR_TYPE_INDEXED;
        const int greyAlpha = SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, rgba = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
        QTest::newRow("grey") << grey << 8 << int(Plain) << true;
        QTest::newRow("grey with alpha") << greyAlpha << 8 << int(Plain) << true;
        QTest::newRow("rgb") << rgb << 8 << int(Plain) << true;
        QTest::newRow("rgba") << rgba << 8 << int(Plain) << true;
        QTest::newRow("palette") << pal << 8 << int(Plain) << true;
        QTest::newRow("palette of 5 entries") << pal << 8 << int(SmallPalette) << true;
        QTest::newRow("rgb with colour key") << rgb << 8 << int(ColourKey) << true;
        // Left to the toolkit's reader:
        QTest::newRow("grey with colour key") << grey << 8 << int(ColourKey) << false;
        QTest::newRow("palette with alpha") << pal << 8 << int(PaletteAlpha) << false;
        QTest::newRow("rgb 16-bit") << rgb << 16 << int(Plain) << false;
        QTest::newRow("rgba 16-bit") << rgba << 16 << int(Plain) << false;
        QTest::newRow("grey 16-bit") << grey << 16 << int(Plain) << false;
        QTest::newRow("grey 4-bit") << grey << 4 << int(Plain) << false;
        QTest::newRow("palette 2-bit") << pal << 2 << int(Plain) << false;
        QTest::newRow("interlaced rgb") << rgb << 8 << int(Interlaced) << false;
        QTest::newRow("rgb with gamma") << rgb << 8 << int(Gamma) << false;
    }
    void pngFramesDecodeAsTheToolkitReads()
    {
        QFETCH(int, colourType);
        QFETCH(int, bitDepth);
        QFETCH(int, variant);
        QFETCH(bool, fastPath);
        enum { Plain, Interlaced, PaletteAlpha, ColourKey, Gamma, SmallPalette };
        PngSpec s;
        s.colourType = colourType;
        s.bitDepth = bitDepth;
        s.interlaced = variant == Interlaced;
        s.colourKey = variant == ColourKey;
        s.gamma = variant == Gamma;
        if (colourType == SPNG_COLOR_TYPE_INDEXED) {
            s.paletteSize = variant == SmallPalette ? 5 : (1 << std::min(bitDepth, 8));
            s.paletteAlphas = variant == PaletteAlpha ? s.paletteSize / 2 : 0;
        }
        const QString path = writePng(dir.filePath(QStringLiteral("%1.png").arg(QTest::currentDataTag())), s, 77);
        QVERIFY(!path.isEmpty());

        QImage direct;
        QCOMPARE(pngdecode::decode(path, direct) == pngdecode::Outcome::Decoded, fastPath);
        QCOMPARE(direct.isNull(), !fastPath);

        bool okFast = false, okPlain = false;
        const QImage fast = readWith(true, path, &okFast);
        const QImage plain = readWith(false, path, &okPlain);
        QVERIFY(okPlain);
        QVERIFY(okFast);
        // Frames keep 16 bits per channel; everything else is 32-bit RGB.
        const QImage::Format frameFormat = bitDepth == 16 ? QImage::Format_RGBX64 : QImage::Format_RGB32;
        QCOMPARE(plain.format(), frameFormat);
        QCOMPARE(fast.format(), frameFormat);
        QCOMPARE(fast.size(), QSize(s.width, s.height));
        QCOMPARE(fast, plain);
        if (fastPath)
            QCOMPARE(direct, plain);
        // The samples are random: a decoder that lost a channel or a row would not match by chance.
        QVERIFY(plain.pixel(3, 5) != plain.pixel(30, 17) || plain.pixel(0, 0) != plain.pixel(36, 22));
    }

    void brokenAndForeignFilesAreLeftToTheToolkit_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("not a png") << QStringLiteral("text");
        QTest::newRow("truncated png") << QStringLiteral("truncated");
        QTest::newRow("damaged image data") << QStringLiteral("damaged");
        QTest::newRow("bmp") << QStringLiteral("bmp");
        QTest::newRow("missing") << QStringLiteral("missing");
    }
    void brokenAndForeignFilesAreLeftToTheToolkit()
    {
        QFETCH(QString, kind);
        const QString path = dir.filePath(QStringLiteral("foreign_%1").arg(kind));
        PngSpec s;
        s.width = 64;
        s.height = 48;
        const QString good = writePng(dir.filePath(QStringLiteral("good_%1.png").arg(kind)), s, 5);
        QFile in(good);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QByteArray bytes = in.readAll();
        if (kind == QLatin1String("text"))
            bytes = "not an image at all";
        else if (kind == QLatin1String("truncated"))
            bytes.truncate(bytes.size() / 2);
        else if (kind == QLatin1String("damaged"))
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x5a);
        if (kind == QLatin1String("bmp")) {
            QVERIFY(fixtures::randomImage(20, 10, 3).save(path, "BMP"));
        } else if (kind != QLatin1String("missing")) {
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(bytes);
        }
        QImage direct;
        QCOMPARE(int(pngdecode::decode(path, direct)), int(pngdecode::Outcome::NotHandled));
        QVERIFY(direct.isNull());
        bool okFast = false, okPlain = false;
        const QImage fast = readWith(true, path, &okFast);
        const QImage plain = readWith(false, path, &okPlain);
        QCOMPARE(okFast, okPlain);
        QCOMPARE(fast, plain);
        if (kind != QLatin1String("truncated") && kind != QLatin1String("damaged"))
            QCOMPARE(okPlain, kind == QLatin1String("bmp"));
    }

    void pipelineDoesNotDependOnDecoderCacheOrThreads_data()
    {
        QTest::addColumn<bool>("deep");
        QTest::newRow("8-bit frames") << false;
        QTest::newRow("16-bit frames") << true;
    }
    void pipelineDoesNotDependOnDecoderCacheOrThreads()
    {
        QFETCH(bool, deep);
        QVector<QImage> images;
        for (int i = 0; i < 7; ++i) {
            QImage image = planetFrame(i, 150, 110, 26, 300);
            if (deep) {
                // Low bits of their own, so that every bit of the 16 counts.
                image = image.convertToFormat(QImage::Format_RGBX64);
                synth::Rng rng(quint64(i) + 1);
                for (int y = 0; y < image.height(); ++y) {
                    quint16* s = reinterpret_cast<quint16*>(image.scanLine(y));
                    for (int x = 0; x < image.width() * 4; ++x)
                        s[x] = x % 4 == 3 ? quint16(0xffff) : quint16((s[x] & 0xff00) | rng.below(256));
                }
            }
            images << image;
        }
        QTemporaryDir sequence;
        QVERIFY(sequence.isValid());
        const QStringList frames = fixtures::writeSequence(sequence, QStringLiteral("f"), images);
        QImage probe;
        QVERIFY(StackEngine::readImage(frames.first(), probe));
        QCOMPARE(probe.format(), deep ? QImage::Format_RGBX64 : QImage::Format_RGB32);
        const qint64 frame = probe.sizeInBytes();
        const Run reference = runPipeline(frames, false, 0, 1);
        QVERIFY(!reference.image.isNull());
        QVERIFY(reference.log.size() > 20);
        struct Case {
            bool fast;
            qint64 budget;
            int threads;
        };
        // Budgets of a few frames, of part of the sequence (residents and frames streaming through) and
        // of all of it.
        for (const Case& c : {Case{true, 0, 1}, Case{true, 0, 2}, Case{true, 2 * frame, 2}, Case{true, 3 * frame, 3},
                              Case{true, 4 * frame, 1}, Case{true, 4 * frame, 2}, Case{false, qint64(1) << 30, 2},
                              Case{true, qint64(1) << 30, 1}, Case{true, qint64(1) << 30, 4}}) {
            const Run run = runPipeline(frames, c.fast, c.budget, c.threads);
            const QString what = QStringLiteral("decoder %1, budget %2, threads %3").arg(c.fast ? "libspng" : "toolkit").arg(c.budget).arg(c.threads);
            QVERIFY2(run.log == reference.log, qPrintable(what));
            QVERIFY2(run.image == reference.image, qPrintable(what));
        }
    }

    // Sequential passes over a sequence longer than the budget keep finding the frames that stayed: every
    // pass after the first decodes only the frames beyond those the budget holds at 3 bytes a pixel, beside
    // the room that read-ahead takes (with two threads, the frame in hand and three ahead, each with its
    // work).
    void passesOverALongSequenceKeepHitting_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("one thread") << 1;
        QTest::newRow("two threads") << 2;
    }
    void passesOverALongSequenceKeepHitting()
    {
        QFETCH(int, threads);
        parallel::setThreadCount(threads);
        QTemporaryDir local;
        QStringList paths;
        for (int i = 0; i < 16; ++i)
            paths << fixtures::write(local, QStringLiteral("f%1.png").arg(i, 2, 10, QLatin1Char('0')),
                                     fixtures::randomImage(40, 30, quint64(i)));
        StackEngine e;
        const qint64 frame = 40 * 30 * 4, stored = 40 * 30 * 3;
        const qint64 readAhead = threads == 1 ? 0 : 4 * 2 * frame;
        const qint64 budget = 10 * stored + readAhead;
        e.cache->setBudget(budget);
        e.addFrames(paths);
        batch::Progress p;
        QVERIFY(e.prepareSequence(paths.first()) == StackEngine::Status::Ok);
        qint64 decoded = e.cache->preparedCount();
        QCOMPARE(decoded, qint64(1));
        for (int pass = 0; pass < 4; ++pass) {
            // A loading pass as the loops make it: read-ahead (with more than one thread) and loads.
            QVERIFY(batch::analyzeQuality(e, p));
            e.qualityAnalysed = false;
            const qint64 now = e.cache->preparedCount();
            if (pass > 0) {
                // How much read-ahead reserves at once depends on scheduling; it never decodes a frame twice.
                const QString counts = QStringLiteral("pass %1 decoded %2").arg(pass).arg(now - decoded);
                if (threads == 1)
                    QVERIFY2(now - decoded == 16 - 10, qPrintable(counts));
                else
                    QVERIFY2(now - decoded <= 16 - 10, qPrintable(counts));
            }
            QVERIFY(e.cache->bytesInUse() <= budget);
            decoded = now;
        }
        parallel::setThreadCount(0);
    }

    // Alignment keeps the search windows of the frames beyond the residents, and refinement matches in
    // them instead of reading those frames again: the same positions, scores and log as when every frame
    // is read, fewer frames decoded, everything within the budget. Where refinement shows its frames (the
    // window), or the search radius has changed since the alignment, the frames are read as before.
    void refinementMatchesInTheWindowsOfAlignment_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("one thread") << 1;
        QTest::newRow("two threads") << 2;
    }
    void refinementMatchesInTheWindowsOfAlignment()
    {
        QFETCH(int, threads);
        QVector<QImage> images;
        for (int i = 0; i < 12; ++i)
            images << planetFrame(i, 160, 120, 28, 700);
        QTemporaryDir sequence;
        QVERIFY(sequence.isValid());
        const QStringList frames = fixtures::writeSequence(sequence, QStringLiteral("w"), images);
        const qint64 stored = 160 * 120 * 3;

        struct Refined {
            QStringList log;
            std::vector<FrameRecord> records;
            qint64 refineDecodes = 0;
            qint64 windows = 0;
            bool withinBudget = true;
        };
        const auto run = [&](qint64 budget, bool show, int radiusAtRefine) {
            parallel::setThreadCount(threads);
            StackEngine e;
            e.cache->setBudget(budget);
            Refined out;
            batch::Progress p;
            p.log = [&out](const QString& line) { out.log << line; };
            if (show)
                p.show = [](const QImage&) {};
            if (e.prepareSequence(frames.first()) != StackEngine::Status::Ok)
                return out;
            e.addFrames(frames);
            batch::ReferenceRequest r;
            r.index = 2;
            r.threshold = 70;
            r.radius = 12;
            if (batch::pickReference(e, r, nullptr) != batch::PickResult::Ok)
                return out;
            batch::alignAll(e, p);
            out.windows = e.cache->pieceBytes();
            out.withinBudget = e.cache->bytesInUse() <= budget;
            if (radiusAtRefine != e.searchRadius) {
                e.searchRadius = radiusAtRefine;
                e.cutBasePattern();
            }
            const qint64 before = e.cache->preparedCount();
            batch::refineAll(e, p);
            out.refineDecodes = e.cache->preparedCount() - before;
            out.withinBudget = out.withinBudget && e.cache->bytesInUse() <= budget;
            for (int i = 0; i < e.frames->count(); ++i)
                out.records.push_back(e.frames->record(i));
            out.log = fixtures::maskTimes(out.log);
            parallel::setThreadCount(0);
            return out;
        };
        const auto same = [](const Refined& a, const Refined& b) {
            if (a.log != b.log || a.records.size() != b.records.size())
                return false;
            for (std::size_t i = 0; i < a.records.size(); ++i) {
                const FrameRecord& x = a.records[i];
                const FrameRecord& y = b.records[i];
                if (x.x != y.x || x.y != y.y || x.refined != y.refined || x.refineOk != y.refineOk || x.aligned != y.aligned)
                    return false;
            }
            return true;
        };

        const Refined everything = run(qint64(1) << 30, false, 12);
        QVERIFY(everything.log.size() > 24);
        QCOMPARE(everything.refineDecodes, qint64(0)); // all frames stayed
        QCOMPARE(everything.windows, qint64(0));       // so no window was needed

        // Half of the frames fit beside read-ahead.
        const qint64 budget = 6 * stored + (threads == 1 ? 0 : 4 * 2 * 160 * 120 * 4);
        const Refined windows = run(budget, false, 12);
        QVERIFY(same(windows, everything));
        QVERIFY(windows.windows > 0);
        QVERIFY(windows.withinBudget);
        const Refined shown = run(budget, true, 12);
        QVERIFY(same(shown, everything));
        QCOMPARE(shown.windows, qint64(0));
        // Only the last frame is read again where the windows are used (it stays the current frame).
        QVERIFY2(windows.refineDecodes < shown.refineDecodes,
                 qPrintable(QStringLiteral("%1 against %2").arg(windows.refineDecodes).arg(shown.refineDecodes)));

        // Another radius at refinement: the windows do not fit it, the frames are read.
        const Refined wider = run(budget, false, 14);
        const Refined widerEverything = run(qint64(1) << 30, false, 14);
        QVERIFY(same(wider, widerEverything));
        QVERIFY(wider.refineDecodes >= shown.refineDecodes);
    }

    // The colour adjustment remembers results by value; a stack repeats values a lot, so remembered and
    // replaced slots are both exercised, and every pixel must be what the one-channel function gives.
    void colourAdjustmentMatchesTheChannelFunction_data()
    {
        QTest::addColumn<int>("curves");
        QTest::newRow("gamma") << 0;
        QTest::newRow("gamma, boost") << 1;
        QTest::newRow("hill, downhill, contrast, offset") << 2;
        QTest::newRow("boost, luminance out") << 3;
    }
    void colourAdjustmentMatchesTheChannelFunction()
    {
        QFETCH(int, curves);
        auto acc = createFloatImage(320, 240);
        synth::Rng rng(91);
        for (std::size_t i = 0; i < acc->floatCount(); i += 4) {
            const int w = rng.below(6); // 0..5 frames at this pixel, 8-bit fractions summed
            for (int c = 0; c < 3; ++c) {
                float sum = 0.0f;
                for (int k = 0; k < w; ++k)
                    sum += float(rng.below(256) / 255.0);
                acc->data[i + std::size_t(c)] = sum;
            }
            acc->data[i + 3] = float(w);
        }
        kernels::ColourParams cp;
        cp.gamma[0] = 0.7f;
        cp.gamma[1] = 1.3f;
        cp.gamma[2] = 2.2f;
        cp.gain[2] = 1.1f;
        if (curves == 1 || curves == 3) {
            cp.lowValueBoost = true;
            cp.lvbExponent = 3;
            cp.lvbBlend = 0.4f;
        }
        if (curves == 2) {
            cp.hillFunc = cp.downhillFunc = true;
            cp.downhillGain = 1.7f;
            cp.contrast[0] = 1.2f;
            cp.offset[1] = -0.1f;
        }
        cp.lumaOut = curves == 3;
        for (int threads : {1, 2}) {
            parallel::setThreadCount(threads);
            const QImage image = kernels::colorAdjusted(*acc, cp);
            for (int y = 0; y < acc->height; ++y) {
                const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
                for (int x = 0; x < acc->width; ++x) {
                    const float* p = acc->pixel(x, y);
                    QRgb expected = qRgb(0, 0, 0);
                    if (p[3] != 0.0f) {
                        float v[3];
                        for (int c = 0; c < 3; ++c)
                            v[c] = kernels::adjustChannel(p[c], p[3], c, cp);
                        if (cp.lumaOut) {
                            float l = float(cp.lumaWeightR * v[0] + cp.lumaWeightG * v[1] + cp.lumaWeightB * v[2]);
                            v[0] = v[1] = v[2] = std::min(l, 1.0f);
                        }
                        expected = qRgb(fixtures::byteOf(v[0]), fixtures::byteOf(v[1]), fixtures::byteOf(v[2]));
                    }
                    if (line[x] != expected)
                        QFAIL(qPrintable(QStringLiteral("pixel %1,%2 with %3 threads").arg(x).arg(y).arg(threads)));
                }
            }
        }
        parallel::setThreadCount(0);
    }

private:
    QTemporaryDir dir;
};

QTEST_GUILESS_MAIN(TestSpeedEquivalence)
#include "tst_speed_equivalence.moc"
