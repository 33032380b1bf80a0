// Choosing a map in the list, and the scale edits of the scale maps: what the
// window shows, the bar written into the maps, the labels beside it.

#include "ModalCatcher.h"
#include "app/TitlePicture.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QSignalBlocker>

#include <cmath>

using quelby::GFactorMapIndex;
using quelby::Map;
using quelby::MapStore;
using quelby::SnrMapAIndex;
using quelby::SnrMapBIndex;
using quelby::TForm1;
using quelby::mapStore;

namespace {

using Bands = std::array<double, 10>;
using Greys = std::array<int, 10>;

// Every pixel a different mix of row and column; the files differ by ±10 (A) and
// ±20 (B), so the noise is 10 and 20 everywhere and with R = 4 the g-factor map
// holds 100 × baseA / baseB.
int baseA(int row, int col) { return 200 + (row * 3 + col * 7) % 1200; }
int baseB(int row, int col) { return 300 + (row * 5 + col) % 500; }

std::int16_t sampleA(int file, int row, int col)
{
    return static_cast<std::int16_t>(baseA(row, col) + 10 * (file - 1));
}

std::int16_t sampleB(int file, int row, int col)
{
    return static_cast<std::int16_t>(baseB(row, col) + 20 * (file - 1));
}

// The same image in every file: a noise map of zeros.
std::int16_t sampleFlat(int, int row, int col) { return static_cast<std::int16_t>(baseA(row, col)); }

const QStringList SnrCaptions{"240", "220", "200", "180", "160", "140", "120", "100", "80", "60"};
const QStringList GFactorCaptions{"2.40", "2.20", "2.00", "1.80", "1.60", "1.40", "1.20", "1.00", "0.80", "0.60"};
const Greys SnrBandGreys{172, 161, 150, 139, 128, 116, 105, 94, 83, 72};
const Greys GFactorBandGreys{153, 140, 128, 115, 102, 89, 76, 64, 51, 38};

QStringList captionsFrom(double min, double step, int decimals)
{
    QStringList captions;
    for (int n = 1; n <= 10; ++n) captions << QString::number((10 - n) * step + min, 'f', decimals);
    return captions;
}

Greys greysOf(const Bands& bands, std::int16_t level, std::int16_t width)
{
    Greys greys{};
    for (int b = 0; b < 10; ++b) greys[b] = quelby::greyOf(bands[b], level, width);
    return greys;
}

// Selects all of an edit's text and types over it, one change per keystroke.
void typeInto(QLineEdit* edit, const QString& text)
{
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, text);
    QCOMPARE(edit->text(), text);
}

// Sets an edit's text without its change handler: the state a test starts from.
void setQuietly(QLineEdit* edit, const QString& text)
{
    const QSignalBlocker quiet(edit);
    edit->setText(text);
}

// What a change handler left behind, recorded right after it ran.
struct AfterChange {
    QString edit;
    QString minText;
    QString stepText;
    double scaleMin;
    double scaleStep;
    Bands bandsOfShownMap;
    Bands bandsOnDisplay;
    QStringList captions;
    std::int16_t level;
    std::int16_t width;
    QString pictureMismatch;
};

// Records the state after every change of either edit. Connected after the
// window's own connections, so each record follows the window's handler.
class ChangeRecorder : public QObject {
public:
    ChangeRecorder(TForm1& form, int mapIndex)
    {
        for (QLineEdit* edit : {form.Edit_min, form.Edit_dis})
            connect(edit, &QLineEdit::textChanged, this, [&form, edit, mapIndex, this] {
                const MapStore& store = mapStore();
                records.append({edit->objectName(), form.Edit_min->text(), form.Edit_dis->text(), store.ScaleMin,
                                store.ScaleStep, windowtest::bandValues(store.resultMap(mapIndex)),
                                windowtest::bandValues(store.DisplayMap), windowtest::scaleCaptions(form),
                                store.WindowLevel, store.WindowWidth,
                                windowtest::greyMismatch(form, store.DisplayMap, store.WindowLevel,
                                                         store.WindowWidth)});
            });
    }

    QList<AfterChange> records;
};

}  // namespace

class MapSelectionTest : public QObject {
    Q_OBJECT

    TForm1* form = nullptr;
    QTemporaryDir root;

    QString folder(const QString& name) const { return root.path() + u'/' + name; }

    void runOn(const QString& seriesA)
    {
        QVERIFY(form->CheckBox1->isChecked());
        form->edit_rfactor->setText(QStringLiteral("4"));
        const ModalCatcher boxes;
        windowtest::runOn(*form, seriesA, folder(QStringLiteral("B")));
        QCOMPARE(boxes.seen().size(), 0);
        QVERIFY(form->ListBox1->selectedItems().isEmpty());
    }

    void choose(int index)
    {
        const ModalCatcher boxes;
        windowtest::selectMap(*form, index);
        QCOMPARE(boxes.seen().size(), 0);
    }

    // What a selection of map k must show, given the readout caption, the scale
    // captions and the edits' texts it found.
    void verifyShown(int k, const QString& readoutBefore, const QStringList& captionsBefore,
                     const QStringList& editsBefore)
    {
        const MapStore& store = mapStore();
        const Map& map = store.resultMap(k);
        const bool snr = k == SnrMapAIndex || k == SnrMapBIndex;
        const bool gFactor = k == GFactorMapIndex;
        QCOMPARE(form->ListBox1->selectedItems(), QList<QListWidgetItem*>{form->ListBox1->item(k)});
        QVERIFY(store.DisplayMap == map);
        QCOMPARE(store.DisplayMax, windowtest::largestOf(map));
        QCOMPARE(store.ScaleMin, 60.0);
        QCOMPARE(store.ScaleStep, 20.0);

        std::int16_t level = static_cast<std::int16_t>(std::trunc(windowtest::largestOf(map) / 2));
        std::int16_t width = static_cast<std::int16_t>(std::trunc(windowtest::largestOf(map)));
        QString caption = QStringLiteral("( WL,WW ) = ( %1 , %2 )").arg(level).arg(width);
        if (snr) {
            level = 160;
            width = 460;
            caption = QStringLiteral("( WL,WW ) = ( 160 , 460 )");
        } else if (gFactor) {
            level = 200;
            width = 400;
            caption = QStringLiteral("( WL,WW ) = ( 2.00 , 4.00 )");
        }
        QCOMPARE(store.WindowLevel, level);
        QCOMPARE(store.WindowWidth, width);
        QCOMPARE(form->label_window->text(), caption);
        const QString readout = snr ? QStringLiteral(" SNR = ") : gFactor ? readoutBefore : QStringLiteral(" 信号強度 = ");
        QCOMPARE(form->label_SI->text(), readout);

        QCOMPARE(form->GroupBox2->isVisible(), snr || gFactor);
        QCOMPARE(form->Panel4->isVisible(), snr || gFactor);
        QCOMPARE(windowtest::scaleCaptions(*form), snr ? SnrCaptions : gFactor ? GFactorCaptions : captionsBefore);
        const QStringList edits{form->Edit_min->text(), form->Edit_dis->text()};
        const QStringList expectedEdits = snr       ? QStringList{"60", "20"}
                                          : gFactor ? QStringList{"0.6", "0.2"}
                                                    : editsBefore;
        QCOMPARE(edits, expectedEdits);

        const QString mismatch = windowtest::greyMismatch(*form, map, level, width);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        if (snr || gFactor) {
            QCOMPARE(windowtest::bandValues(map), windowtest::bandsFrom(60, 20));
            QCOMPARE(windowtest::bandGreys(*form), snr ? SnrBandGreys : GFactorBandGreys);
            QCOMPARE(windowtest::frameGrey(*form), snr ? 205 : 192);
        }
    }

    // Chooses map k by a click and checks what it shows.
    void chooseAndVerify(int k)
    {
        const QString readout = form->label_SI->text();
        const QStringList captions = windowtest::scaleCaptions(*form);
        const QStringList edits{form->Edit_min->text(), form->Edit_dis->text()};
        choose(k);
        verifyShown(k, readout, captions, edits);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        form = new TForm1;
        // Nothing of the scale edits ran while the window was built.
        QCOMPARE(windowtest::scaleCaptions(*form), QStringList(10, QStringLiteral("0")));
        QCOMPARE(mapStore().ScaleMin, 0.0);
        QCOMPARE(mapStore().ScaleStep, 0.0);
        QCOMPARE(mapStore().WindowWidth, std::int16_t{0});
        QCOMPARE(form->Image1->picture(), quelby::makeTitlePicture());
        QCOMPARE(form->Edit_min->text(), QStringLiteral("60"));
        QCOMPARE(form->Edit_dis->text(), QStringLiteral("20"));

        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
        windowtest::writeSeries(folder(QStringLiteral("A")), 3, sampleA);
        windowtest::writeSeries(folder(QStringLiteral("B")), 3, sampleB);
        windowtest::writeSeries(folder(QStringLiteral("flat")), 3, sampleFlat);
    }

    // Every test starts from a fresh run with the edits at their start texts.
    void init()
    {
        setQuietly(form->Edit_min, QStringLiteral("60"));
        setQuietly(form->Edit_dis, QStringLiteral("20"));
        runOn(folder(QStringLiteral("A")));
    }

    void cleanupTestCase() { delete form; }

    void theFixtureHoldsTheIntendedMaps()
    {
        const MapStore& store = mapStore();
        QCOMPARE(store.SignalMapA[10][20], double(baseA(10, 20)));
        QCOMPARE(store.NoiseMapA[10][20], 10.0);
        QCOMPARE(store.NoiseMapB[10][20], 20.0);
        QCOMPARE(store.GFactorMap[10][20], 100.0 * baseA(10, 20) / baseB(10, 20));
        QCOMPARE(windowtest::largestOf(store.SignalMapA), 1399.0);
    }

    void choosingAMapByClick_data()
    {
        QTest::addColumn<int>("previous");
        QTest::addColumn<int>("index");
        QTest::newRow("RepImageA") << 1 << 0;
        QTest::newRow("SignalMapA") << 0 << 1;
        QTest::newRow("NoiseMapA after an SNR map") << 3 << 2;
        QTest::newRow("SnrMapA after the g-factor map") << 8 << 3;
        QTest::newRow("RepImageB after the g-factor map") << 8 << 4;
        QTest::newRow("SignalMapB") << 2 << 5;
        QTest::newRow("NoiseMapB after an SNR map") << 7 << 6;
        QTest::newRow("SnrMapB after SnrMapA") << 3 << 7;
        QTest::newRow("g-factor map after a signal map") << 0 << 8;
        QTest::newRow("g-factor map after an SNR map") << 3 << 8;
    }

    void choosingAMapByClick()
    {
        QFETCH(int, previous);
        QFETCH(int, index);
        chooseAndVerify(previous);
        chooseAndVerify(index);
    }

    void choosingAMapByKeys()
    {
        chooseAndVerify(0);
        form->ListBox1->setFocus();
        const auto step = [this](Qt::Key key, int k) {
            const QString readout = form->label_SI->text();
            const QStringList captions = windowtest::scaleCaptions(*form);
            const QStringList edits{form->Edit_min->text(), form->Edit_dis->text()};
            const ModalCatcher boxes;
            QTest::keyClick(form->ListBox1, key);
            QCOMPARE(boxes.seen().size(), 0);
            verifyShown(k, readout, captions, edits);
        };
        for (int k = 1; k < quelby::ResultMapCount; ++k) {
            step(Qt::Key_Down, k);
            if (QTest::currentTestFailed()) return;
        }
        step(Qt::Key_Up, SnrMapBIndex);
    }

    // The first assignment runs Edit_minChange with "0.6" beside "20", the second
    // Edit_disChange with both final texts; each renders under the SNR window.
    void gFactorMapAfterAnSnrMapRunsBothHandlersInTurn()
    {
        chooseAndVerify(SnrMapAIndex);
        const QString readout = form->label_SI->text();
        ChangeRecorder recorder(*form, GFactorMapIndex);
        choose(GFactorMapIndex);

        QCOMPARE(recorder.records.size(), 2);
        const AfterChange& first = recorder.records[0];
        QCOMPARE(first.edit, QStringLiteral("Edit_min"));
        QCOMPARE(first.minText, QStringLiteral("0.6"));
        QCOMPARE(first.stepText, QStringLiteral("20"));
        QCOMPARE(first.scaleMin, 60.0);
        QCOMPARE(first.scaleStep, 2000.0);
        QCOMPARE(first.bandsOfShownMap, windowtest::bandsFrom(60, 2000));
        QCOMPARE(first.bandsOnDisplay, windowtest::bandsFrom(60, 2000));
        QCOMPARE(first.captions, captionsFrom(0.6, 20, 2));
        QCOMPARE(first.level, std::int16_t{160});
        QCOMPARE(first.width, std::int16_t{460});
        QVERIFY2(first.pictureMismatch.isEmpty(), qPrintable(first.pictureMismatch));

        const AfterChange& second = recorder.records[1];
        QCOMPARE(second.edit, QStringLiteral("Edit_dis"));
        QCOMPARE(second.minText, QStringLiteral("0.6"));
        QCOMPARE(second.stepText, QStringLiteral("0.2"));
        QCOMPARE(second.scaleMin, 60.0);
        QCOMPARE(second.scaleStep, 20.0);
        QCOMPARE(second.bandsOfShownMap, windowtest::bandsFrom(60, 20));
        QCOMPARE(second.bandsOnDisplay, windowtest::bandsFrom(60, 20));
        QCOMPARE(second.captions, GFactorCaptions);
        QCOMPARE(second.level, std::int16_t{160});
        QVERIFY2(second.pictureMismatch.isEmpty(), qPrintable(second.pictureMismatch));

        verifyShown(GFactorMapIndex, readout, {}, {});
    }

    // The first handler the selection sets off fails on the text typed before; the
    // selection goes on, and the second handler sees two numbers.
    void failingNestedHandlerDoesNotStopTheSelection()
    {
        chooseAndVerify(SnrMapAIndex);
        {
            const ModalCatcher boxes;
            typeInto(form->Edit_dis, QStringLiteral("-"));
            QCOMPARE(boxes.seen().size(), 1);
        }
        const QString readout = form->label_SI->text();
        ModalCatcher boxes;
        ChangeRecorder recorder(*form, GFactorMapIndex);
        windowtest::selectMap(*form, GFactorMapIndex);
        QCOMPARE(boxes.seen().size(), 1);
        QCOMPARE(boxes.seen().first().text, QStringLiteral("'-' は浮動小数点数ではありません."));
        QCOMPARE(recorder.records.size(), 2);
        QCOMPARE(recorder.records[0].scaleMin, 0.6);
        // Still the bar of the run, written from 100 × "60" and 100 × "20".
        QCOMPARE(recorder.records[0].bandsOfShownMap, windowtest::bandsFrom(6000, 2000));
        verifyShown(GFactorMapIndex, readout, {}, {});
    }

    // Typed for the g-factor map, "60" and "20" hold 6000 and 2000; an SNR map
    // chosen next changes no text, so only the selection itself can set 60 and 20.
    void snrMapAfterTheStartTextsTypedForTheGFactorMap()
    {
        chooseAndVerify(GFactorMapIndex);
        typeInto(form->Edit_min, QStringLiteral("60"));
        typeInto(form->Edit_dis, QStringLiteral("20"));
        QCOMPARE(mapStore().ScaleMin, 6000.0);
        QCOMPARE(mapStore().ScaleStep, 2000.0);
        QSignalSpy changes(form->Edit_min, &QLineEdit::textChanged);
        chooseAndVerify(SnrMapAIndex);
        QCOMPARE(changes.size(), 0);
    }

    void typedMinimumSurvivesReselection()
    {
        chooseAndVerify(SnrMapAIndex);
        const QString caption = form->label_window->text();
        ChangeRecorder recorder(*form, SnrMapAIndex);
        {
            const ModalCatcher boxes;
            typeInto(form->Edit_min, QStringLiteral("100"));
            QCOMPARE(boxes.seen().size(), 0);
        }
        QCOMPARE(recorder.records.size(), 3);
        const double typed[] = {1, 10, 100};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(recorder.records[i].bandsOfShownMap, windowtest::bandsFrom(typed[i], 20));
            QCOMPARE(recorder.records[i].captions, captionsFrom(typed[i], 20, 0));
        }
        const MapStore& store = mapStore();
        const Bands typedBands = windowtest::bandsFrom(100, 20);
        QCOMPARE(typedBands.front(), 280.0);
        QCOMPARE(windowtest::bandValues(store.SnrMapA), typedBands);
        QVERIFY(store.DisplayMap == store.SnrMapA);
        QCOMPARE(windowtest::scaleCaptions(*form), captionsFrom(100, 20, 0));
        QCOMPARE(store.ScaleMin, 100.0);
        QCOMPARE(store.WindowLevel, std::int16_t{160});
        QCOMPARE(store.WindowWidth, std::int16_t{460});
        QCOMPARE(form->label_window->text(), caption);
        QCOMPARE(windowtest::bandGreys(*form), greysOf(typedBands, 160, 460));
        QString mismatch = windowtest::greyMismatch(*form, store.DisplayMap, 160, 460);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));

        choose(SnrMapBIndex);
        QCOMPARE(windowtest::bandValues(store.SnrMapB), windowtest::bandsFrom(60, 20));
        choose(SnrMapAIndex);
        QCOMPARE(windowtest::bandValues(store.SnrMapA), typedBands);
        QVERIFY(store.DisplayMap == store.SnrMapA);
        QCOMPARE(windowtest::scaleCaptions(*form), SnrCaptions);
        QCOMPARE(form->Edit_min->text(), QStringLiteral("60"));
        QCOMPARE(windowtest::bandGreys(*form), greysOf(typedBands, 160, 460));
        mismatch = windowtest::greyMismatch(*form, store.DisplayMap, 160, 460);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    void typedMinimumOfTheGFactorMapIsTakenTimes100()
    {
        chooseAndVerify(GFactorMapIndex);
        {
            const ModalCatcher boxes;
            typeInto(form->Edit_min, QStringLiteral("1"));
            QCOMPARE(boxes.seen().size(), 0);
        }
        const MapStore& store = mapStore();
        const Bands bands{280, 260, 240, 220, 200, 180, 160, 140, 120, 100};
        QCOMPARE(windowtest::bandValues(store.GFactorMap), bands);
        QVERIFY(store.DisplayMap == store.GFactorMap);
        QCOMPARE(windowtest::scaleCaptions(*form),
                 (QStringList{"2.80", "2.60", "2.40", "2.20", "2.00", "1.80", "1.60", "1.40", "1.20", "1.00"}));
        QCOMPARE(store.ScaleMin, 100.0);
        QCOMPARE(store.ScaleStep, 20.0);
        QCOMPARE(store.WindowLevel, std::int16_t{200});
        QCOMPARE(store.WindowWidth, std::int16_t{400});
        QCOMPARE(form->label_window->text(), QStringLiteral("( WL,WW ) = ( 2.00 , 4.00 )"));
        QCOMPARE(windowtest::bandGreys(*form), greysOf(bands, 200, 400));
    }

    void emptyOrPartialTextChangesNothingElse_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        QTest::newRow("Edit_min emptied") << int(SnrMapAIndex) << "Edit_min" << "" << "";
        QTest::newRow("Edit_dis emptied") << int(SnrMapAIndex) << "Edit_dis" << "" << "";
        QTest::newRow("Edit_min emptied, g-factor map") << int(GFactorMapIndex) << "Edit_min" << "" << "";
        QTest::newRow("Edit_min a lone sign") << int(SnrMapAIndex) << "Edit_min" << "-"
                                              << "'-' は浮動小数点数ではありません.";
        QTest::newRow("Edit_dis a lone sign") << int(SnrMapAIndex) << "Edit_dis" << "-"
                                              << "'-' は浮動小数点数ではありません.";
        QTest::newRow("Edit_dis a lone sign, g-factor map") << int(GFactorMapIndex) << "Edit_dis" << "-"
                                                            << "'-' は浮動小数点数ではありません.";
    }

    void emptyOrPartialTextChangesNothingElse()
    {
        QFETCH(int, index);
        QFETCH(QString, edit);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        chooseAndVerify(index);
        auto* field = form->findChild<QLineEdit*>(edit);
        QVERIFY(field);
        // A new minimum first, so that a failing Edit_dis shows it was already taken.
        const bool gFactor = index == GFactorMapIndex;
        if (edit == u"Edit_dis") typeInto(form->Edit_min, gFactor ? QStringLiteral("0.7") : QStringLiteral("70"));

        MapStore& store = mapStore();
        store.ScaleMin = -1.0;
        store.ScaleStep = -1.0;
        const Bands bands = windowtest::bandValues(store.resultMap(index));
        const Map shown = store.DisplayMap;
        const QImage picture = form->Image1->picture();
        const QStringList captions = windowtest::scaleCaptions(*form);

        ModalCatcher boxes;
        QSignalSpy changes(field, &QLineEdit::textChanged);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        if (typed.isEmpty())
            QTest::keyClick(field, Qt::Key_Backspace);
        else
            QTest::keyClicks(field, typed);
        QCOMPARE(field->text(), typed);
        QCOMPARE(changes.size(), 1);

        if (message.isEmpty()) {
            QCOMPARE(boxes.seen().size(), 0);
        } else {
            QCOMPARE(boxes.seen().size(), 1);
            QCOMPARE(boxes.seen().first().icon, QMessageBox::Critical);
            QCOMPARE(boxes.seen().first().text, message);
        }
        const bool minimumTaken = !message.isEmpty() && edit == u"Edit_dis";
        // The failing parse comes before the g-factor map's factor of 100.
        QCOMPARE(store.ScaleMin, minimumTaken ? (gFactor ? 0.7 : 70.0) : -1.0);
        QCOMPARE(store.ScaleStep, -1.0);
        QCOMPARE(windowtest::bandValues(store.resultMap(index)), bands);
        QVERIFY(store.DisplayMap == shown);
        QCOMPARE(form->Image1->picture(), picture);
        QCOMPARE(windowtest::scaleCaptions(*form), captions);
    }

    void negativeStepGrowsDownward_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("step");
        QTest::addColumn<QStringList>("captions");
        QTest::newRow("SNR map") << int(SnrMapAIndex) << "-20"
                                 << QStringList{"-120", "-100", "-80", "-60", "-40", "-20", "0", "20", "40", "60"};
        QTest::newRow("g-factor map")
            << int(GFactorMapIndex) << "-0.2"
            << QStringList{"-1.20", "-1.00", "-0.80", "-0.60", "-0.40", "-0.20", "0.00", "0.20", "0.40", "0.60"};
    }

    void negativeStepGrowsDownward()
    {
        QFETCH(int, index);
        QFETCH(QString, step);
        QFETCH(QStringList, captions);
        chooseAndVerify(index);
        const ModalCatcher boxes;
        form->Edit_dis->setText(step);
        QCOMPARE(boxes.seen().size(), 0);
        const MapStore& store = mapStore();
        const Bands bands = windowtest::bandsFrom(60, -20);
        QCOMPARE(windowtest::bandValues(store.resultMap(index)), bands);
        QVERIFY(store.DisplayMap == store.resultMap(index));
        QCOMPARE(windowtest::scaleCaptions(*form), captions);
        QCOMPARE(windowtest::bandGreys(*form), greysOf(bands, store.WindowLevel, store.WindowWidth));
    }

    // The list keeps the line of the map on show: a Ctrl+click or Ctrl+Space on it
    // must not leave the picture without its line (and the edits without their map).
    void theLineOnShowCannotBeUnselected()
    {
        chooseAndVerify(GFactorMapIndex);
        QListWidgetItem* line = form->ListBox1->item(GFactorMapIndex);
        const QPoint centre = form->ListBox1->visualItemRect(line).center();
        QTest::mouseClick(form->ListBox1->viewport(), Qt::LeftButton, Qt::ControlModifier, centre);
        QCOMPARE(form->ListBox1->selectedItems(), QList<QListWidgetItem*>{line});
        form->ListBox1->setFocus();
        QTest::keyClick(form->ListBox1, Qt::Key_Space, Qt::ControlModifier);
        QCOMPARE(form->ListBox1->selectedItems(), QList<QListWidgetItem*>{line});
        verifyShown(GFactorMapIndex, form->label_SI->text(), {}, {});

        typeInto(form->Edit_min, QStringLiteral("1"));
        QCOMPARE(windowtest::bandValues(mapStore().GFactorMap), windowtest::bandsFrom(100, 20));
        QCOMPARE(windowtest::scaleCaptions(*form).front(), QStringLiteral("2.80"));
    }

    void mapWithLargestValueBelowOneCannotBeRendered()
    {
        runOn(folder(QStringLiteral("flat")));
        chooseAndVerify(0);
        const QImage picture = form->Image1->picture();
        ModalCatcher boxes;
        windowtest::selectMap(*form, quelby::NoiseMapAIndex);
        QCOMPARE(boxes.seen().size(), 1);
        QCOMPARE(boxes.seen().first().icon, QMessageBox::Critical);
        QCOMPARE(boxes.seen().first().text, QStringLiteral("ゼロによる除算."));
        const MapStore& store = mapStore();
        QCOMPARE(form->label_window->text(), QStringLiteral("( WL,WW ) = ( 0 , 0 )"));
        QCOMPARE(store.WindowLevel, std::int16_t{0});
        QCOMPARE(store.WindowWidth, std::int16_t{0});
        QCOMPARE(store.DisplayMax, 0.0);
        QVERIFY(store.DisplayMap == Map{});
        QCOMPARE(form->label_SI->text(), QStringLiteral(" 信号強度 = "));
        QCOMPARE(form->Image1->picture(), picture);

        // The next choice renders again.
        chooseAndVerify(1);
    }

    void newRunKeepsTheScaleControlsAsTheyWere_data()
    {
        QTest::addColumn<int>("index");
        QTest::newRow("after the g-factor map") << int(GFactorMapIndex);
        QTest::newRow("after a signal map") << 1;
    }

    void newRunKeepsTheScaleControlsAsTheyWere()
    {
        QFETCH(int, index);
        chooseAndVerify(index);
        const bool scaleShown = form->GroupBox2->isVisible();
        const QStringList edits{form->Edit_min->text(), form->Edit_dis->text()};
        const QStringList captions = windowtest::scaleCaptions(*form);
        const QString readout = form->label_SI->text();
        const QString position = form->label_pos->text();

        runOn(folder(QStringLiteral("A")));
        const MapStore& store = mapStore();
        QVERIFY(store.DisplayMap == store.RepImageA);
        QVERIFY(form->label_window->text().startsWith(u"(wl,ww) = ("));
        QCOMPARE(form->GroupBox2->isVisible(), scaleShown);
        QCOMPARE(form->Panel4->isVisible(), scaleShown);
        QCOMPARE((QStringList{form->Edit_min->text(), form->Edit_dis->text()}), edits);
        QCOMPARE(windowtest::scaleCaptions(*form), captions);
        QCOMPARE(form->label_SI->text(), readout);
        QCOMPARE(form->label_pos->text(), position);

        // With no line selected a change takes the numbers and renders, nothing more.
        const Bands bands = windowtest::bandValues(store.GFactorMap);
        const ModalCatcher boxes;
        form->Edit_min->setText(QStringLiteral("0.8"));
        QCOMPARE(boxes.seen().size(), 0);
        QCOMPARE(store.ScaleMin, 0.8);
        QCOMPARE(windowtest::bandValues(store.GFactorMap), bands);
        QVERIFY(store.DisplayMap == store.RepImageA);
        QCOMPARE(windowtest::scaleCaptions(*form), captions);
    }
};

QTEST_MAIN(MapSelectionTest)
#include "MapSelectionTest.moc"
