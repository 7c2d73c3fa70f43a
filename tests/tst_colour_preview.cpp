// A colour control on a large stack: a sampled preview at once, the exact image once the controls
// rest; the preview's pixels are the exact image's at the sampled positions.

#include "fixtures.h"
#include "nebulo.h"
#include "windowfixture.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QtTest/QtTest>

namespace {

const QVector<QPoint> kShifts = {{0, 0}, {3, -4}, {-2, 2}, {5, 1}};

// Every step-th pixel of the image in each axis.
QImage sampled(const QImage& image, int step)
{
    QImage out((image.width() + step - 1) / step, (image.height() + step - 1) / step, QImage::Format_RGB32);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            out.setPixel(x, y, image.pixel(x * step, y * step));
    return out;
}

} // namespace

class TestColourPreview : public windowfixture::WindowFixture {
    Q_OBJECT

private slots:
    void init()
    {
        if (!createWindow())
            return;
        showWindow();
    }
    void cleanup() { destroyWindow(); }

    void sampledAdjustmentIsTheFullOneAtTheSamples_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QRect>("region"); // null: the whole stack
        for (int step : {1, 2, 3, 7, 60})
            QTest::newRow(qPrintable(QStringLiteral("step %1").arg(step))) << step << QRect();
        QTest::newRow("part, step 1") << 1 << QRect(5, 7, 20, 11);
        QTest::newRow("part, step 3") << 3 << QRect(4, 2, 31, 17);
        QTest::newRow("part beyond the edges") << 2 << QRect(40, 30, 40, 40);
    }
    void sampledAdjustmentIsTheFullOneAtTheSamples()
    {
        QFETCH(int, step);
        QFETCH(QRect, region);
        auto acc = createFloatImage(53, 38);
        synth::Rng rng(4);
        for (std::size_t i = 0; i < acc->floatCount(); i += 4) {
            const float w = float(rng.below(3));
            for (int c = 0; c < 3; ++c)
                acc->data[i + std::size_t(c)] = float(rng.uniform()) * w;
            acc->data[i + 3] = w;
        }
        kernels::ColourParams cp;
        cp.gamma[1] = 0.6f;
        cp.lowValueBoost = true;
        const QImage full = kernels::colorAdjusted(*acc, cp);
        const QImage preview = kernels::colorAdjustedSampled(*acc, cp, step, region);
        const QRect part = region.isNull() ? full.rect() : region & full.rect();
        QCOMPARE(preview.size(), QSize((part.width() + step - 1) / step, (part.height() + step - 1) / step));
        QCOMPARE(preview, sampled(full.copy(part), step));
    }

    // A stack of the shifted squares, made through the window.
    void stackThroughTheWindow(int width, int height)
    {
        QVector<QImage> frames;
        for (const QPoint& s : kShifts)
            frames << fixtures::brightSquare(width, height, width / 2 + s.x(), height / 2 + s.y(), 9, qRgb(220, 200, 180));
        const QStringList paths = fixtures::writeSequence(*dir, QStringLiteral("stack"), frames);
        QCOMPARE(paths.size(), frames.size());
        w->openFiles(paths);
        w->ui.lwFrames->setCurrentRow(0);
        w->ui.pbWeight->click();
        w->ui.pbAlign->click();
        w->ui.pbStack2->click();
        QVERIFY(w->engine.accumulator);
    }

    void largeStackShowsPreviewThenExactImage()
    {
        stackThroughTheWindow(120, 100);
        const QSize extent(w->engine.accumulator->width, w->engine.accumulator->height);
        const qint64 pixels = qint64(extent.width()) * extent.height();

        // This stack counts as large; the preview samples every 3rd pixel (at most pixels / 9).
        w->previewAbovePixels = pixels - 1;
        w->previewPixels = pixels / 9;
        w->colourRestMs = 20;
        w->ui.sbGammaG->setValue(1.7);
        QCOMPARE(w->engine.gammaG, 1.7f);
        const QImage exact = w->engine.colorAdjusted();
        QCOMPARE(shown(), sampled(exact, 3));
        QCOMPARE(w->pixmapItem->scale(), 3.0);
        QCOMPARE(w->scene->sceneRect(), QRectF(QPointF(0, 0), QSizeF(extent)));

        // A further move restarts the wait; once the controls rest the exact image replaces the preview.
        w->ui.sbGainR->setValue(1.4);
        const QImage exactNow = w->engine.colorAdjusted();
        QVERIFY(exactNow != exact);
        QCOMPARE(shown(), sampled(exactNow, 3));
        QTRY_COMPARE(shown(), exactNow);
        QCOMPARE(w->pixmapItem->scale(), 1.0);
        QCOMPARE(w->scene->sceneRect(), QRectF(QPointF(0, 0), QSizeF(extent)));

        // A stack at or below the bound shows the exact image at once.
        w->previewAbovePixels = pixels;
        w->ui.sbGainR->setValue(1.2);
        QCOMPARE(shown(), w->engine.colorAdjusted());
    }

    // The preview holds what the view shows: one sample per screen pixel when shrunk, only the
    // visible part when enlarged.
    void previewFollowsTheView()
    {
        stackThroughTheWindow(900, 700);
        const QSize extent(w->engine.accumulator->width, w->engine.accumulator->height);
        w->previewAbovePixels = 0;
        w->colourRestMs = 100000;

        w->view->setZoom(0.25);
        w->ui.sbGammaG->setValue(1.7);
        QCOMPARE(w->pixmapItem->scale(), 4.0);
        QCOMPARE(w->pixmapItem->pos(), QPointF(0, 0));
        QCOMPARE(shown(), sampled(w->engine.colorAdjusted(), 4));

        w->view->setZoom(4.0);
        w->ui.sbGammaG->setValue(1.5);
        const QRect visible = w->view->mapToScene(w->view->viewport()->rect()).boundingRect().toAlignedRect();
        QVERIFY(visible.width() < extent.width() / 2 && visible.height() < extent.height() / 2);
        QCOMPARE(w->pixmapItem->scale(), 1.0);
        QCOMPARE(w->pixmapItem->pos(), QPointF(visible.topLeft()));
        QCOMPARE(shown(), w->engine.colorAdjusted().copy(visible));
        QCOMPARE(w->scene->sceneRect(), QRectF(QPointF(0, 0), QSizeF(extent)));
    }
};

QTEST_MAIN(TestColourPreview)
#include "tst_colour_preview.moc"
