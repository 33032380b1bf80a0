// The title picture: its size and depth, where its green title ink lies, and its ground.

#include "app/TitlePicture.h"

#include <QtTest>

namespace {

const QColor TitleGreen(11, 195, 20);

// Green clearly above both other channels: title ink, fully or partly covering.
bool isInk(QColor pixel)
{
    return pixel.green() > pixel.red() + 24 && pixel.green() > pixel.blue() + 24;
}

struct Band {
    int top;
    int bottom;
};

const Band Bands[] = {{77, 96}, {110, 124}, {141, 156}, {169, 187}};

// The rows and columns the ink of rows `top` to `bottom` reaches.
struct Extent {
    int top = 256, bottom = -1, left = 256, right = -1;
    int pixels = 0;
};

Extent inkWithin(const QImage& picture, int top, int bottom)
{
    Extent extent;
    for (int y = top; y <= bottom; ++y)
        for (int x = 0; x < picture.width(); ++x)
            if (isInk(picture.pixelColor(x, y))) {
                extent.top = std::min(extent.top, y);
                extent.bottom = std::max(extent.bottom, y);
                extent.left = std::min(extent.left, x);
                extent.right = std::max(extent.right, x);
                ++extent.pixels;
            }
    return extent;
}

}  // namespace

class TitlePictureTest : public QObject {
    Q_OBJECT

    QImage picture;

private slots:
    void initTestCase() { picture = quelby::makeTitlePicture(); }

    void isA24BitSquareOfTheImageSide()
    {
        QCOMPARE(picture.size(), QSize(256, 256));
        QCOMPARE(picture.depth(), 24);
        QCOMPARE(quelby::makeTitlePicture(), picture);
    }

    void eachTitleLineFillsItsRows_data()
    {
        QTest::addColumn<int>("top");
        QTest::addColumn<int>("bottom");
        QTest::newRow("SNR and g-factor") << 77 << 96;
        QTest::newRow("mesurement") << 110 << 124;
        QTest::newRow("in Parallal MRI") << 141 << 156;
        QTest::newRow("（連続撮像法）") << 169 << 187;
    }

    void eachTitleLineFillsItsRows()
    {
        QFETCH(int, top);
        QFETCH(int, bottom);
        // Look a few rows beyond the band, so ink that spills over is found.
        const Extent ink = inkWithin(picture, top - 4, bottom + 4);
        QCOMPARE(ink.top, top);
        QCOMPARE(ink.bottom, bottom);
        QVERIFY(ink.left >= 39);
        QVERIFY(ink.right <= 220);
        // Centred: as much room on either side, to a pixel.
        QVERIFY(std::abs((ink.left - 39) - (220 - ink.right)) <= 1);
        QVERIFY(ink.pixels > 150);
    }

    void widestLineSpansTheTitleColumns()
    {
        const Extent first = inkWithin(picture, 77, 96);
        QCOMPARE(first.left, 39);
        QCOMPARE(first.right, 220);
    }

    void noInkOutsideTheTitleLines()
    {
        for (int y = 0; y < 256; ++y) {
            const bool inBand = std::any_of(std::begin(Bands), std::end(Bands),
                                            [y](const Band& band) { return y >= band.top && y <= band.bottom; });
            for (int x = 0; x < 256; ++x) {
                const bool inTitle = inBand && x >= 39 && x <= 220;
                if (!inTitle && isInk(picture.pixelColor(x, y)))
                    QFAIL(qPrintable(QStringLiteral("ink at column %1, row %2").arg(x).arg(y)));
            }
        }
    }

    void inkIsTheTitleGreen()
    {
        // Fully covered pixels are the green itself; edges blend it with what lies under them.
        int solid = 0;
        int greenest = 0;
        for (const Band& band : Bands)
            for (int y = band.top; y <= band.bottom; ++y)
                for (int x = 39; x <= 220; ++x) {
                    const QColor pixel = picture.pixelColor(x, y);
                    solid += pixel == TitleGreen;
                    if (isInk(pixel)) greenest = std::max(greenest, pixel.green());
                }
        QVERIFY(solid > 500);
        QCOMPARE(greenest, TitleGreen.green());
    }

    void groundIsNearBlackUnderAFaintLattice()
    {
        // Column 2 lies outside the head: the ground, crossed every 12 rows by a lattice line.
        QList<int> latticeRows;
        for (int y = 0; y < 256; ++y) {
            const QColor pixel = picture.pixelColor(2, y);
            QVERIFY(pixel.red() < 40 && pixel.green() < 40 && pixel.blue() < 50);
            if (pixel.blue() > 20) {
                QVERIFY(pixel.blue() > pixel.red());
                latticeRows << y;
            }
        }
        QVERIFY(latticeRows.size() >= 20);
        for (int k = 1; k < latticeRows.size(); ++k) QCOMPARE(latticeRows[k] - latticeRows[k - 1], 12);
        QVERIFY(picture.pixelColor(1, 1).value() < 16);
    }

    void sliceIsAMutedPurpleBrownInTheMiddle()
    {
        // Below the title, inside the brain and off the lattice.
        const QColor tissue = picture.pixelColor(100, 200);
        QVERIFY(tissue.red() > tissue.green());
        QVERIFY(tissue.blue() > tissue.green());
        QVERIFY(tissue.value() > 40);
        QVERIFY(tissue.value() < 130);
    }
};

QTEST_MAIN(TitlePictureTest)
#include "TitlePictureTest.moc"
