#include "app/PictureView.h"

#include "engine/core/MapStore.h"

#include <QMouseEvent>
#include <QPainter>

#include <cmath>

namespace quelby {

namespace {

// The pixel under the pointer. A scaled display reports positions between pixels;
// rounding them would name the next pixel, or one inside from just outside the edge.
QPoint pixelAt(const QMouseEvent* event)
{
    const QPointF at = event->position();
    return {static_cast<int>(std::floor(at.x())), static_cast<int>(std::floor(at.y()))};
}

}  // namespace

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
    const QPoint at = pixelAt(event);
    emit pressed(event->button(), event->modifiers(), at.x(), at.y());
}

void PictureView::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint at = pixelAt(event);
    emit moved(event->buttons(), event->modifiers(), at.x(), at.y());
}

void PictureView::mouseReleaseEvent(QMouseEvent* event)
{
    const QPoint at = pixelAt(event);
    emit released(event->button(), event->modifiers(), at.x(), at.y());
}

}  // namespace quelby
