#pragma once

#include <QWidget>

#include <vector>

// Every frame's quality rating (0..100) as two series on one plot: dots in sequence order (filled
// when the frame is kept, hollow when it is not) and a line through the ratings sorted from the best
// to the worst, both across the whole width. A dashed line marks the selection threshold. A click on
// a dot, or on a point of the sorted line, reports that frame.
class QualityGraph : public QWidget {
    Q_OBJECT
public:
    explicit QualityGraph(QWidget* parent = nullptr);

    // The ratings in sequence order and whether each frame is kept (missing flags read as not kept).
    void setFrames(const std::vector<double>& quality, const std::vector<bool>& kept);
    void setKept(int frame, bool kept);
    // The quality the selection keeps frames from.
    void setThreshold(double quality);

    const std::vector<double>& quality() const { return quality_; }
    const std::vector<bool>& kept() const { return kept_; }
    double threshold() const { return threshold_; }

    // Where frame `frame` is drawn, in widget coordinates: its dot, and its point on the sorted line.
    QPointF dotOf(int frame) const;
    QPointF sortedPointOf(int frame) const;
    // The widget row of a quality value.
    double yOf(double quality) const;
    // The frame whose dot or sorted point is nearest to pos, within a few pixels; -1 when none.
    int frameAt(const QPointF& pos) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void frameClicked(int frame);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QRectF plotRect() const;
    double xOf(int position) const;

    std::vector<double> quality_;
    std::vector<bool> kept_;
    // rank_[frame]: the frame's position in the sorted line; order_[rank]: the frame at that position.
    std::vector<int> order_;
    std::vector<int> rank_;
    double threshold_ = 0.0;
};
