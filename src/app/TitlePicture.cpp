#include "app/TitlePicture.h"

#include "engine/core/MapStore.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>

namespace quelby {

namespace {

const QColor Ground(7, 5, 9);
const QColor TitleGreen(11, 195, 20);

// One title line: rows top to bottom hold its ink.
struct TitleLine {
    const char* text;
    int top;
    int bottom;
};

constexpr TitleLine TitleLines[] = {
    {"SNR and g-factor", 77, 96},
    {"mesurement", 110, 124},
    {"in Parallal MRI", 141, 156},
    {"（連続撮像法）", 169, 187},
};

// The ink may span columns 39 to 220 and no more.
constexpr qreal InkLeft = 39;
constexpr qreal InkRight = 221;

// A closed contour around the ellipse in `box`, its radius rippled by `depth`
// with `folds` waves: the folded outline of cortex or white matter.
QPainterPath foldedContour(const QRectF& box, int folds, qreal depth)
{
    QPainterPath contour;
    constexpr int Steps = 360;
    for (int step = 0; step <= Steps; ++step) {
        const qreal angle = 2 * M_PI * step / Steps;
        const qreal ripple = 1 + depth * std::sin(folds * angle);
        const QPointF point(box.center().x() + box.width() / 2 * ripple * std::cos(angle),
                            box.center().y() + box.height() / 2 * ripple * std::sin(angle));
        if (step == 0)
            contour.moveTo(point);
        else
            contour.lineTo(point);
    }
    return contour;
}

void drawSlice(QPainter& painter)
{
    painter.setPen(Qt::NoPen);

    // Scalp, then the dark skull.
    painter.setBrush(QColor(48, 32, 38));
    painter.drawEllipse(QRectF(36, 22, 184, 218));
    painter.setBrush(QColor(14, 9, 14));
    painter.drawEllipse(QRectF(43, 29, 170, 204));

    // Grey matter with its folded surface, darker towards the edge.
    QRadialGradient grey(QPointF(128, 131), 96);
    grey.setColorAt(0.0, QColor(84, 60, 78));
    grey.setColorAt(1.0, QColor(52, 35, 48));
    painter.setBrush(grey);
    painter.drawPath(foldedContour(QRectF(50, 36, 156, 190), 23, 0.025));

    // White matter, a shade lighter, folded more deeply.
    painter.setBrush(QColor(92, 70, 86));
    painter.drawPath(foldedContour(QRectF(70, 58, 116, 146), 17, 0.06));

    // The fissure between the hemispheres, front and back.
    painter.setPen(QPen(QColor(22, 14, 20), 2));
    painter.drawLine(QPointF(128, 37), QPointF(128, 92));
    painter.drawLine(QPointF(128, 176), QPointF(128, 225));

    // The lateral ventricles: two thin crescents either side of the midline.
    painter.setPen(QPen(QColor(26, 17, 24), 5, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(QRectF(97, 100, 28, 62), -70 * 16, 140 * 16);
    painter.drawArc(QRectF(131, 100, 28, 62), 110 * 16, 140 * 16);
}

void drawLattice(QPainter& painter)
{
    painter.setPen(QPen(QColor(100, 112, 140, 44), 1));
    for (int at = 6; at < ImageSide; at += 12) {
        painter.drawLine(QPointF(at + 0.5, 0), QPointF(at + 0.5, ImageSide));
        painter.drawLine(QPointF(0, at + 0.5), QPointF(ImageSide, at + 0.5));
    }
}

// The line's outline, scaled so that its ink fills its rows exactly, its left edge at column 0.
QPainterPath fittedOutline(const TitleLine& line)
{
    QFont font(QStringLiteral("IPAPGothic"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(64);
    QPainterPath outline;
    outline.addText(0, 0, font, QString::fromUtf8(line.text));
    const QRectF ink = outline.boundingRect();
    const qreal scale = (line.bottom + 1 - line.top) / ink.height();
    QTransform fit;
    fit.translate(0, line.top);
    fit.scale(scale, scale);
    fit.translate(-ink.left(), -ink.top());
    return fit.map(outline);
}

// The lines are widened alike, so that the widest spans the title's columns, and centred.
void drawTitle(QPainter& painter)
{
    QList<QPainterPath> outlines;
    qreal widest = 0;
    for (const TitleLine& line : TitleLines) {
        outlines << fittedOutline(line);
        widest = std::max(widest, outlines.back().boundingRect().width());
    }
    const qreal stretch = (InkRight - InkLeft) / widest;
    for (const QPainterPath& outline : outlines) {
        const qreal width = outline.boundingRect().width() * stretch;
        QTransform place;
        place.translate((InkLeft + InkRight - width) / 2, 0);
        place.scale(stretch, 1);
        painter.fillPath(place.map(outline), TitleGreen);
    }
}

}  // namespace

QImage makeTitlePicture()
{
    QImage picture(ImageSide, ImageSide, QImage::Format_RGB32);
    picture.fill(Ground);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    drawSlice(painter);
    drawLattice(painter);
    drawTitle(painter);
    painter.end();
    return picture.convertToFormat(QImage::Format_RGB888);
}

}  // namespace quelby
