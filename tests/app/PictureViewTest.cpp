// The picture view: what it holds and paints, and the pointer events it reports.

#include "app/PictureView.h"

#include <QtTest>

using quelby::PictureView;

namespace {

QImage gradient()
{
    QImage image(256, 256, QImage::Format_RGB32);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) image.setPixelColor(x, y, QColor(x, y, (x + y) / 2));
    return image;
}

// Counts the paint events of a widget.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

}  // namespace

class PictureViewTest : public QObject {
    Q_OBJECT

    PictureView* view = nullptr;

private slots:
    void init()
    {
        view = new PictureView(gradient(), nullptr);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view));
    }

    void cleanup() { delete view; }

    void holdsA24BitCopyOfItsPicture()
    {
        QCOMPARE(view->size(), QSize(256, 256));
        QCOMPARE(view->minimumSize(), QSize(256, 256));
        QCOMPARE(view->maximumSize(), QSize(256, 256));
        QCOMPARE(view->picture().depth(), 24);
        QCOMPARE(view->picture().convertToFormat(QImage::Format_RGB32), gradient());
    }

    void paintsThePictureOneToOne()
    {
        QCOMPARE(view->grab().toImage().convertToFormat(QImage::Format_RGB32), gradient());
    }

    void drawImageCoversThePictureAndRepaints()
    {
        QImage bitmap(256, 256, QImage::Format_BGR888);
        bitmap.fill(QColor(10, 20, 30));
        bitmap.setPixelColor(255, 0, QColor(200, 100, 50));
        bitmap.setPixelColor(0, 255, QColor(1, 2, 3));
        PaintCounter counter;
        view->installEventFilter(&counter);

        view->drawImage(bitmap);
        QCOMPARE(view->picture().depth(), 24);
        QCOMPARE(view->picture().pixelColor(100, 100), QColor(10, 20, 30));
        QCOMPARE(view->picture().pixelColor(255, 0), QColor(200, 100, 50));
        QCOMPARE(view->picture().pixelColor(0, 255), QColor(1, 2, 3));
        QTRY_VERIFY(counter.paints > 0);
        QCOMPARE(view->grab().toImage().pixelColor(255, 0), QColor(200, 100, 50));
    }

    void smallerImageDrawsAtTheTopLeftCorner()
    {
        QImage corner(16, 8, QImage::Format_BGR888);
        corner.fill(Qt::white);
        view->drawImage(corner);
        QCOMPARE(view->picture().pixelColor(15, 7), QColor(Qt::white));
        QCOMPARE(view->picture().pixelColor(16, 7), gradient().pixelColor(16, 7));
        QCOMPARE(view->picture().pixelColor(15, 8), gradient().pixelColor(15, 8));
    }

    void reportsPointerEventsInItsOwnPixels()
    {
        QVERIFY(view->hasMouseTracking());
        QSignalSpy presses(view, &PictureView::pressed);
        QSignalSpy moves(view, &PictureView::moved);
        QSignalSpy releases(view, &PictureView::released);

        QTest::mouseMove(view, QPoint(30, 40));
        QTest::mousePress(view, Qt::RightButton, Qt::ShiftModifier, QPoint(12, 200));
        QTest::mouseMove(view, QPoint(0, 255));
        QTest::mouseMove(view, QPoint(-5, 300));  // outside, the button still held
        QTest::mouseRelease(view, Qt::RightButton, Qt::ControlModifier, QPoint(-20, 270));
        QTest::mouseMove(view, QPoint(255, 0));

        QCOMPARE(presses.size(), 1);
        QCOMPARE(presses[0][0].value<Qt::MouseButton>(), Qt::RightButton);
        QCOMPARE(presses[0][1].value<Qt::KeyboardModifiers>(), Qt::ShiftModifier);
        QCOMPARE(presses[0][2].toInt(), 12);
        QCOMPARE(presses[0][3].toInt(), 200);

        const QList<QPoint> movedTo = {{30, 40}, {0, 255}, {-5, 300}, {255, 0}};
        const QList<Qt::MouseButtons> held = {Qt::NoButton, Qt::RightButton, Qt::RightButton, Qt::NoButton};
        QCOMPARE(moves.size(), movedTo.size());
        for (int k = 0; k < moves.size(); ++k) {
            QCOMPARE(moves[k][0].value<Qt::MouseButtons>(), held[k]);
            QCOMPARE(QPoint(moves[k][2].toInt(), moves[k][3].toInt()), movedTo[k]);
        }

        QCOMPARE(releases.size(), 1);
        QCOMPARE(releases[0][0].value<Qt::MouseButton>(), Qt::RightButton);
        QCOMPARE(releases[0][1].value<Qt::KeyboardModifiers>(), Qt::ControlModifier);
        QCOMPARE(QPoint(releases[0][2].toInt(), releases[0][3].toInt()), QPoint(-20, 270));
    }
};

QTEST_MAIN(PictureViewTest)
#include "PictureViewTest.moc"
