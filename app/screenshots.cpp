// Takes the README's pictures of the window: run under a virtual display,
//   xvfb-run -s "-screen 0 1600x1000x24" ./build/app/nebulo-screenshots FRAME_DIR OUT_DIR
// FRAME_DIR holds a planet sequence (frame_*.png, e.g. from make-seeing). The window opens it,
// rates the frames, keeps the best quarter, aligns with "Planet" and stacks with alignment points;
// OUT_DIR receives alignment-points.png (the window with the points over the stack) and
// global-vs-multipoint.png (the disk from the global and from the multi-point stack, side by side).
//
//   nebulo-screenshots --capture CAPTURE_DIR OUT_DIR
// writes (or keeps) a capture-like sequence of 1920x1440 frames in CAPTURE_DIR, opens it and rates it;
// OUT_DIR receives window-fit.png (the whole frame fitted into the view, the quality graph under
// "Analyze Quality"), window-100.png (100%, scrolled to the planet) and window-running.png (a second
// into "Stack": the progress bar and "Cancel" in the status bar). With QT_SCALE_FACTOR=1.5 the same
// program writes window-150.png (the window with the frames open) and tabs-150.png (every page of the
// tab column side by side) instead.

#include "memory.h"
#include "nebulo.h"
#include "synthetic.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QPainter>
#include <QScrollArea>
#include <QTabBar>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace {

// The part of a stack around its bright disk, enlarged so that detail shows in the README.
QImage diskCrop(const QImage& stack, int scale)
{
    int x0 = stack.width(), y0 = stack.height(), x1 = -1, y1 = -1;
    for (int y = 0; y < stack.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(stack.constScanLine(y));
        for (int x = 0; x < stack.width(); ++x)
            if (qGray(line[x]) > 40) {
                x0 = std::min(x0, x);
                y0 = std::min(y0, y);
                x1 = std::max(x1, x);
                y1 = std::max(y1, y);
            }
    }
    if (x1 < x0)
        return stack;
    const QRect box = QRect(QPoint(x0, y0), QPoint(x1, y1)).adjusted(-8, -8, 8, 8).intersected(stack.rect());
    return stack.copy(box).scaled(box.size() * scale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

// Lets the window lay itself out and paint before it is grabbed.
void settle()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

bool save(const QImage& image, const QDir& out, const QString& name)
{
    const QString path = out.filePath(name);
    if (!image.save(path))
        return false;
    std::printf("wrote %s (%dx%d)\n", qPrintable(path), image.width(), image.height());
    return true;
}

// The capture pictures: the frames fitted, at 100% on the planet, and a run in progress.
int captureShots(const QStringList& paths, const QDir& out)
{
    Nebulo window;
    window.resize(1480, 900);
    window.show();
    settle();
    window.openFiles(paths);
    window.ui.pbQSelect->click();
    settle();
    bool ok = save(window.grab().toImage(), out, QStringLiteral("window-fit.png"));

    // 100%, centred on the planet at the middle of the frame, the pointer's pixel in the status bar.
    window.view->actualSize();
    window.view->centerOn(window.scene->sceneRect().center());
    settle();
    const QPoint limb = window.view->mapFromScene(window.scene->sceneRect().center() - QPointF(40, 40));
    QMouseEvent move(QEvent::MouseMove, QPointF(limb), window.view->viewport()->mapToGlobal(QPointF(limb)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(window.view->viewport(), &move);
    settle();
    ok = save(window.grab().toImage(), out, QStringLiteral("window-100.png")) && ok;

    // A second into "Stack" (after a whole "Planet" alignment); the picture is taken while the loop
    // runs, then the run is cancelled.
    window.view->fitToWindow();
    window.ui.tabWidget->setCurrentWidget(window.ui.tab_2);
    window.ui.comboBox->setCurrentIndex(2);
    window.ui.pbAlign->click();
    window.ui.tabWidget->setCurrentWidget(window.ui.tab_3);
    QTimer::singleShot(1000, &window, [&] {
        settle();
        ok = save(window.grab().toImage(), out, QStringLiteral("window-running.png")) && ok;
        window.cancelOperation();
    });
    window.ui.pbStack2->click();
    return ok ? 0 : 1;
}

// At the scale QT_SCALE_FACTOR sets: the window, and every page of the tab column side by side.
int scaledShots(const QStringList& paths, const QDir& out)
{
    Nebulo window;
    window.resize(1280, 860);
    window.show();
    settle();
    window.openFiles(paths);
    window.ui.pbQSelect->click();
    settle();
    bool ok = save(window.grab().toImage(), out, QStringLiteral("window-150.png"));
    // Each page down to the end of the tabs or of its controls, whichever is lower.
    QList<QImage> pages;
    int height = 0;
    QWidget* column = window.ui.frame;
    const QTabBar* tabs = window.ui.tabWidget->tabBar();
    for (int i = 0; i < window.ui.tabWidget->count(); ++i) {
        window.ui.tabWidget->setCurrentIndex(i);
        settle();
        const auto* area = window.ui.tabWidget->widget(i)->findChild<QScrollArea*>();
        int bottom = tabs->mapTo(column, tabs->tabRect(tabs->count() - 1).bottomLeft()).y();
        if (area && area->widget())
            bottom = std::max(bottom, area->mapTo(column, QPoint(0, 0)).y() + area->widget()->sizeHint().height());
        height = std::max(height, std::min(column->height(), bottom + 8));
        pages << column->grab().toImage();
    }
    int width = 0;
    for (QImage& page : pages) {
        page = page.copy(0, 0, page.width(), int(std::ceil(height * page.devicePixelRatio())));
        width += page.width() + 8;
    }
    height = pages.isEmpty() ? 1 : pages.first().height();
    QImage all(width - 8, height, QImage::Format_RGB32);
    all.fill(qRgb(30, 30, 30));
    QPainter painter(&all);
    int x = 0;
    for (const QImage& page : pages) {
        painter.drawImage(QRect(x, 0, page.width(), page.height()), page, page.rect());
        x += page.width() + 8;
    }
    painter.end();
    ok = save(all, out, QStringLiteral("tabs-150.png")) && ok;
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    memory::keepLargeBuffers();
    QApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--capture") {
        const QDir out(QString::fromLocal8Bit(argv[3]));
        const QStringList paths =
            synth::writeCapture(QString::fromLocal8Bit(argv[2]), QStringLiteral("capture"), 40, 1920, 1440);
        if (paths.isEmpty() || !QDir().mkpath(out.path())) {
            std::fprintf(stderr, "nebulo-screenshots: cannot write frames into %s or make %s\n", argv[2], argv[3]);
            return 1;
        }
        return qEnvironmentVariableIsSet("QT_SCALE_FACTOR") ? scaledShots(paths, out) : captureShots(paths, out);
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: nebulo-screenshots FRAME_DIR OUT_DIR\n"
                             "       nebulo-screenshots --capture CAPTURE_DIR OUT_DIR\n");
        return 2;
    }
    const QDir frames(QString::fromLocal8Bit(argv[1]));
    const QDir out(QString::fromLocal8Bit(argv[2]));
    QStringList paths;
    for (const QString& f : frames.entryList({QStringLiteral("frame_*.png")}, QDir::Files, QDir::Name))
        paths << frames.filePath(f);
    if (paths.isEmpty() || !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "nebulo-screenshots: no frames in %s or no folder %s\n", argv[1], argv[2]);
        return 1;
    }

    Nebulo window;
    window.resize(1480, 900);
    window.show();
    QApplication::processEvents();
    window.openFiles(paths);
    window.gradientH();
    window.ui.cbMinQuality->setChecked(false);
    window.ui.sbQFrames->setValue(std::max(1, int(paths.size()) / 4));
    window.gradientH();
    window.ui.tabWidget->setCurrentWidget(window.ui.tab_2);
    window.ui.comboBox->setCurrentIndex(2);
    window.ui.pbAlign->click();

    window.ui.tabWidget->setCurrentWidget(window.ui.tab_3);
    window.ui.cbAlignPoints->setChecked(false);
    window.ui.pbStack2->click();
    const QImage global = window.engine.colorAdjusted();
    window.ui.cbAlignPoints->setChecked(true);
    window.ui.pbStack2->click();
    const QImage multiPoint = window.engine.colorAdjusted();
    QApplication::processEvents();
    window.grab().save(out.filePath(QStringLiteral("alignment-points.png")));

    const QImage a = diskCrop(global, 2), b = diskCrop(multiPoint, 2);
    QImage pair(a.width() + b.width() + 12, std::max(a.height(), b.height()) + 28, QImage::Format_RGB32);
    pair.fill(qRgb(60, 60, 60));
    QPainter painter(&pair);
    painter.drawImage(0, 28, a);
    painter.drawImage(a.width() + 12, 28, b);
    painter.setPen(QColor(220, 220, 220));
    QFont font = painter.font();
    font.setPixelSize(16);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, a.width(), 26), Qt::AlignCenter, QStringLiteral("Planet, global stack"));
    painter.drawText(QRect(a.width() + 12, 0, b.width(), 26), Qt::AlignCenter, QStringLiteral("Planet, alignment points"));
    painter.end();
    pair.save(out.filePath(QStringLiteral("global-vs-multipoint.png")));
    std::printf("wrote %s and %s\n", qPrintable(out.filePath(QStringLiteral("alignment-points.png"))),
                qPrintable(out.filePath(QStringLiteral("global-vs-multipoint.png"))));
    return 0;
}
