#pragma once

#include <QGraphicsView>
#include <QMouseEvent>

// The image view. It only reports the mouse: presses and moves become signals that the window turns
// into the pixel inspector and the threshold pick.
class MyGraphicsView : public QGraphicsView {
    Q_OBJECT
public:
    explicit MyGraphicsView(QWidget* parent = nullptr);

signals:
    void mgvMousePressed(QMouseEvent* e);
    void mgvMouseMoved(QMouseEvent* e);

public slots:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
};
