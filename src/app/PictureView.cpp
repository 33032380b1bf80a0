#include "PictureView.h"

#include "MapStore.h"

#include <QMouseEvent>
#include <QPainter>

namespace quelby {

PictureView::PictureView(const QImage& picture, QWidget* parent)
    : QWidget(parent), picture_(picture.convertToFormat(QImage::Format_RGB888))
{
    setFixedSize(ImageSide, ImageSide);
    setMouseTracking(true);
}

void PictureView::drawImage(const QImage& image)
{
    QPainter(&picture_).drawImage(0, 0, image);
    update();
}

void PictureView::paintEvent(QPaintEvent*)
{
    QPainter(this).drawImage(0, 0, picture_);
}

void PictureView::mousePressEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    emit pressed(event->button(), event->modifiers(), at.x(), at.y());
}

void PictureView::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    emit moved(event->buttons(), event->modifiers(), at.x(), at.y());
}

void PictureView::mouseReleaseEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    emit released(event->button(), event->modifiers(), at.x(), at.y());
}

}  // namespace quelby
