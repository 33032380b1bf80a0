#pragma once

#include <QImage>
#include <QWidget>

namespace quelby {

// A fixed 256 × 256 view of a 24-bit picture, painted one to one. Reports the
// pointer in its own pixels (x = column, y = row); while a button pressed on it
// is held, moves keep coming from outside it, with x or y below 0 or above 255.
class PictureView : public QWidget {
    Q_OBJECT
public:
    PictureView(const QImage& picture, QWidget* parent);

    // Draws `image` onto the held picture at (0, 0), one to one, and repaints.
    void drawImage(const QImage& image);
    const QImage& picture() const { return picture_; }

signals:
    void pressed(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);
    void moved(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int x, int y);
    void released(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QImage picture_;
};

}  // namespace quelby
