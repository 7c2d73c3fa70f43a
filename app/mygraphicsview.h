#pragma once

#include <QGraphicsView>
#include <QMouseEvent>

class QWheelEvent;

// The image view. It reports the mouse (presses, moves and releases become signals that the window
// turns into the pixel inspector, the threshold pick and the choice of a surface patch) and owns the
// zoom: fit to the window, or a fixed zoom changed with the wheel (centred on the pointer) and by
// steps; the middle button drags the image.
class MyGraphicsView : public QGraphicsView {
    Q_OBJECT
public:
    explicit MyGraphicsView(QWidget* parent = nullptr);

    static constexpr double kMinZoom = 1.0 / 32.0;
    static constexpr double kMaxZoom = 32.0;
    static constexpr double kZoomStep = 1.25;

    // Pixels of the screen per image pixel.
    double zoom() const { return zoom_; }
    // Fit: the whole image in the view, shrunk when it is larger, never enlarged beyond 100%.
    bool fitting() const { return fit_; }

    // The image pixel under a viewport position; false outside the scene (the image shown).
    bool imagePixelAt(const QPoint& viewportPos, QPoint* pixel) const;

signals:
    void mgvMousePressed(QMouseEvent* e);
    void mgvMouseMoved(QMouseEvent* e);
    void mgvMouseReleased(QMouseEvent* e);
    void zoomChanged(double zoom);

public slots:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

    void fitToWindow();
    void actualSize();
    void zoomIn();
    void zoomOut();
    // A fixed zoom; the scene point under the viewport position `anchor` stays there (the view's
    // centre when anchor is outside the viewport).
    void setZoom(double zoom, const QPoint& anchor = QPoint(-1, -1));
    // After the image was replaced: the fit again (when fitting) and the filtering of the zoom.
    void sceneChanged();

protected:
    void wheelEvent(QWheelEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void applyZoom(double zoom, const QPoint& anchor);
    void applySmoothing();

    double zoom_ = 1.0;
    bool fit_ = true;
    bool panning_ = false;
    QPoint panFrom_;
    int wheelRemainder_ = 0;
};
