// How long the program takes to end when its window is closed during a long operation:
//   bench_close [FRAMES] [DIR]
// writes FRAMES (default 40) frames of 1920x1440 with a planet into DIR (default a folder under the
// temporary directory, kept for the next run; DIR holds no other capture_*.png), then, for each long
// operation, starts this program again as a window (on the platform QT_QPA_PLATFORM names, e.g. offscreen or an X server), lets the
// operation run for a second, closes the window and measures the wall-clock time from the close to
// the end of that process. The window child prints the time of the close; the parent takes the time
// when the child has exited.

#include "nebulo.h"
#include "synthetic.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QProgressBar>
#include <QTextBlock>
#include <QTimer>

#include <chrono>
#include <cstdio>

namespace {

qint64 nowMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The window child: runs OPERATION on the frames in DIR, closes the window a second into the run.
int child(const QString& operation, const QString& dir)
{
    Nebulo window;
    window.resize(1280, 860);
    window.show();
    QStringList paths;
    const QDir folder(dir);
    for (const QString& f : folder.entryList({QStringLiteral("capture_*.png")}, QDir::Files, QDir::Name))
        paths << folder.filePath(f);
    QTimer::singleShot(0, &window, [&] {
        window.openFiles(paths);
        QPushButton* button = window.ui.pbQSelect;
        if (operation != QLatin1String("quality")) {
            window.ui.comboBox->setCurrentIndex(2); // "Planet"
            button = window.ui.pbAlign;
        }
        if (operation.startsWith(QLatin1String("stack"))) {
            window.ui.pbAlign->click(); // the whole alignment first, not measured
            window.ui.cbAlignPoints->setChecked(operation == QLatin1String("stack-points"));
            button = window.ui.pbStack2;
        }
        QTimer::singleShot(1000, &window, [&] {
            std::printf("closed %lld progress %d/%d\n", nowMicroseconds(), window.progressBar->value(),
                        window.progressBar->maximum());
            std::fflush(stdout);
            window.close();
        });
        button->click();
    });
    const int status = QApplication::exec();
    const QTextDocument* doc = window.ui.teDebug->document();
    for (QTextBlock b = doc->lastBlock(); b.isValid(); b = b.previous())
        if (b.text().contains(QLatin1String("cancelled"))) {
            std::printf("log %s\n", qPrintable(b.text()));
            break;
        }
    std::printf("loop ended %lld\n", nowMicroseconds());
    std::fflush(stdout);
    return status;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 4 && QByteArray(argv[1]) == "--child") {
        QApplication app(argc, argv);
        return child(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    }
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(2, atoi(argv[1])) : 40;
    const QString dir = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::temp().filePath(QStringLiteral("nebulo-bench-close-%1").arg(count));
    if (synth::writeCapture(dir, QStringLiteral("capture"), count, 1920, 1440).size() != count) {
        std::fprintf(stderr, "bench_close: cannot write frames into %s\n", qPrintable(dir));
        return 1;
    }
    std::printf("%d frames of 1920x1440 in %s\n", count, qPrintable(dir));
    std::printf("%-14s %-10s %14s %14s %s\n", "operation", "at close", "close->loop", "close->exit", "exit");
    for (const char* operation : {"quality", "align", "stack", "stack-points"}) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), QLatin1String(operation), dir});
        if (!process.waitForFinished(-1)) {
            std::fprintf(stderr, "bench_close: the window did not run\n");
            return 1;
        }
        const qint64 ended = nowMicroseconds();
        qint64 closed = 0, loopEnded = 0;
        QString progress = QStringLiteral("-"), cancelled;
        for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.value(0) == "closed") {
                closed = f.value(1).toLongLong();
                progress = QString::fromLatin1(f.value(3));
            } else if (f.value(0) == "loop") {
                loopEnded = f.value(2).toLongLong();
            } else if (f.value(0) == "log") {
                cancelled = QString::fromUtf8(line.mid(4));
            }
        }
        if (closed == 0) {
            std::printf("%-14s the run ended before the close\n", operation);
            continue;
        }
        std::printf("%-14s %-10s %11.0f ms %11.0f ms %d  %s\n", operation, qPrintable(progress),
                    (loopEnded - closed) / 1000.0, (ended - closed) / 1000.0, process.exitCode(), qPrintable(cancelled));
        std::fflush(stdout);
    }
    return 0;
}
