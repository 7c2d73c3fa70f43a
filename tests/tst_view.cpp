// The image view: fit by default, zoom by wheel, keys and buttons, panning, and the inspector and the
// pick mapped through the zoom and the scroll position to image pixels.

#include "windowfixture.h"

#include <QAction>
#include <QScrollBar>
#include <QToolButton>
#include <QWheelEvent>

namespace {

// Every pixel tells its position: red and green are x and y modulo 256, blue their high bits.
QImage coordinates(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb(x & 255, y & 255, (x >> 8) | ((y >> 8) << 4));
    }
    return image;
}

QStringList expectedLabels(const QImage& image, int x, int y)
{
    const QRgb p = image.pixel(x, y);
    const int luma = int(StackEngine::luminanceOf(QColor(p)) * 255.0);
    return {QStringLiteral("X: %1").arg(x), QStringLiteral("Y: %1").arg(y), QStringLiteral("Red: %1").arg(qRed(p)),
            QStringLiteral("Green: %1").arg(qGreen(p)), QStringLiteral("Blue: %1").arg(qBlue(p)),
            QStringLiteral("Luma: %1").arg(luma)};
}

} // namespace

class TestView : public windowfixture::WindowFixture {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { destroyWindow(); }

    void inspectorAndPickAtZoom_data();
    void inspectorAndPickAtZoom();
    void newSequenceOpensFitted();
    void keysAndButtons();
    void wheelZoomKeepsPixelUnderPointer();
    void middleDragPans();
    void enlargedPixelsStaySharp();

private:
    QStringList labels() const
    {
        return {w->lblX->text(), w->lblY->text(), w->lblRed->text(), w->lblGreen->text(), w->lblBlue->text(),
                w->lblLuma->text()};
    }
    void press(const QPoint& pos, Qt::MouseButton button)
    {
        mouse(QEvent::MouseButtonPress, pos, button, button);
        mouse(QEvent::MouseButtonRelease, pos, button, Qt::NoButton);
    }
    QImage image;
};

void TestView::init()
{
    QVERIFY(createWindow());
    showWindow();
    w->ui.sbFilter->setValue(0);
}

void TestView::inspectorAndPickAtZoom_data()
{
    QTest::addColumn<double>("zoom");
    QTest::newRow("25%") << 0.25;
    QTest::newRow("100%") << 1.0;
    QTest::newRow("400%") << 4.0;
}

void TestView::inspectorAndPickAtZoom()
{
    QFETCH(double, zoom);
    // Larger than the view at every zoom tested, so that the image starts at the scroll origin.
    image = coordinates(3200, 2800);
    w->openFiles({fixtures::write(*dir, QStringLiteral("big.png"), image)});
    w->view->setZoom(zoom);
    QCOMPARE(w->view->zoom(), zoom);
    QScrollBar* h = w->view->horizontalScrollBar();
    QScrollBar* v = w->view->verticalScrollBar();
    QVERIFY(h->maximum() > 0 && v->maximum() > 0);
    h->setValue(h->maximum() / 3);
    v->setValue(v->maximum() / 2);
    const QSize room = w->view->viewport()->size();

    // The viewport pixel (u, v) shows the image pixel whose area holds its centre.
    for (const QPoint& at : {QPoint(0, 0), QPoint(7, 3), QPoint(room.width() / 2, room.height() / 3),
                             QPoint(room.width() - 1, room.height() - 1)}) {
        const int x = int(std::floor((h->value() + at.x() + 0.5) / zoom));
        const int y = int(std::floor((v->value() + at.y() + 0.5) / zoom));
        mouse(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton);
        QCOMPARE(labels(), expectedLabels(image, x, y));
    }

    // A click picks the threshold of the pixel under the pointer.
    const QPoint at(room.width() / 4, room.height() / 4);
    const int x = int(std::floor((h->value() + at.x() + 0.5) / zoom));
    const int y = int(std::floor((v->value() + at.y() + 0.5) / zoom));
    const int hBefore = h->value(), vBefore = v->value();
    press(at, Qt::LeftButton);
    QCOMPARE(labels(), expectedLabels(image, x, y));
    QCOMPARE(w->ui.sbWeight->value(), int(StackEngine::luminanceOf(QColor(image.pixel(x, y))) * 255.0));
    // The pick shows its preview in place: zoom and scroll position stay.
    QCOMPARE(w->view->zoom(), zoom);
    QCOMPARE(h->value(), hBefore);
    QCOMPARE(v->value(), vBefore);
}

void TestView::newSequenceOpensFitted()
{
    image = coordinates(1920, 1440);
    w->openFiles({fixtures::write(*dir, QStringLiteral("a.png"), image)});
    QVERIFY(w->view->fitting());
    const QSize room = w->view->maximumViewportSize();
    const double zoom = w->view->zoom();
    QVERIFY(zoom < 1.0);
    // The whole image fits, and it fills the view in one direction.
    QVERIFY(1920 * zoom <= room.width() + 1e-9 && 1440 * zoom <= room.height() + 1e-9);
    QVERIFY(std::abs(1920 * zoom - room.width()) < 1.0 || std::abs(1440 * zoom - room.height()) < 1.0);
    QCOMPARE(w->view->horizontalScrollBar()->maximum(), 0);
    QCOMPARE(w->view->verticalScrollBar()->maximum(), 0);
    QCOMPARE(w->lblZoom->text(), QString::number(zoom * 100, 'f', 0) + QStringLiteral("%"));

    // Zoomed in, then a new sequence: fitted again. A small image is not enlarged.
    w->view->setZoom(4.0);
    w->openFiles({fixtures::write(*dir, QStringLiteral("b.png"), coordinates(100, 80))});
    QVERIFY(w->view->fitting());
    QCOMPARE(w->view->zoom(), 1.0);
    // The window growing keeps the fit.
    w->openFiles({fixtures::write(*dir, QStringLiteral("c.png"), image)});
    const double before = w->view->zoom();
    w->resize(w->width() + 200, w->height() + 150);
    QTRY_VERIFY(w->view->zoom() > before);
    QVERIFY(w->view->fitting());
}

void TestView::keysAndButtons()
{
    image = coordinates(1920, 1440);
    w->openFiles({fixtures::write(*dir, QStringLiteral("a.png"), image)});
    const double fitted = w->view->zoom();
    QTest::keyClick(w.get(), Qt::Key_1, Qt::ControlModifier);
    QCOMPARE(w->view->zoom(), 1.0);
    QVERIFY(!w->view->fitting());
    QCOMPARE(w->lblZoom->text(), QStringLiteral("100%"));
    QTest::keyClick(w.get(), Qt::Key_Plus, Qt::ControlModifier);
    QCOMPARE(w->view->zoom(), 1.25);
    QTest::keyClick(w.get(), Qt::Key_Minus, Qt::ControlModifier);
    QTest::keyClick(w.get(), Qt::Key_Minus, Qt::ControlModifier);
    QCOMPARE(w->view->zoom(), 1.0 / 1.25);
    QTest::keyClick(w.get(), Qt::Key_0, Qt::ControlModifier);
    QVERIFY(w->view->fitting());
    QCOMPARE(w->view->zoom(), fitted);
    // The buttons in the status bar do the same.
    auto* actual = w->ui.statusBar->findChild<QToolButton*>(QStringLiteral("tbActualSize"));
    auto* fit = w->ui.statusBar->findChild<QToolButton*>(QStringLiteral("tbFit"));
    QVERIFY(actual && fit);
    QCOMPARE(actual->text(), QStringLiteral("100%"));
    QCOMPARE(fit->text(), QStringLiteral("Fit"));
    actual->click();
    QCOMPARE(w->view->zoom(), 1.0);
    fit->click();
    QCOMPARE(w->view->zoom(), fitted);
    // Limits.
    w->view->setZoom(1000.0);
    QCOMPARE(w->view->zoom(), MyGraphicsView::kMaxZoom);
    w->view->setZoom(0.0);
    QCOMPARE(w->view->zoom(), MyGraphicsView::kMinZoom);
}

void TestView::wheelZoomKeepsPixelUnderPointer()
{
    image = coordinates(1920, 1440);
    w->openFiles({fixtures::write(*dir, QStringLiteral("a.png"), image)});
    w->view->setZoom(1.0);
    w->view->centerOn(900, 700);
    QWidget* viewport = w->view->viewport();
    const QPoint at(viewport->width() / 3, viewport->height() / 4);
    mouse(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton);
    const QStringList before = labels();
    auto wheel = [&](int delta) {
        QWheelEvent e(QPointF(at), viewport->mapToGlobal(QPointF(at)), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(viewport, &e);
    };
    wheel(120);
    QCOMPARE(w->view->zoom(), 1.25);
    wheel(240);
    QCOMPARE(w->view->zoom(), 1.25 * 1.25 * 1.25);
    // Half notches add up to one step.
    wheel(60);
    QCOMPARE(w->view->zoom(), 1.25 * 1.25 * 1.25);
    wheel(60);
    QCOMPARE(w->view->zoom(), 1.25 * 1.25 * 1.25 * 1.25);
    mouse(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton);
    // Scroll positions are whole pixels: the pixel under the pointer moves by at most one.
    const int x0 = before[0].mid(3).toInt(), y0 = before[1].mid(3).toInt();
    QVERIFY2(std::abs(w->lblX->text().mid(3).toInt() - x0) <= 1, qPrintable(w->lblX->text() + before[0]));
    QVERIFY2(std::abs(w->lblY->text().mid(3).toInt() - y0) <= 1, qPrintable(w->lblY->text() + before[1]));
    wheel(-480);
    QCOMPARE(w->view->zoom(), 1.0);
}

void TestView::middleDragPans()
{
    image = coordinates(1920, 1440);
    w->openFiles({fixtures::write(*dir, QStringLiteral("a.png"), image)});
    w->view->setZoom(1.0);
    QScrollBar* h = w->view->horizontalScrollBar();
    QScrollBar* v = w->view->verticalScrollBar();
    h->setValue(300);
    v->setValue(200);
    const int lines = log().size();
    mouse(QEvent::MouseButtonPress, QPoint(100, 100), Qt::MiddleButton, Qt::MiddleButton);
    mouse(QEvent::MouseMove, QPoint(80, 90), Qt::NoButton, Qt::MiddleButton);
    mouse(QEvent::MouseMove, QPoint(60, 70), Qt::NoButton, Qt::MiddleButton);
    mouse(QEvent::MouseButtonRelease, QPoint(60, 70), Qt::MiddleButton, Qt::NoButton);
    QCOMPARE(h->value(), 340);
    QCOMPARE(v->value(), 230);
    // Dragging picks nothing; moving afterwards no longer pans.
    QCOMPARE(w->ui.sbWeight->value(), 75);
    QCOMPARE(log().size(), lines);
    mouse(QEvent::MouseMove, QPoint(10, 10), Qt::NoButton, Qt::NoButton);
    QCOMPARE(h->value(), 340);
}

void TestView::enlargedPixelsStaySharp()
{
    image = coordinates(300, 200);
    w->openFiles({fixtures::write(*dir, QStringLiteral("a.png"), image)});
    w->view->setZoom(4.0);
    QCOMPARE(w->pixmapItem->transformationMode(), Qt::FastTransformation);
    w->view->horizontalScrollBar()->setValue(0);
    w->view->verticalScrollBar()->setValue(0);
    const QImage shot = w->view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    // Every 4 x 4 block on screen is one image pixel's colour.
    for (int by = 0; by < 10; ++by)
        for (int bx = 0; bx < 10; ++bx)
            for (int dy = 0; dy < 4; ++dy)
                for (int dx = 0; dx < 4; ++dx)
                    QCOMPARE(shot.pixel(bx * 4 + dx, by * 4 + dy) & 0xffffff, image.pixel(bx, by) & 0xffffff);
    // Shrunk, the image is filtered.
    w->view->setZoom(0.5);
    QCOMPARE(w->pixmapItem->transformationMode(), Qt::SmoothTransformation);
}

QTEST_MAIN(TestView)
#include "tst_view.moc"
