#pragma once
// What the window suites share: a shown main window over a temporary folder, whose message boxes
// answer from the test and are recorded, and readers of what the window displays.

#include "fixtures.h"
#include "nebulo.h"

#include <QCoreApplication>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest/QtTest>

#include <memory>

namespace windowfixture {

// Processing times vary from run to run; everything else in a log line is exact.
inline QString maskTime(QString line)
{
    static const QRegularExpression time(QStringLiteral("\\d+\\.\\d\\ds$"));
    return line.replace(time, QStringLiteral("<t>s"));
}

// Empty when the images have the same size and colours (alpha ignored); otherwise the first difference.
inline QString firstDifference(const QImage& actual, const QImage& expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width()).arg(actual.height()).arg(expected.width()).arg(expected.height());
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x)
            if ((actual.pixel(x, y) & 0xffffff) != (expected.pixel(x, y) & 0xffffff))
                return QStringLiteral("pixel (%1, %2) is #%3, expected #%4")
                    .arg(x).arg(y)
                    .arg(actual.pixel(x, y) & 0xffffff, 6, 16, QLatin1Char('0'))
                    .arg(expected.pixel(x, y) & 0xffffff, 6, 16, QLatin1Char('0'));
    return QString();
}

// Base of a window suite. Its init() calls createWindow(), installs the file dialogs it needs and
// calls showWindow(); its cleanup() calls destroyWindow().
class WindowFixture : public QObject {
protected:
    // A new temporary folder and a new window whose question boxes answer `answer` and whose
    // questions and warnings are recorded ("title|text|informative", "title|text"). False, with
    // the test failed, when the folder cannot be made.
    bool createWindow()
    {
        dir = std::make_unique<QTemporaryDir>();
        if (!QTest::qVerify(dir->isValid(), "dir->isValid()", "", __FILE__, __LINE__))
            return false;
        warnings.clear();
        questions.clear();
        answer = QMessageBox::No;

        w = std::make_unique<Nebulo>();
        w->prompts.question = [this](const QString& title, const QString& text, const QString& informative) {
            questions << title + QLatin1Char('|') + text + QLatin1Char('|') + informative;
            return answer;
        };
        w->prompts.warning = [this](QWidget*, const QString& title, const QString& text) {
            warnings << title + QLatin1Char('|') + text;
        };
        return true;
    }

    void showWindow()
    {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    }

    void destroyWindow()
    {
        w.reset();
        dir.reset();
    }

    // The log pane, one paragraph a line.
    QStringList log() const
    {
        QStringList lines;
        const QTextDocument* doc = w->ui.teDebug->document();
        for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
            lines << b.text();
        return lines;
    }

    QStringList logSince(int start) const
    {
        return log().mid(start);
    }

    // The image the scene shows; null unless the scene holds exactly the window's pixmap item.
    QImage shown() const
    {
        const QList<QGraphicsItem*> items = w->scene->items();
        if (items.size() != 1 || items.first() != w->pixmapItem || !w->pixmapItem)
            return QImage();
        return w->pixmapItem->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    }

    QStringList frameInfo() const
    {
        return w->ui.teFrameInfo->toPlainText().split(QLatin1Char('\n'));
    }

    QPoint viewportPoint(const QPointF& scenePoint) const
    {
        return w->view->mapFromScene(scenePoint);
    }

    void mouse(QEvent::Type type, const QPoint& pos, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QWidget* viewport = w->view->viewport();
        QMouseEvent event(type, QPointF(pos), viewport->mapToGlobal(QPointF(pos)), button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &event);
    }

    // Moves the mouse over a scene point; the point must map to a viewport pixel and back exactly.
    void hoverScene(const QPointF& scenePoint)
    {
        const QPoint pos = viewportPoint(scenePoint);
        QCOMPARE(w->view->mapToScene(pos), scenePoint);
        mouse(QEvent::MouseMove, pos, Qt::NoButton, Qt::NoButton);
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Nebulo> w;
    QStringList warnings;
    QStringList questions;
    QMessageBox::StandardButton answer = QMessageBox::No;
};

} // namespace windowfixture
