#include "mygraphicsview.h"

#include <QGraphicsPixmapItem>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

MyGraphicsView::MyGraphicsView(QWidget* parent)
    : QGraphicsView(parent)
{
    // Enlarged pixels stay sharp squares; the view moves by scroll bars, never by anchors of its own.
    setRenderHint(QPainter::SmoothPixmapTransform, false);
    setTransformationAnchor(QGraphicsView::NoAnchor);
    setResizeAnchor(QGraphicsView::NoAnchor);
}

bool MyGraphicsView::imagePixelAt(const QPoint& viewportPos, QPoint* pixel) const
{
    if (!scene())
        return false;
    const QPointF s = mapToScene(viewportPos) + QPointF(0.5 / zoom_, 0.5 / zoom_);
    const QRectF r = sceneRect();
    const int x = int(std::floor(s.x())), y = int(std::floor(s.y()));
    if (!(x >= r.left() && y >= r.top() && x < r.right() && y < r.bottom()))
        return false;
    if (pixel)
        *pixel = QPoint(x, y);
    return true;
}

void MyGraphicsView::mousePressEvent(QMouseEvent* e)
{
    if (e->button() == Qt::MiddleButton) {
        panning_ = true;
        panFrom_ = e->position().toPoint();
        viewport()->setCursor(Qt::ClosedHandCursor);
        e->accept();
        return;
    }
    emit mgvMousePressed(e);
}

void MyGraphicsView::mouseMoveEvent(QMouseEvent* e)
{
    if (panning_ && (e->buttons() & Qt::MiddleButton)) {
        const QPoint now = e->position().toPoint();
        const QPoint delta = now - panFrom_;
        panFrom_ = now;
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() - delta.x());
        verticalScrollBar()->setValue(verticalScrollBar()->value() - delta.y());
    }
    emit mgvMouseMoved(e);
}

void MyGraphicsView::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() == Qt::MiddleButton && panning_) {
        panning_ = false;
        viewport()->unsetCursor();
        e->accept();
        return;
    }
    emit mgvMouseReleased(e);
    QGraphicsView::mouseReleaseEvent(e);
}

void MyGraphicsView::wheelEvent(QWheelEvent* e)
{
    // One step per notch (120 units); touch pads send smaller deltas, which add up.
    wheelRemainder_ += e->angleDelta().y();
    const int steps = wheelRemainder_ / 120;
    wheelRemainder_ -= steps * 120;
    if (steps != 0)
        setZoom(zoom_ * std::pow(kZoomStep, steps), e->position().toPoint());
    e->accept();
}

void MyGraphicsView::resizeEvent(QResizeEvent* e)
{
    QGraphicsView::resizeEvent(e);
    if (fit_)
        fitToWindow();
}

void MyGraphicsView::fitToWindow()
{
    fit_ = true;
    const QRectF r = sceneRect();
    double z = 1.0;
    if (r.width() > 0 && r.height() > 0) {
        const QSize room = maximumViewportSize();
        z = std::min({1.0, room.width() / r.width(), room.height() / r.height()});
        z = std::max(z, kMinZoom);
    }
    applyZoom(z, QPoint(-1, -1));
}

void MyGraphicsView::actualSize()
{
    setZoom(1.0);
}

void MyGraphicsView::zoomIn()
{
    setZoom(zoom_ * kZoomStep);
}

void MyGraphicsView::zoomOut()
{
    setZoom(zoom_ / kZoomStep);
}

void MyGraphicsView::setZoom(double zoom, const QPoint& anchor)
{
    fit_ = false;
    applyZoom(std::clamp(zoom, kMinZoom, kMaxZoom), anchor);
}

void MyGraphicsView::sceneChanged()
{
    if (fit_)
        fitToWindow();
    else
        applySmoothing();
}

void MyGraphicsView::applySmoothing()
{
    // Shrunk images are filtered for a fair overview; enlarged ones show their pixels as squares.
    if (scene())
        for (QGraphicsItem* item : scene()->items())
            if (auto* pixmap = dynamic_cast<QGraphicsPixmapItem*>(item))
                pixmap->setTransformationMode(zoom_ < 1.0 ? Qt::SmoothTransformation : Qt::FastTransformation);
}

void MyGraphicsView::applyZoom(double zoom, const QPoint& anchor)
{
    const QPoint at = viewport()->rect().contains(anchor) ? anchor : viewport()->rect().center();
    const QPointF fixed = mapToScene(at);
    const bool changed = zoom != zoom_;
    zoom_ = zoom;
    setTransform(QTransform::fromScale(zoom, zoom));
    applySmoothing();
    // Put the scene point back under the anchor.
    const QPointF moved = mapFromScene(fixed);
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() + int(std::lround(moved.x() - at.x())));
    verticalScrollBar()->setValue(verticalScrollBar()->value() + int(std::lround(moved.y() - at.y())));
    if (changed)
        emit zoomChanged(zoom_);
}
