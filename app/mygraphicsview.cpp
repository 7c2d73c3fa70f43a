#include "mygraphicsview.h"

MyGraphicsView::MyGraphicsView(QWidget* parent)
    : QGraphicsView(parent)
{
}

void MyGraphicsView::mousePressEvent(QMouseEvent* e)
{
    emit mgvMousePressed(e);
}

void MyGraphicsView::mouseMoveEvent(QMouseEvent* e)
{
    emit mgvMouseMoved(e);
}
