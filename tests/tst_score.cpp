// The scorer that the sharpness benchmark rates stacks with, and the seeing simulator it rates them
// against: registration to a known sub-pixel offset, the brightness fit, the ordering of sharp and
// soft copies, and the simulator's own bookkeeping.

#include "score.h"
#include "seeing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

constexpr int kWidth = 200, kHeight = 160, kMargin = 20;

seeing::Plane3 sceneFor(bool planet)
{
    return planet ? seeing::renderPlanetScene(kWidth + 2 * kMargin, kHeight + 2 * kMargin, 3)
                  : seeing::renderMoonScene(kWidth + 2 * kMargin, kHeight + 2 * kMargin, 3);
}

// The frame-sized middle of the scene, moved so that stack pixel p shows scene pixel
// p - (cx, cy) + (sx, sy) + margin, on a canvas of cw x ch, then scaled by gain and lifted by lift.
QImage placed(const seeing::Plane3& scene, double sx, double sy, int cx, int cy, int cw, int ch, double gain = 1,
              double lift = 0)
{
    seeing::Plane3 canvas(cw, ch);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            float* out = canvas.at(x + cx, y + cy);
            seeing::sampleLanczos(scene, x + kMargin + sx, y + kMargin + sy, out);
            for (int c = 0; c < 3; ++c)
                out[c] = float(gain * out[c] + lift);
        }
    return seeing::toImage(canvas);
}

QImage truthOf(const seeing::Plane3& scene) { return placed(scene, 0, 0, 0, 0, kWidth, kHeight); }

QImage blurred(const QImage& image, int radius)
{
    seeing::Plane3 p = seeing::fromImage(image), out(p.width, p.height);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            float sum[3] = {0, 0, 0};
            int n = 0;
            for (int j = std::max(0, y - radius); j <= std::min(p.height - 1, y + radius); ++j)
                for (int i = std::max(0, x - radius); i <= std::min(p.width - 1, x + radius); ++i, ++n)
                    for (int c = 0; c < 3; ++c)
                        sum[c] += p.at(i, j)[c];
            for (int c = 0; c < 3; ++c)
                out.at(x, y)[c] = sum[c] / float(n);
        }
    return seeing::toImage(out);
}

} // namespace

class TestScore : public QObject {
    Q_OBJECT
private slots:
    void registersKnownOffsets_data();
    void registersKnownOffsets();
    void sharperScoresHigher();
    void refusesWhatCannotBeScored();
    void simulatorKeepsItsBooks();
    void simulatorIgnoresThreadCount();
};

void TestScore::registersKnownOffsets_data()
{
    QTest::addColumn<bool>("planet");
    QTest::addColumn<double>("sx");
    QTest::addColumn<double>("sy");
    QTest::addColumn<int>("cx");
    QTest::addColumn<int>("cy");
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("lift");
    QTest::addColumn<double>("minPsnr");
    QTest::newRow("planet, itself") << true << 0.0 << 0.0 << 0 << 0 << 1.0 << 0.0 << 100.0;
    QTest::newRow("planet, sub-pixel on a larger canvas") << true << 0.3 << -0.45 << 17 << 9 << 1.0 << 0.0 << 38.0;
    QTest::newRow("planet, dimmer and lifted") << true << -0.7 << 0.25 << 31 << 4 << 0.6 << 20.0 << 36.0;
    QTest::newRow("moon, itself") << false << 0.0 << 0.0 << 0 << 0 << 1.0 << 0.0 << 100.0;
    QTest::newRow("moon, sub-pixel on a larger canvas") << false << -0.35 << 0.6 << 5 << 22 << 1.0 << 0.0 << 34.0;
    QTest::newRow("moon, brighter") << false << 0.5 << 0.5 << 12 << 12 << 1.1 << -5.0 << 32.0;
}

void TestScore::registersKnownOffsets()
{
    QFETCH(bool, planet);
    QFETCH(double, sx);
    QFETCH(double, sy);
    QFETCH(int, cx);
    QFETCH(int, cy);
    QFETCH(double, gain);
    QFETCH(double, lift);
    QFETCH(double, minPsnr);
    const seeing::Plane3 scene = sceneFor(planet);
    const QImage truth = truthOf(scene);
    const QImage stack = placed(scene, sx, sy, cx, cy, kWidth + cx + 8, kHeight + cy + 8, gain, lift);
    const score::Result r = score::compare(stack, truth, planet ? score::Target::Disk : score::Target::Inner);
    QVERIFY2(r.ok, qPrintable(r.problem));
    // Stack pixel p + (cx - sx, cy - sy) shows truth pixel p.
    QVERIFY2(std::fabs(r.dx - (cx - sx)) < 0.05 && std::fabs(r.dy - (cy - sy)) < 0.05,
             qPrintable(QStringLiteral("offset %1, %2").arg(r.dx).arg(r.dy)));
    QVERIFY2(r.psnr > minPsnr, qPrintable(QString::number(r.psnr)));
    QVERIFY(r.ssim > 0.95 && r.ssim <= 1.0 + 1e-9);
    QVERIFY(r.pixels > 1000);
}

void TestScore::sharperScoresHigher()
{
    for (bool planet : {true, false}) {
        const seeing::Plane3 scene = sceneFor(planet);
        const QImage truth = truthOf(scene);
        const score::Target target = planet ? score::Target::Disk : score::Target::Inner;
        const score::Result sharp = score::compare(blurred(truth, 1), truth, target);
        const score::Result soft = score::compare(blurred(truth, 2), truth, target);
        QVERIFY(sharp.ok && soft.ok);
        QVERIFY2(sharp.psnr > soft.psnr + 1.0, qPrintable(QStringLiteral("%1 %2").arg(sharp.psnr).arg(soft.psnr)));
        QVERIFY(sharp.ssim > soft.ssim);
        QVERIFY(sharp.psnr < 60.0); // a blurred copy is not mistaken for the truth
    }
}

void TestScore::refusesWhatCannotBeScored()
{
    const QImage truth = truthOf(sceneFor(true));
    QVERIFY(!score::compare(QImage(), truth, score::Target::Disk).ok);
    // A black truth has no disk.
    const QImage black = seeing::toImage(seeing::Plane3(kWidth, kHeight));
    QVERIFY(!score::compare(truth, black, score::Target::Disk).ok);
    // A stack far smaller than the target cannot cover it.
    QVERIFY(!score::compare(truth.copy(0, 0, 40, 30), truth, score::Target::Disk).ok);
}

void TestScore::simulatorKeepsItsBooks()
{
    seeing::Parameters p;
    p.width = 160;
    p.height = 120;
    p.frames = 12;
    p.seed = 5;
    const seeing::Sequence sequence(p);
    for (int i = 0; i < p.frames; ++i) {
        const seeing::FrameState& s = sequence.state(i);
        QVERIFY(s.warpRms >= p.minWarp && s.warpRms <= p.maxWarp);
        QVERIFY(s.meanBlur >= p.minBlur && s.meanBlur <= p.maxBlur);
        const std::vector<QPointF> field = sequence.displacementField(i);
        double sum = 0;
        for (const QPointF& d : field)
            sum += d.x() * d.x() + d.y() * d.y();
        const double rms = std::sqrt(sum / double(field.size()));
        // The field as rendered has the RMS the frame's state claims (sampled on a coarser grid).
        QVERIFY2(std::fabs(rms - s.warpRms) < 0.15 * s.warpRms, qPrintable(QStringLiteral("%1 vs %2").arg(rms).arg(s.warpRms)));
        for (int y = 0; y < p.height; y += 37)
            for (int x = 0; x < p.width; x += 41) {
                const double b = sequence.blurAt(i, x, y);
                QVERIFY(b >= p.minBlur && b <= p.maxBlur);
            }
    }
    // A frame of a planet with a known shift and no warp, blur or noise registers back to it.
    seeing::Parameters still = p;
    still.frames = 2;
    still.minWarp = still.maxWarp = 0;
    still.jitter = 0;
    still.drift = 6;
    still.minBaseBlur = still.maxBaseBlur = still.blurSpread = 0;
    still.minBlur = still.maxBlur = 0.6;
    still.readNoise = still.shotNoise = 0;
    const seeing::Sequence drifted(still);
    const score::Result r = score::compare(drifted.frame(1), drifted.truth(), score::Target::Disk);
    QVERIFY(r.ok);
    QVERIFY2(std::hypot(r.dx + drifted.state(1).shift.x(), r.dy + drifted.state(1).shift.y()) < 0.05,
             qPrintable(QStringLiteral("%1, %2 for a shift of %3, %4")
                            .arg(r.dx).arg(r.dy).arg(drifted.state(1).shift.x()).arg(drifted.state(1).shift.y())));
    // Frames are a function of the seed and the index alone.
    QCOMPARE(drifted.frame(1), seeing::Sequence(still).frame(1));
}

void TestScore::simulatorIgnoresThreadCount()
{
    // The files written on one thread and on several are the same, byte for byte, for both scenes,
    // and they hold the frames the sequence renders on its own.
    for (seeing::Scene scene : {seeing::Scene::Planet, seeing::Scene::Moon}) {
        seeing::Parameters p;
        p.scene = scene;
        p.width = 120;
        p.height = 90;
        p.frames = 5;
        p.seed = 7;
        const seeing::Sequence sequence(p);
        QTemporaryDir one, several;
        const QStringList serial = sequence.write(one.path(), 1);
        const QStringList parallel = sequence.write(several.path(), 3);
        QCOMPARE(serial.size(), p.frames);
        QCOMPARE(parallel.size(), p.frames);
        QStringList names;
        for (const QString& path : serial)
            names << QFileInfo(path).fileName();
        names << QStringLiteral("truth.png") << QStringLiteral("frames.txt");
        for (const QString& name : names) {
            QFile a(QDir(one.path()).filePath(name)), b(QDir(several.path()).filePath(name));
            QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
            const QByteArray bytes = a.readAll();
            QVERIFY(!bytes.isEmpty());
            QVERIFY2(bytes == b.readAll(), qPrintable(name));
        }
        for (int i = 0; i < p.frames; ++i)
            QCOMPARE(QImage(parallel[i]).convertToFormat(QImage::Format_RGB32),
                     sequence.frame(i).convertToFormat(QImage::Format_RGB32));
    }
}

QTEST_GUILESS_MAIN(TestScore)
#include "tst_score.moc"
