// The pointer over the picture: the readout of position and value, and the drag
// that changes the grey window. Real mouse events on Image1 throughout.

#include "ModalCatcher.h"
#include "display/Rendering.h"
#include "app/TitlePicture.h"
#include "WindowTestSupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>

#include <algorithm>
#include <utility>

using quelby::TForm1;

namespace {

// SeriesA: the pixel at column 12, row 200 holds 10, 20, 30 in turn; the one at
// column 250, row 3 holds 1, 2, 4. SeriesB: 10, 30, 50 and 2, 4, 8 there. Every
// other pixel is the same small ramp in both.
std::int16_t sampleA(int file, int row, int col)
{
    if (row == 200 && col == 12) return static_cast<std::int16_t>(10 * (file + 1));
    if (row == 3 && col == 250) return static_cast<std::int16_t>(1 << file);
    return static_cast<std::int16_t>(100 + file * ((7 * row + col) % 5));
}

std::int16_t sampleB(int file, int row, int col)
{
    if (row == 200 && col == 12) return static_cast<std::int16_t>(10 + 20 * file);
    if (row == 3 && col == 250) return static_cast<std::int16_t>(2 << file);
    return sampleA(file, row, col);
}

const QString StartPosition = QStringLiteral("  (X,Y) = (--,--)");
const QString StartValue = QStringLiteral("  信号強度 = ");
const QString StartWindow = QStringLiteral("  ( WL,WW ) = ");

QString windowCaption(int level, int width)
{
    return QStringLiteral("( WL,WW ) = ( %1 , %2 )").arg(level).arg(width);
}

// Whether every pixel of the picture on show is the grey of the display map's value
// under the current window; the first pixel that is not, described.
QString notRenderedWithTheWindow(const TForm1& form)
{
    const quelby::MapStore& store = quelby::mapStore();
    const QImage& picture = form.Image1->picture();
    for (int r = 0; r < quelby::ImageSide; ++r)
        for (int c = 0; c < quelby::ImageSide; ++c) {
            const int grey = quelby::greyOf(store.DisplayMap[r][c], store.WindowLevel, store.WindowWidth);
            if (picture.pixel(c, r) != qRgb(grey, grey, grey))
                return QStringLiteral("row %1 col %2: %3, not grey %4")
                    .arg(r)
                    .arg(c)
                    .arg(picture.pixel(c, r), 0, 16)
                    .arg(grey);
        }
    return {};
}

// What a user can see of the readout and the window, and what lies behind the window.
struct Seen {
    QString position;
    QString value;
    QString window;
    std::int16_t level;
    std::int16_t width;
    QImage picture;

    bool operator==(const Seen&) const = default;
};

}  // namespace

class PointerReadoutTest : public QObject {
    Q_OBJECT

    TForm1* form = nullptr;
    // No test here expects a box; one would otherwise wait for an answer for ever.
    ModalCatcher boxes;
    qsizetype boxesBefore = 0;
    QTemporaryDir root;
    QString seriesA;
    QString seriesB;

    // Pointer events go to the window, as the platform sends them, and Qt routes them:
    // to the widget under the pointer, or to the one a held button was pressed on.
    // (The widget overloads of QTest would also take (0, 0) for "the centre".)
    QPoint inWindow(int x, int y) const
    {
        return form->windowHandle()->mapFromGlobal(form->Image1->mapToGlobal(QPoint(x, y)));
    }
    void moveTo(int x, int y) { QTest::mouseMove(form->windowHandle(), inWindow(x, y)); }
    void press(Qt::MouseButton button, int x, int y, Qt::KeyboardModifiers keys = {})
    {
        QTest::mousePress(form->windowHandle(), button, keys, inWindow(x, y));
    }
    void release(Qt::MouseButton button, int x, int y, Qt::KeyboardModifiers keys = {})
    {
        QTest::mouseRelease(form->windowHandle(), button, keys, inWindow(x, y));
    }

    // A move that is surely a move: the pointer goes elsewhere first.
    void freshMoveTo(int x, int y)
    {
        moveTo(x == 128 ? 129 : 128, 128);
        moveTo(x, y);
    }

    Seen seen() const
    {
        const quelby::MapStore& store = quelby::mapStore();
        return {form->label_pos->text(), form->label_SI->text(), form->label_window->text(),
                store.WindowLevel,       store.WindowWidth,      form->Image1->picture()};
    }

    void setWindow(std::int16_t level, std::int16_t width)
    {
        quelby::mapStore().WindowLevel = level;
        quelby::mapStore().WindowWidth = width;
    }

    // Shows map k afresh, with the window its selection sets, even when its line is
    // the selected one already.
    void show(int k)
    {
        windowtest::selectMap(*form, k == 0 ? 1 : 0);
        windowtest::selectMap(*form, k);
    }

    void gFactorRun()
    {
        form->edit_rfactor->setText(QStringLiteral("4"));
        windowtest::runOn(*form, seriesA, seriesB);
        QCOMPARE(form->ListBox1->count(), 9);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        seriesA = root.filePath(QStringLiteral("a"));
        seriesB = root.filePath(QStringLiteral("b"));
        windowtest::writeSeries(seriesA, 3, sampleA);
        windowtest::writeSeries(seriesB, 3, sampleB);
        form = new TForm1;
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
    }

    void cleanupTestCase() { delete form; }

    void init() { boxesBefore = boxes.seen().size(); }

    void cleanup()
    {
        const QString box = boxes.seen().size() > boxesBefore ? boxes.seen().last().text : QString();
        QCOMPARE(box, QString());
    }

    // The first two tests need the window as it starts: no run, window 0 / 0.
    void dragBeforeAnyRunShowsTheZeroMapInGrey()
    {
        QCOMPARE(form->ListBox1->count(), 0);
        QCOMPARE(form->Image1->picture(), quelby::makeTitlePicture().convertToFormat(QImage::Format_RGB888));

        moveTo(60, 70);
        press(Qt::LeftButton, 60, 70);
        moveTo(70, 70);
        QCOMPARE(form->label_window->text(), windowCaption(0, 10));
        QImage grey(256, 256, QImage::Format_RGB888);
        grey.fill(QColor(128, 128, 128));
        QCOMPARE(form->Image1->picture(), grey);
        QCOMPARE(form->Image1->grab().toImage().convertToFormat(QImage::Format_RGB888), grey);
        release(Qt::LeftButton, 70, 70);

        QCOMPARE(form->label_pos->text(), StartPosition);
        QCOMPARE(form->label_SI->text(), StartValue);
    }

    void dragLeftFromTheStartWindowStopsAtWidthOne()
    {
        QCOMPARE(form->ListBox1->count(), 0);
        setWindow(0, 0);
        press(Qt::LeftButton, 200, 100);
        for (int x : {199, 150, 0, -40}) {
            moveTo(x, 100);
            QCOMPARE(form->label_window->text(), windowCaption(0, 1));
            QCOMPARE(quelby::mapStore().WindowWidth, 1);
        }
        release(Qt::LeftButton, -40, 100);
        QCOMPARE(notRenderedWithTheWindow(*form), QString());
        QCOMPARE(form->label_pos->text(), StartPosition);
    }

    void moveBeforeAnyRunChangesNoReadout()
    {
        QCOMPARE(form->ListBox1->count(), 0);
        const Seen before = seen();
        for (QPoint at : {QPoint(0, 0), QPoint(12, 200), QPoint(255, 255), QPoint(128, 3)}) {
            moveTo(at.x(), at.y());
            QCOMPARE(seen(), before);
        }
        QCOMPARE(form->label_pos->text(), StartPosition);
        QCOMPARE(form->label_SI->text(), StartValue);
    }

    // From here on the lines of a g-factor run are in the list.
    void readoutFollowsTheMapOnShow_data()
    {
        QTest::addColumn<int>("map");
        QTest::addColumn<QPoint>("at");
        QTest::addColumn<QString>("value");
        const QPoint pixel(12, 200), odd(250, 3), band0(240, 53), band9(250, 202), frame(234, 100);
        QTest::newRow("none selected") << -1 << pixel << "信号強度 = 30.00";
        QTest::newRow("none selected, fraction") << -1 << odd << "信号強度 = 4.00";
        QTest::newRow("rep A") << 0 << pixel << "信号強度 = 30.00";
        QTest::newRow("signal A") << 1 << pixel << "信号強度 = 20.00";
        QTest::newRow("signal A, fraction") << 1 << odd << "信号強度 = 2.33";
        QTest::newRow("noise A") << 2 << pixel << "信号強度 = 10.00";
        QTest::newRow("noise A, fraction") << 2 << odd << "信号強度 = 1.53";
        QTest::newRow("SNR A") << 3 << pixel << "SNR = 2.00";
        QTest::newRow("SNR A, fraction") << 3 << odd << "SNR = 1.53";
        QTest::newRow("SNR A, top band") << 3 << band0 << "SNR = 240.00";
        QTest::newRow("SNR A, bottom band") << 3 << band9 << "SNR = 60.00";
        QTest::newRow("SNR A, frame") << 3 << frame << "SNR = 300.00";
        QTest::newRow("rep B") << 4 << pixel << "信号強度 = 50.00";
        QTest::newRow("signal B") << 5 << pixel << "信号強度 = 30.00";
        QTest::newRow("signal B, fraction") << 5 << odd << "信号強度 = 4.67";
        QTest::newRow("noise B") << 6 << pixel << "信号強度 = 20.00";
        QTest::newRow("SNR B") << 7 << pixel << "SNR = 1.50";
        QTest::newRow("SNR B, frame") << 7 << QPoint(251, 203) << "SNR = 300.00";
        QTest::newRow("g-factor") << 8 << pixel << "g-factor = 0.667";
        QTest::newRow("g-factor, fraction") << 8 << odd << "g-factor = 0.500";
        QTest::newRow("g-factor, top band") << 8 << band0 << "g-factor = 2.400";
        QTest::newRow("g-factor, bottom band") << 8 << band9 << "g-factor = 0.600";
        QTest::newRow("g-factor, frame") << 8 << frame << "g-factor = 3.000";
    }

    void readoutFollowsTheMapOnShow()
    {
        QFETCH(int, map);
        QFETCH(QPoint, at);
        QFETCH(QString, value);
        if (map < 0 || form->ListBox1->count() != 9) gFactorRun();
        if (map >= 0) show(map);
        QCOMPARE(form->ListBox1->selectedItems().size(), map < 0 ? 0 : 1);

        const QString window = form->label_window->text();
        freshMoveTo(at.x(), at.y());
        QCOMPARE(form->label_pos->text(), QStringLiteral("( X,Y ) = ( %1 , %2 )").arg(at.x()).arg(at.y()));
        QCOMPARE(form->label_SI->text(), value);
        QCOMPARE(form->label_window->text(), window);
    }

    void positionReadsColumnThenRow_data()
    {
        QTest::addColumn<QPoint>("at");
        QTest::addColumn<QString>("text");
        QTest::newRow("12, 200") << QPoint(12, 200) << "( X,Y ) = ( 12 , 200 )";
        QTest::newRow("top left") << QPoint(0, 0) << "( X,Y ) = ( 0 , 0 )";
        QTest::newRow("top right") << QPoint(255, 0) << "( X,Y ) = ( 255 , 0 )";
        QTest::newRow("bottom right") << QPoint(255, 255) << "( X,Y ) = ( 255 , 255 )";
    }

    void positionReadsColumnThenRow()
    {
        QFETCH(QPoint, at);
        QFETCH(QString, text);
        if (form->ListBox1->count() == 0) gFactorRun();
        freshMoveTo(at.x(), at.y());
        QCOMPARE(form->label_pos->text(), text);
    }

    // The picture view gives the pixel under the pointer, also where the toolkit
    // reports a position between pixels (a scaled display).
    void positionBetweenPixelsReadsThePixelUnderThePointer_data()
    {
        QTest::addColumn<QPointF>("at");
        QTest::addColumn<QString>("text");
        QTest::newRow("inside") << QPointF(12.6, 200.7) << "( X,Y ) = ( 12 , 200 )";
        QTest::newRow("last pixel") << QPointF(255.7, 255.9) << "( X,Y ) = ( 255 , 255 )";
        QTest::newRow("just left of the picture") << QPointF(-0.4, 10.2) << "";
        QTest::newRow("just above the picture") << QPointF(10.2, -0.3) << "";
    }

    void positionBetweenPixelsReadsThePixelUnderThePointer()
    {
        QFETCH(QPointF, at);
        QFETCH(QString, text);
        if (form->ListBox1->count() == 0) gFactorRun();
        freshMoveTo(128, 128);
        const QString before = form->label_pos->text();
        QMouseEvent move(QEvent::MouseMove, at, form->Image1->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(form->Image1, &move);
        QCOMPARE(form->label_pos->text(), text.isEmpty() ? before : text);
    }

    void storedValueReadsInTheUnitsOfTheMap_data()
    {
        QTest::addColumn<int>("map");
        QTest::addColumn<double>("stored");
        QTest::addColumn<QString>("value");
        QTest::newRow("g-factor 123.4") << 8 << 123.4 << "g-factor = 1.234";
        QTest::newRow("g-factor negative") << 8 << -250.0 << "g-factor = -2.500";
        QTest::newRow("SNR, half away from zero") << 3 << 2.125 << "SNR = 2.13";
        QTest::newRow("SNR, tiny negative") << 7 << -0.004 << "SNR = 0.00";
        QTest::newRow("noise, negative") << 2 << -0.5 << "信号強度 = -0.50";
        QTest::newRow("rep, large") << 0 << 70000.0 << "信号強度 = 70000.00";
    }

    void storedValueReadsInTheUnitsOfTheMap()
    {
        QFETCH(int, map);
        QFETCH(double, stored);
        QFETCH(QString, value);
        if (form->ListBox1->count() != 9) gFactorRun();
        show(map);
        quelby::mapStore().DisplayMap[200][12] = stored;
        freshMoveTo(12, 200);
        QCOMPARE(form->label_SI->text(), value);
    }

    void verticalDragMovesTheLevel_data()
    {
        QTest::addColumn<int>("dy");
        QTest::addColumn<int>("level");
        QTest::newRow("down raises") << 30 << 190;
        QTest::newRow("up lowers") << -30 << 130;
        QTest::newRow("up below zero") << -200 << -40;
        QTest::newRow("down off the picture") << 60 << 220;
    }

    // The SNR map is shown under 160 / 460: its top band (240) is grey 172 there.
    void verticalDragMovesTheLevel()
    {
        QFETCH(int, dy);
        QFETCH(int, level);
        if (form->ListBox1->count() != 9) gFactorRun();
        show(3);
        QCOMPARE(windowtest::greyAt(*form, 53, 240), 172);
        moveTo(100, 210);
        const QString readout = form->label_pos->text();
        press(Qt::LeftButton, 100, 210);
        moveTo(100, 210 + dy);
        QCOMPARE(form->label_window->text(), windowCaption(level, 460));
        QCOMPARE(notRenderedWithTheWindow(*form), QString());
        QCOMPARE(windowtest::greyAt(*form, 53, 240), std::min(255, (240 - (level - 230)) * 256 / 460));
        if (210 + dy < 256)
            QCOMPARE(form->label_pos->text(), QStringLiteral("( X,Y ) = ( 100 , %1 )").arg(210 + dy));
        else
            QCOMPARE(form->label_pos->text(), readout);
        release(Qt::LeftButton, 100, 210 + dy);
    }

    void dragWidthWrapsAbove32767ToOne()
    {
        if (form->ListBox1->count() != 9) gFactorRun();
        show(0);
        setWindow(32760, 32760);
        press(Qt::LeftButton, 0, 0);
        const struct {
            QPoint to;
            int level;
            int width;
        } steps[] = {
            {{7, 0}, 32760, 32767},   {{8, 0}, 32760, 1},   {{100, 0}, 32760, 1},
            {{7, 10}, -32766, 32767}, {{-9, 7}, 32767, 32751}, {{3, 8}, -32768, 32763},
        };
        for (const auto& step : steps) {
            moveTo(step.to.x(), step.to.y());
            QCOMPARE(form->label_window->text(), windowCaption(step.level, step.width));
            QCOMPARE(quelby::mapStore().WindowLevel, step.level);
            QCOMPARE(quelby::mapStore().WindowWidth, step.width);
            QCOMPARE(notRenderedWithTheWindow(*form), QString());
        }
        release(Qt::LeftButton, 3, 8);
    }

    void gFactorWindowReadsInUnitsOfG_data()
    {
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QString>("window");
        // Pressed at (100, 100) on the g-factor map's window 200 / 400.
        QTest::newRow("level 150, width 300") << QPoint(0, 50) << "( WL,WW ) = ( 1.50 , 3.00 )";
        QTest::newRow("no displacement") << QPoint(100, 100) << "( WL,WW ) = ( 2.00 , 4.00 )";
        QTest::newRow("narrowest") << QPoint(-300, 95) << "( WL,WW ) = ( 1.95 , 0.01 )";
        QTest::newRow("negative level") << QPoint(101, -150) << "( WL,WW ) = ( -0.50 , 4.01 )";
    }

    void gFactorWindowReadsInUnitsOfG()
    {
        QFETCH(QPoint, to);
        QFETCH(QString, window);
        if (form->ListBox1->count() != 9) gFactorRun();
        show(8);
        QCOMPARE(form->label_window->text(), QStringLiteral("( WL,WW ) = ( 2.00 , 4.00 )"));
        press(Qt::LeftButton, 100, 100);
        moveTo(to.x(), to.y());
        QCOMPARE(form->label_window->text(), window);
        QCOMPARE(notRenderedWithTheWindow(*form), QString());
        release(Qt::LeftButton, to.x(), to.y());
    }

    void pressAndReleaseWithoutMoveChangeNothing_data()
    {
        QTest::addColumn<int>("button");
        QTest::newRow("left") << int(Qt::LeftButton);
        QTest::newRow("right") << int(Qt::RightButton);
    }

    void pressAndReleaseWithoutMoveChangeNothing()
    {
        QFETCH(int, button);
        if (form->ListBox1->count() != 9) gFactorRun();
        show(3);
        setWindow(57, 91);  // not the selection's window, so that a stray rendering shows
        freshMoveTo(40, 60);
        const Seen before = seen();
        press(Qt::MouseButton(button), 40, 60);
        release(Qt::MouseButton(button), 40, 60);
        QCOMPARE(seen(), before);

        // The drag has ended: a move reads out and leaves the window.
        moveTo(45, 70);
        QCOMPARE(form->label_pos->text(), QStringLiteral("( X,Y ) = ( 45 , 70 )"));
        QCOMPARE(form->label_window->text(), before.window);
        QCOMPARE(form->Image1->picture(), before.picture);
        QCOMPARE(quelby::mapStore().WindowWidth, 91);
    }

    void outsideThePictureTheWindowFollowsAndTheReadoutStays_data()
    {
        QTest::addColumn<QPoint>("to");
        QTest::newRow("left and below") << QPoint(-20, 300);
        QTest::newRow("one left") << QPoint(-1, 0);
        QTest::newRow("one above") << QPoint(0, -1);
        QTest::newRow("one right") << QPoint(256, 255);
        QTest::newRow("one below") << QPoint(255, 256);
        QTest::newRow("far right, above") << QPoint(700, -400);
    }

    void outsideThePictureTheWindowFollowsAndTheReadoutStays()
    {
        QFETCH(QPoint, to);
        if (form->ListBox1->count() != 9) gFactorRun();
        show(0);  // window 54 / 108
        freshMoveTo(100, 100);
        const QString position = form->label_pos->text();
        const QString value = form->label_SI->text();
        press(Qt::LeftButton, 100, 100);
        moveTo(to.x(), to.y());
        const int level = 54 + to.y() - 100;
        const int width = std::max(1, 108 + to.x() - 100);
        QCOMPARE(form->label_window->text(), windowCaption(level, width));
        QCOMPARE(notRenderedWithTheWindow(*form), QString());
        QCOMPARE(form->label_pos->text(), position);
        QCOMPARE(form->label_SI->text(), value);

        // Released out there, the drag is over.
        release(Qt::LeftButton, to.x(), to.y());
        moveTo(110, 90);
        QCOMPARE(form->label_pos->text(), QStringLiteral("( X,Y ) = ( 110 , 90 )"));
        QCOMPARE(form->label_window->text(), windowCaption(level, width));
    }

    // The window is the one at the press plus the displacement since, so a detour
    // (past the narrowest width, outside the picture) leaves no trace.
    void sameDisplacementGivesTheSameWindowWhateverThePath()
    {
        if (form->ListBox1->count() != 9) gFactorRun();
        show(1);
        const auto dragAlong = [this](const QList<QPoint>& path) {
            setWindow(40, 20);
            press(Qt::LeftButton, 50, 50);
            for (QPoint at : path) moveTo(at.x(), at.y());
            release(Qt::LeftButton, path.last().x(), path.last().y());
            return std::pair(form->label_window->text(), form->Image1->picture());
        };
        const auto direct = dragAlong({{80, 60}});
        QCOMPARE(direct.first, windowCaption(50, 50));
        QCOMPARE(dragAlong({{-200, 60}, {300, -30}, {51, 51}, {80, 60}}), direct);
        QCOMPARE(dragAlong({{80, 40}, {80, 300}, {80, 60}}), direct);
    }

    void anyButtonStartsADrag_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("left") << int(Qt::LeftButton) << int(Qt::NoModifier);
        QTest::newRow("right") << int(Qt::RightButton) << int(Qt::NoModifier);
        QTest::newRow("middle") << int(Qt::MiddleButton) << int(Qt::NoModifier);
        QTest::newRow("left with shift") << int(Qt::LeftButton) << int(Qt::ShiftModifier);
        QTest::newRow("right with control") << int(Qt::RightButton) << int(Qt::ControlModifier);
    }

    void anyButtonStartsADrag()
    {
        QFETCH(int, button);
        QFETCH(int, modifiers);
        if (form->ListBox1->count() != 9) gFactorRun();
        show(0);
        const auto held = Qt::MouseButton(button);
        const auto keys = Qt::KeyboardModifiers(modifiers);
        press(held, 30, 30, keys);
        moveTo(40, 25);
        QCOMPARE(form->label_window->text(), windowCaption(49, 118));
        QCOMPARE(notRenderedWithTheWindow(*form), QString());
        release(held, 40, 25, keys);
        moveTo(60, 60);
        QCOMPARE(form->label_window->text(), windowCaption(49, 118));
    }

    // A second press restarts from the window of that moment, here one held at the
    // narrowest; the first release ends the drag, whichever button is still down.
    void pressDuringADragRestartsIt()
    {
        if (form->ListBox1->count() != 9) gFactorRun();
        show(0);
        setWindow(54, 20);
        moveTo(50, 50);
        press(Qt::LeftButton, 50, 50);
        moveTo(20, 50);
        QCOMPARE(form->label_window->text(), windowCaption(54, 1));
        press(Qt::RightButton, 20, 50);
        moveTo(30, 45);
        QCOMPARE(form->label_window->text(), windowCaption(49, 11));
        release(Qt::RightButton, 30, 45);
        moveTo(60, 60);
        QCOMPARE(form->label_window->text(), windowCaption(49, 11));
        release(Qt::LeftButton, 60, 60);
        QCOMPARE(form->label_window->text(), windowCaption(49, 11));
    }
};

QTEST_MAIN(PointerReadoutTest)
#include "PointerReadoutTest.moc"
