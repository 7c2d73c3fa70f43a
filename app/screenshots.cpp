// Takes the README's pictures of the window: run under a virtual display,
//   xvfb-run -s "-screen 0 1600x1000x24" ./build/app/nebulo-screenshots FRAME_DIR OUT_DIR
// FRAME_DIR holds a planet sequence (frame_*.png, e.g. from make-seeing). The window opens it,
// rates the frames, keeps the best quarter, aligns with "Planet" and stacks with alignment points;
// OUT_DIR receives alignment-points.png (the window with the points over the stack) and
// global-vs-multipoint.png (the disk from the global and from the multi-point stack, side by side).

#include "memory.h"
#include "nebulo.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QPainter>

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

} // namespace

int main(int argc, char* argv[])
{
    memory::keepLargeBuffers();
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: nebulo-screenshots FRAME_DIR OUT_DIR\n");
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
