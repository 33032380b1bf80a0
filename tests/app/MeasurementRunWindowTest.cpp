// The measurement run as the window shows it: the picture, the map list, the
// progress bar and the window caption after a run, a refused run and failing runs.

#include "ModalCatcher.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QTimer>

#include <cmath>
#include <memory>

using quelby::Map;
using quelby::MapStore;
using quelby::TForm1;
using quelby::mapStore;

namespace {

const QStringList NineLines{QStringLiteral("PIなし 代表画像"),   QStringLiteral("PIなし 信号値画像"),
                            QStringLiteral("PIなし 雑音値画像"), QStringLiteral("PIなし SNR map"),
                            QStringLiteral("PIあり 代表画像"),   QStringLiteral("PIあり 信号値画像"),
                            QStringLiteral("PIあり 雑音値画像"), QStringLiteral("PIあり SNR map"),
                            QStringLiteral("g-factor map")};

// Three files: a ramp in rows and columns, each file 6 above the one before.
std::int16_t sampleA(int file, int row, int col)
{
    return static_cast<std::int16_t>(41 + (row * 11 + col * 5) % 901 + 6 * file);
}

std::int16_t sampleB(int file, int row, int col)
{
    return static_cast<std::int16_t>(30 + (row * 7 + col * 13) % 777 + 9 * file);
}

// Nothing above 0, and still a noise in every pixel.
std::int16_t sampleNotPositive(int file, int row, int col)
{
    return static_cast<std::int16_t>(-((row + col) % 300) - 4 * file);
}

Map mapOf(int file, std::int16_t (*sample)(int, int, int))
{
    Map map{};
    for (int r = 0; r < quelby::ImageSide; ++r)
        for (int c = 0; c < quelby::ImageSide; ++c) map[r][c] = sample(file, r, c);
    return map;
}

// The positions the progress bar is given, whether it is on show at each, and the
// positions it is painted at.
class ProgressWatch : public QObject {
public:
    explicit ProgressWatch(QProgressBar* bar) : bar_(bar)
    {
        connect(bar, &QProgressBar::valueChanged, this, [this](int value) {
            positions << value;
            if (!bar_->isVisible()) hiddenAt << value;
        });
        bar->installEventFilter(this);
    }

    QList<int> positions;
    QList<int> hiddenAt;
    QList<int> painted;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == bar_ && event->type() == QEvent::Paint) painted << bar_->value();
        return false;
    }

private:
    QProgressBar* bar_;
};

enum class Mode { GFactor, Plain };

}  // namespace

class MeasurementRunWindowTest : public QObject {
    Q_OBJECT

    TForm1* form = nullptr;
    QTemporaryDir root;
    QString seriesA;
    QString seriesB;

    QString folder(const QString& name) const { return root.path() + u'/' + name; }

    void setMode(Mode mode)
    {
        if (form->CheckBox1->isChecked() != (mode == Mode::GFactor)) QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
        QCOMPARE(form->CheckBox1->isChecked(), mode == Mode::GFactor);
    }

    // A run that completes, on the two series written at the start.
    void completedRun()
    {
        setMode(Mode::GFactor);
        form->edit_rfactor->setText(QStringLiteral("2"));
        const ModalCatcher boxes;
        windowtest::runOn(*form, seriesA, seriesB);
        QCOMPARE(boxes.seen().size(), 0);
        QVERIFY(form->ProgressBar1->isHidden());
    }

    // The one box the last action showed.
    static void verifyOneBox(const ModalCatcher& boxes, QMessageBox::Icon icon, const QString& text)
    {
        QCOMPARE(boxes.seen().size(), 1);
        const ModalCatcher::Seen& box = boxes.seen().first();
        QCOMPARE(box.kind, QStringLiteral("QMessageBox"));
        QCOMPARE(box.icon, icon);
        QCOMPARE(box.title, windowtest::applicationTitleText());
        QCOMPARE(box.text, text);
        QCOMPARE(box.buttons, QMessageBox::Ok);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        form = new TForm1;
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));

        // The file written first sorts last by name, so it is the representative image.
        seriesA = folder(QStringLiteral("A"));
        windowtest::writeSeries(seriesA, 3, sampleA);
        QVERIFY(QFile::rename(seriesA + QStringLiteral("/img00.raw"), seriesA + QStringLiteral("/zz.raw")));
        seriesB = folder(QStringLiteral("B"));
        windowtest::writeSeries(seriesB, 3, sampleB);
    }

    // Whatever a test set, also when it failed half-way: the g-factor mode and the start texts.
    void cleanup()
    {
        setMode(Mode::GFactor);
        form->edit_rfactor->setText(QStringLiteral("2"));
        const QSignalBlocker quietMin(form->Edit_min);
        const QSignalBlocker quietDis(form->Edit_dis);
        form->Edit_min->setText(QStringLiteral("60"));
        form->Edit_dis->setText(QStringLiteral("20"));
    }

    void cleanupTestCase() { delete form; }

    void completedRunShowsTheRepresentativeImage()
    {
        completedRun();
        const MapStore& store = mapStore();
        const Map representative = mapOf(0, sampleA);
        const double largest = windowtest::largestOf(representative);
        const auto level = static_cast<std::int16_t>(std::trunc(largest / 2));
        const auto width = static_cast<std::int16_t>(std::trunc(largest));
        QCOMPARE(largest, 941.0);

        QVERIFY(store.RepImageA == representative);
        QVERIFY(store.DisplayMap == store.RepImageA);
        QCOMPARE(store.DisplayMax, largest);
        QCOMPARE(store.WindowLevel, level);
        QCOMPARE(store.WindowWidth, width);
        QCOMPARE(form->label_window->text(), QStringLiteral("(wl,ww) = (470,941)"));
        const QString mismatch = windowtest::greyMismatch(*form, representative, level, width);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));

        QCOMPARE(windowtest::lineTexts(*form->ListBox1), NineLines);
        QVERIFY(form->ListBox1->selectedItems().isEmpty());
        QVERIFY(form->ProgressBar1->isHidden());
        QCOMPARE(form->ProgressBar1->value(), 100);
    }

    void progressIsShownAndPaintedAfterEachFile_data()
    {
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<int>("files");
        QTest::addColumn<QList<int>>("positions");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("g-factor, four files")
            << Mode::GFactor << 4 << QList<int>{6, 12, 18, 25, 31, 37, 43, 50, 56, 62, 68, 75, 81, 87, 93, 100}
            << NineLines;
        QTest::newRow("plain, three files") << Mode::Plain << 3 << QList<int>{16, 33, 50, 66, 83, 100}
                                            << NineLines.first(4);
    }

    void progressIsShownAndPaintedAfterEachFile()
    {
        QFETCH(Mode, mode);
        QFETCH(int, files);
        QFETCH(QList<int>, positions);
        QFETCH(QStringList, lines);
        const QString a = folder(QStringLiteral("progressA%1").arg(files));
        const QString b = folder(QStringLiteral("progressB%1").arg(files));
        windowtest::writeSeries(a, files, sampleA);
        windowtest::writeSeries(b, files, sampleB);
        setMode(mode);
        form->edit_rfactor->setText(QStringLiteral("2"));

        const ModalCatcher boxes;
        ProgressWatch watch(form->ProgressBar1);
        form->DirectoryListBox1->openFolder(a);
        if (mode == Mode::GFactor) form->DirectoryListBox2->openFolder(b);
        // Queued before the run: it must not be served until the run is over.
        bool queuedServed = false;
        QTimer::singleShot(0, form, [&queuedServed] { queuedServed = true; });
        QList<bool> servedDuringRun;
        connect(form->ProgressBar1, &QProgressBar::valueChanged, &watch,
                [&] { servedDuringRun << queuedServed; });
        QTest::mouseClick(form->Button1, Qt::LeftButton);
        QCOMPARE(servedDuringRun, QList<bool>(positions.size(), false));
        QTRY_VERIFY(queuedServed);

        QCOMPARE(boxes.seen().size(), 0);
        QCOMPARE(watch.positions, positions);
        QCOMPARE(watch.hiddenAt, QList<int>{});
        // The run holds the thread: each position must be painted before the next one.
        QList<int> paintedOnce = watch.painted;
        paintedOnce.erase(std::unique(paintedOnce.begin(), paintedOnce.end()), paintedOnce.end());
        QCOMPARE(paintedOnce, positions);
        QVERIFY(form->ProgressBar1->isHidden());
        QCOMPARE(windowtest::lineTexts(*form->ListBox1), lines);
    }

    void reductionFactorZeroIsRefused_data()
    {
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("g-factor mode") << Mode::GFactor << NineLines;
        QTest::newRow("plain mode") << Mode::Plain << NineLines.first(4);
    }

    void reductionFactorZeroIsRefused()
    {
        QFETCH(Mode, mode);
        QFETCH(QStringList, lines);
        completedRun();
        // A failing run leaves the bar on show, so the refusal has it to hide.
        setMode(mode);
        form->edit_rfactor->setText(QStringLiteral("abc"));
        {
            const ModalCatcher boxes;
            windowtest::runOn(*form, seriesA, seriesB);
            QCOMPARE(boxes.seen().size(), 1);
            QVERIFY(form->ProgressBar1->isVisible());
        }
        windowtest::selectMap(*form, 1);
        {
            const QSignalBlocker quietMin(form->Edit_min);
            const QSignalBlocker quietDis(form->Edit_dis);
            form->Edit_min->setText(QStringLiteral("70"));
            form->Edit_dis->setText(QStringLiteral("5"));
        }
        MapStore& store = mapStore();
        store.ScaleMin = -1.0;
        store.ScaleStep = -1.0;
        const auto before = std::make_unique<MapStore>(store);
        const QImage picture = form->Image1->picture();
        const QString caption = form->label_window->text();

        form->edit_rfactor->setText(QStringLiteral("0"));
        ModalCatcher boxes;
        windowtest::runOn(*form, seriesA, seriesB);

        verifyOneBox(boxes, QMessageBox::NoIcon, QStringLiteral("reduction factorが不正です"));
        QCOMPARE(store.ScaleMin, 70.0);
        QCOMPARE(store.ScaleStep, 5.0);
        QVERIFY(form->ProgressBar1->isHidden());
        QCOMPARE(windowtest::lineTexts(*form->ListBox1), lines);
        QCOMPARE(form->ListBox1->selectedItems(), QList<QListWidgetItem*>{form->ListBox1->item(1)});
        QVERIFY(store.DisplayMap == before->DisplayMap);
        for (int k = 0; k < quelby::ResultMapCount; ++k) QVERIFY(store.resultMap(k) == before->resultMap(k));
        QCOMPARE(store.WindowLevel, before->WindowLevel);
        QCOMPARE(store.WindowWidth, before->WindowWidth);
        QCOMPARE(form->Image1->picture(), picture);
        QCOMPARE(form->label_window->text(), caption);
    }

    // Only the one character "0" is refused; other texts of zero reach the g-factor step.
    void otherZeroTextsAreNotRefused_data()
    {
        QTest::addColumn<QString>("reductionFactor");
        QTest::newRow("0.0") << "0.0";
        QTest::newRow("leading blank") << " 0";
        QTest::newRow("-0") << "-0";
    }

    void otherZeroTextsAreNotRefused()
    {
        QFETCH(QString, reductionFactor);
        form->edit_rfactor->setText(reductionFactor);
        ModalCatcher boxes;
        windowtest::runOn(*form, seriesA, seriesB);
        verifyOneBox(boxes, QMessageBox::Critical, QStringLiteral("0 による浮動小数点数除算."));
        QVERIFY(form->ProgressBar1->isVisible());
        QCOMPARE(form->ProgressBar1->value(), 100);
        completedRun();
    }

    void failingRunStopsAtItsStep_data()
    {
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<QString>("reductionFactor");
        QTest::addColumn<QString>("folderA");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("mapsUntouched");
        QTest::addColumn<bool>("windowSet");
        QTest::addColumn<int>("position");
        QTest::addColumn<QStringList>("lines");

        const QString notANumber = QStringLiteral("'abc' は浮動小数点数ではありません.");
        const QString invalid = QStringLiteral("不正な浮動小数点数演算命令.");
        QTest::newRow("reduction factor not a number")
            << Mode::GFactor << "abc" << "A" << notANumber << true << false << 100 << NineLines;
        QTest::newRow("reduction factor not a number, plain mode")
            << Mode::Plain << "abc" << "A" << notANumber << false << false << 100 << NineLines.first(4);
        QTest::newRow("one image file")
            << Mode::GFactor << "2" << "single" << invalid << false << false << 50 << NineLines;
        QTest::newRow("no image file")
            << Mode::GFactor << "2" << "empty" << invalid << false << false << 100 << NineLines;
        QTest::newRow("nothing above 0")
            << Mode::GFactor << "2" << "notPositive" << "ゼロによる除算." << false << true << 100 << NineLines;
    }

    void failingRunStopsAtItsStep()
    {
        QFETCH(Mode, mode);
        QFETCH(QString, reductionFactor);
        QFETCH(QString, folderA);
        QFETCH(QString, message);
        QFETCH(bool, mapsUntouched);
        QFETCH(bool, windowSet);
        QFETCH(int, position);
        QFETCH(QStringList, lines);
        windowtest::writeSeries(folder(QStringLiteral("single")), 1, sampleA);
        QVERIFY(QDir().mkpath(folder(QStringLiteral("empty/sub"))));
        windowtest::writeSeries(folder(QStringLiteral("notPositive")), 3, sampleNotPositive);

        completedRun();
        // A map on show that the run would not show, and a line the run must unselect.
        windowtest::selectMap(*form, 3);
        const MapStore& store = mapStore();
        const auto before = std::make_unique<MapStore>(store);
        const QImage picture = form->Image1->picture();
        const QString caption = form->label_window->text();
        QCOMPARE(caption, QStringLiteral("( WL,WW ) = ( 160 , 460 )"));

        setMode(mode);
        form->edit_rfactor->setText(reductionFactor);
        {
            ModalCatcher boxes;
            windowtest::runOn(*form, folder(folderA), seriesB);
            verifyOneBox(boxes, QMessageBox::Critical, message);
        }
        QVERIFY(form->ProgressBar1->isVisible());
        QCOMPARE(form->ProgressBar1->value(), position);
        QCOMPARE(windowtest::lineTexts(*form->ListBox1), lines);
        QVERIFY(form->ListBox1->selectedItems().isEmpty());
        QCOMPARE(form->Image1->picture(), picture);
        if (mapsUntouched) {
            QVERIFY(store.DisplayMap == before->DisplayMap);
            for (int k = 0; k < quelby::ResultMapCount; ++k) QVERIFY(store.resultMap(k) == before->resultMap(k));
        }
        if (windowSet) {
            QCOMPARE(form->label_window->text(), QStringLiteral("(wl,ww) = (0,0)"));
            QCOMPARE(store.WindowLevel, std::int16_t{0});
            QCOMPARE(store.WindowWidth, std::int16_t{0});
            QVERIFY(store.DisplayMap == mapOf(2, sampleNotPositive));
        } else {
            QCOMPARE(form->label_window->text(), caption);
            QCOMPARE(store.WindowLevel, before->WindowLevel);
            QCOMPARE(store.WindowWidth, before->WindowWidth);
        }
        if (mode == Mode::Plain) {
            // The SeriesA maps were complete when the reduction factor was read.
            QVERIFY(store.RepImageA == mapOf(0, sampleA));
            QVERIFY(store.DisplayMap == store.RepImageA);
            QCOMPARE(store.SignalMapA[0][0], 41.0 + 6.0);
            QCOMPARE(store.NoiseMapA[0][0], 6.0);
        }
        if (folderA == u"single") QVERIFY(store.DisplayMap == mapOf(0, sampleA));

        completedRun();
        QVERIFY(form->ProgressBar1->isHidden());
    }
};

QTEST_MAIN(MeasurementRunWindowTest)
#include "MeasurementRunWindowTest.moc"
