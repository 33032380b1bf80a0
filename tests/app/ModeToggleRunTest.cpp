// The measurement mode and the runs: the box changes nothing that a run left, and
// the next run follows the box, the hidden reduction factor included.

#include "ModalCatcher.h"
#include "display/Rendering.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include <cmath>

using quelby::TForm1;

namespace {

// Three series of three files. At row 100, column 20: A holds 10, 20, 30, B 10, 30,
// 50 and C 5, 15, 40. Elsewhere each has a ramp of its own.
std::int16_t sampleA(int file, int row, int col)
{
    if (row == 100 && col == 20) return static_cast<std::int16_t>(10 * (file + 1));
    return static_cast<std::int16_t>(100 + file * ((row + 2 * col) % 7));
}

std::int16_t sampleB(int file, int row, int col)
{
    if (row == 100 && col == 20) return static_cast<std::int16_t>(10 + 20 * file);
    return static_cast<std::int16_t>(120 + file * ((row + col) % 5));
}

std::int16_t sampleC(int file, int row, int col)
{
    static constexpr std::int16_t atPixel[] = {5, 15, 40};
    if (row == 100 && col == 20) return atPixel[file];
    return static_cast<std::int16_t>(500 + 3 * file * ((row * col) % 4));
}

QStringList linesOf(const QListWidget& list)
{
    QStringList lines;
    for (int row = 0; row < list.count(); ++row) lines << list.item(row)->text();
    return lines;
}

QStringList mapNames(int count)
{
    QStringList names;
    for (int k = 0; k < count; ++k) names << QString::fromUtf8(quelby::MapListText[k]);
    return names;
}

// What a run or a toggle could have changed that a user sees or a later step reads.
struct Snapshot {
    QStringList lines;
    int selected;
    QString position;
    QString value;
    QString window;
    QImage picture;
    std::int16_t level;
    std::int16_t width;
    quelby::Map shown;
    quelby::Map repA;
    quelby::Map gFactor;

    bool operator==(const Snapshot&) const = default;
};

bool renderedWithTheWindow(const TForm1& form)
{
    const quelby::MapStore& store = quelby::mapStore();
    for (int r = 0; r < quelby::ImageSide; ++r)
        for (int c = 0; c < quelby::ImageSide; ++c) {
            const int grey = quelby::greyOf(store.DisplayMap[r][c], store.WindowLevel, store.WindowWidth);
            if (form.Image1->picture().pixel(c, r) != qRgb(grey, grey, grey)) return false;
        }
    return true;
}

}  // namespace

class ModeToggleRunTest : public QObject {
    Q_OBJECT

    TForm1* form = nullptr;
    QTemporaryDir root;
    QString seriesA;
    QString seriesB;
    QString seriesC;

    Snapshot snapshot() const
    {
        const quelby::MapStore& store = quelby::mapStore();
        return {linesOf(*form->ListBox1), form->ListBox1->currentRow(), form->label_pos->text(),
                form->label_SI->text(),   form->label_window->text(),  form->Image1->picture(),
                store.WindowLevel,        store.WindowWidth,           store.DisplayMap,
                store.RepImageA,          store.GFactorMap};
    }

    void setMode(bool gFactor)
    {
        if (form->CheckBox1->isChecked() != gFactor) QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
        QCOMPARE(form->CheckBox1->isChecked(), gFactor);
        QCOMPARE(form->edit_rfactor->isVisibleTo(form), gFactor);
    }

    // Typed while the field is on view; the mode is then set as asked.
    void setReductionFactor(const QString& text, bool gFactor)
    {
        setMode(true);
        form->edit_rfactor->selectAll();
        QTest::keyClicks(form->edit_rfactor, text);
        QCOMPARE(form->edit_rfactor->text(), text);
        setMode(gFactor);
    }

    void completedRun(bool gFactor, const QString& a, const QString& b = {})
    {
        setReductionFactor(QStringLiteral("4"), gFactor);
        const ModalCatcher boxes;
        windowtest::runOn(*form, a, b);
        QVERIFY(boxes.seen().isEmpty());
        QCOMPARE(form->ListBox1->count(), gFactor ? 9 : 4);
        QVERIFY(form->ProgressBar1->isHidden());
    }

    void show(int k)
    {
        windowtest::selectMap(*form, k == 0 ? 1 : 0);
        windowtest::selectMap(*form, k);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        seriesA = root.filePath(QStringLiteral("a"));
        seriesB = root.filePath(QStringLiteral("b"));
        seriesC = root.filePath(QStringLiteral("c"));
        windowtest::writeSeries(seriesA, 3, sampleA);
        windowtest::writeSeries(seriesB, 3, sampleB);
        windowtest::writeSeries(seriesC, 3, sampleC);
        form = new TForm1;
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
    }

    void cleanupTestCase() { delete form; }

    void clearingAfterAGFactorRunChangesNothingShown()
    {
        completedRun(true, seriesA, seriesB);
        show(3);
        QTest::mouseMove(form->Image1, QPoint(20, 100));
        QCOMPARE(form->label_SI->text(), QStringLiteral("SNR = 2.00"));
        const Snapshot before = snapshot();
        setMode(false);
        QCOMPARE(snapshot(), before);
        QCOMPARE(linesOf(*form->ListBox1), mapNames(9));
    }

    void everyMapOfTheGFactorRunCanStillBeShown_data()
    {
        QTest::addColumn<int>("map");
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("value");  // at column 20, row 100
        QTest::newRow("rep A") << 0 << "( WL,WW ) = ( 56 , 112 )" << "信号強度 = 30.00";
        QTest::newRow("signal A") << 1 << "( WL,WW ) = ( 53 , 106 )" << "信号強度 = 20.00";
        QTest::newRow("noise A") << 2 << "( WL,WW ) = ( 5 , 10 )" << "信号強度 = 10.00";
        QTest::newRow("SNR A") << 3 << "( WL,WW ) = ( 160 , 460 )" << "SNR = 2.00";
        QTest::newRow("rep B") << 4 << "( WL,WW ) = ( 64 , 128 )" << "信号強度 = 50.00";
        QTest::newRow("signal B") << 5 << "( WL,WW ) = ( 62 , 124 )" << "信号強度 = 30.00";
        QTest::newRow("noise B") << 6 << "( WL,WW ) = ( 10 , 20 )" << "信号強度 = 20.00";
        QTest::newRow("SNR B") << 7 << "( WL,WW ) = ( 160 , 460 )" << "SNR = 1.50";
        QTest::newRow("g-factor") << 8 << "( WL,WW ) = ( 2.00 , 4.00 )" << "g-factor = 0.667";
    }

    void everyMapOfTheGFactorRunCanStillBeShown()
    {
        QFETCH(int, map);
        QFETCH(QString, window);
        QFETCH(QString, value);
        if (form->ListBox1->count() != 9) completedRun(true, seriesA, seriesB);
        setMode(false);
        show(map);
        QCOMPARE(form->ListBox1->currentRow(), map);
        QCOMPARE(quelby::mapStore().DisplayMap, quelby::mapStore().resultMap(map));
        QCOMPARE(form->label_window->text(), window);
        QVERIFY(renderedWithTheWindow(*form));
        QTest::mouseMove(form->Image1, QPoint(21, 100));
        QTest::mouseMove(form->Image1, QPoint(20, 100));
        QCOMPARE(form->label_SI->text(), value);
    }

    void plainRunAfterAGFactorRunListsFourLines()
    {
        completedRun(true, seriesA, seriesB);
        completedRun(false, seriesC);
        QCOMPARE(linesOf(*form->ListBox1), mapNames(4));
        QVERIFY(form->ListBox1->selectedItems().isEmpty());
        QCOMPARE(quelby::mapStore().DisplayMap, quelby::mapStore().RepImageA);
        QCOMPARE(quelby::mapStore().RepImageA[100][20], 40.0);
        QCOMPARE(form->label_window->text(), QStringLiteral("(wl,ww) = (259,518)"));
        for (int k = 0; k < 4; ++k) {
            show(k);
            QCOMPARE(quelby::mapStore().DisplayMap, quelby::mapStore().resultMap(k));
        }
    }

    void zeroReductionFactorRefusesThePlainRun()
    {
        completedRun(false, seriesA);
        const Snapshot before = snapshot();
        setReductionFactor(QStringLiteral("0"), false);
        QVERIFY(form->edit_rfactor->isHidden());

        ModalCatcher boxes;
        windowtest::runOn(*form, seriesC, {});
        QCOMPARE(boxes.seen().size(), 1);
        QCOMPARE(boxes.seen().first().icon, QMessageBox::NoIcon);
        QCOMPARE(boxes.seen().first().text, QStringLiteral("reduction factorが不正です"));
        QCOMPARE(snapshot(), before);
        QVERIFY(form->ProgressBar1->isHidden());
        QCOMPARE(form->edit_rfactor->text(), QStringLiteral("0"));
    }

    void textThatIsNoNumberStopsThePlainRunAfterSeriesA()
    {
        completedRun(false, seriesA);
        const Snapshot before = snapshot();
        setReductionFactor(QStringLiteral("abc"), false);

        ModalCatcher boxes;
        windowtest::runOn(*form, seriesC, {});
        QCOMPARE(boxes.seen().size(), 1);
        QCOMPARE(boxes.seen().first().icon, QMessageBox::Critical);
        QCOMPARE(boxes.seen().first().text, QStringLiteral("'abc' は浮動小数点数ではありません."));

        // The SeriesA maps are those of the new folder, bar and frame included.
        const quelby::MapStore& store = quelby::mapStore();
        QCOMPARE(store.RepImageA[100][20], 40.0);
        QCOMPARE(store.SignalMapA[100][20], 20.0);
        QCOMPARE(store.NoiseMapA[100][20], std::sqrt(325.0));
        QCOMPARE(store.SnrMapA[100][20], 20.0 / std::sqrt(325.0));
        QCOMPARE(store.SnrMapA[53][240], 9 * store.ScaleStep + store.ScaleMin);
        QCOMPARE(store.SnrMapA[52][234], 300.0);
        QCOMPARE(store.DisplayMap, store.RepImageA);
        QCOMPARE(store.GFactorMap, quelby::Map{});  // stopped before the g-factor step

        // The window is as the earlier run left it.
        QCOMPARE(form->label_window->text(), before.window);
        QCOMPARE(store.WindowLevel, before.level);
        QCOMPARE(store.WindowWidth, before.width);
        QCOMPARE(form->Image1->picture(), before.picture);
        QCOMPARE(linesOf(*form->ListBox1), mapNames(4));
        QVERIFY(!form->ProgressBar1->isHidden());

        completedRun(false, seriesC);
        QCOMPARE(form->label_window->text(), QStringLiteral("(wl,ww) = (259,518)"));
    }
};

QTEST_MAIN(ModeToggleRunTest)
#include "ModeToggleRunTest.moc"
