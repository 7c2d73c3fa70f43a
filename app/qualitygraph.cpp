#include "qualitygraph.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <numeric>

namespace {

constexpr double kMargin = 5.0;    // between the widget's edge and the plot, room for the dots
constexpr double kDot = 2.5;       // dot radius
constexpr double kHitRadius = 6.0; // how near a click must be to a point

} // namespace

QualityGraph::QualityGraph(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("qualityGraph"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setToolTip(tr("Quality of every frame: dots in sequence order (filled: kept), the line sorted from best to "
                  "worst, dashed: the selection threshold. Click a point to select its frame."));
}

void QualityGraph::setFrames(const std::vector<double>& quality, const std::vector<bool>& kept)
{
    quality_ = quality;
    kept_ = kept;
    kept_.resize(quality_.size(), false);
    order_.resize(quality_.size());
    std::iota(order_.begin(), order_.end(), 0);
    // Best first; equal ratings keep sequence order, as the selection of the best frames does.
    std::stable_sort(order_.begin(), order_.end(), [this](int a, int b) {
        return quality_[std::size_t(a)] > quality_[std::size_t(b)];
    });
    rank_.assign(quality_.size(), 0);
    for (std::size_t r = 0; r < order_.size(); ++r)
        rank_[std::size_t(order_[r])] = int(r);
    update();
}

void QualityGraph::setKept(int frame, bool kept)
{
    if (frame < 0 || frame >= int(kept_.size()) || kept_[std::size_t(frame)] == kept)
        return;
    kept_[std::size_t(frame)] = kept;
    update();
}

void QualityGraph::setThreshold(double quality)
{
    threshold_ = quality;
    update();
}

QRectF QualityGraph::plotRect() const
{
    return QRectF(rect()).adjusted(kMargin, kMargin, -kMargin, -kMargin);
}

double QualityGraph::xOf(int position) const
{
    const QRectF plot = plotRect();
    const int n = int(quality_.size());
    return n <= 1 ? plot.center().x() : plot.left() + plot.width() * position / (n - 1);
}

double QualityGraph::yOf(double quality) const
{
    // Frames left out of the analysis rate below 0: they sit on the bottom edge.
    const QRectF plot = plotRect();
    return plot.bottom() - plot.height() * std::clamp(quality, 0.0, 100.0) / 100.0;
}

QPointF QualityGraph::dotOf(int frame) const
{
    return QPointF(xOf(frame), yOf(quality_.at(std::size_t(frame))));
}

QPointF QualityGraph::sortedPointOf(int frame) const
{
    return QPointF(xOf(rank_.at(std::size_t(frame))), yOf(quality_.at(std::size_t(frame))));
}

int QualityGraph::frameAt(const QPointF& pos) const
{
    int best = -1;
    double nearest = kHitRadius * kHitRadius;
    for (int i = 0; i < int(quality_.size()); ++i) {
        for (const QPointF& p : {dotOf(i), sortedPointOf(i)}) {
            const QPointF d = p - pos;
            const double distance = d.x() * d.x() + d.y() * d.y();
            if (distance <= nearest) {
                nearest = distance;
                best = i;
            }
        }
    }
    return best;
}

QSize QualityGraph::sizeHint() const
{
    return QSize(160, 110);
}

QSize QualityGraph::minimumSizeHint() const
{
    return QSize(60, 110);
}

void QualityGraph::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(40, 40, 40));
    painter.setPen(QColor(90, 90, 90));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    if (quality_.empty())
        return;
    painter.setRenderHint(QPainter::Antialiasing);

    QPainterPath sorted;
    for (std::size_t r = 0; r < order_.size(); ++r) {
        const QPointF p = sortedPointOf(order_[r]);
        if (r == 0)
            sorted.moveTo(p);
        else
            sorted.lineTo(p);
    }
    painter.setPen(QPen(QColor(90, 160, 230), 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(sorted);

    const QColor keptColour(120, 220, 120), droppedColour(150, 150, 150);
    for (int i = 0; i < int(quality_.size()); ++i) {
        const bool kept = kept_[std::size_t(i)];
        painter.setPen(QPen(kept ? keptColour : droppedColour, 1.0));
        painter.setBrush(kept ? QBrush(keptColour) : QBrush(Qt::NoBrush));
        painter.drawEllipse(dotOf(i), kDot, kDot);
    }

    painter.setRenderHint(QPainter::Antialiasing, false);
    const QRectF plot = plotRect();
    const int y = int(std::lround(yOf(threshold_)));
    painter.setPen(QPen(QColor(230, 170, 60), 1.0, Qt::DashLine));
    painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
}

void QualityGraph::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    const int frame = frameAt(event->position());
    if (frame >= 0)
        emit frameClicked(frame);
}
