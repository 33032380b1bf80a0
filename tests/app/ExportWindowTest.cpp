// Writing the map on show through Button3 and SaveDialog1: the bytes, the
// replacing of files, refusals that keep the old file, and the dialog itself.

#include "ModalCatcher.h"
#include "WindowTestSupport.h"

#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>

#include <cmath>
#include <limits>
#include <sys/stat.h>

using quelby::TForm1;

namespace {

// SeriesA: a ramp with negative samples and a step; the pixel at row 100, column
// 20 holds 10, 20, 30 in turn (SNR 2). SeriesB: 10, 30, 50 there (SNR 1.5), the
// same ramp elsewhere.
std::int16_t sampleA(int file, int row, int col)
{
    if (row == 100 && col == 20) return static_cast<std::int16_t>(10 * (file + 1));
    return static_cast<std::int16_t>((3 * row + col) % 200 - 50 + file * ((row + col) % 4));
}

std::int16_t sampleB(int file, int row, int col)
{
    if (row == 100 && col == 20) return static_cast<std::int16_t>(10 + 20 * file);
    return sampleA(file, row, col);
}

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

// The record of row r, column c of an exported file, as an unsigned 16-bit value.
int recordAt(const QByteArray& bytes, int row, int col)
{
    const qsizetype at = 2 * (qsizetype{row} * quelby::ImageSide + col);
    return static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8;
}

// Each record the low 16 bits of ⌊v⌋ (times 10 for the g-factor map), little-endian, row after row.
QByteArray expectedFile(const quelby::Map& map, bool gFactor)
{
    QByteArray bytes;
    for (const quelby::MapRow& row : map)
        for (double v : row) {
            const auto n = static_cast<std::int64_t>(std::floor(v)) * (gFactor ? 10 : 1);
            bytes.append(static_cast<char>(n & 0xFF));
            bytes.append(static_cast<char>((n >> 8) & 0xFF));
        }
    return bytes;
}

// Every entry of a folder, hidden ones included.
QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

}  // namespace

class ExportWindowTest : public QObject {
    Q_OBJECT

    TForm1* form = nullptr;
    QTemporaryDir root;
    QString seriesA;
    QString seriesB;
    QString out;  // the folder the exports go to

    QString target(const QString& name) const { return out + u'/' + name; }

    // Clicks Button3 and answers SaveDialog1; what the program showed, in order.
    QList<ModalCatcher::Seen> exportAnswering(const ModalCatcher::FileAnswer& answer)
    {
        ModalCatcher catcher;
        catcher.answerFileDialogs({answer});
        QTest::mouseClick(form->Button3, Qt::LeftButton);
        return catcher.seen();
    }

    // An export that must succeed: the dialog and nothing else was shown.
    void exportTo(const QString& path)
    {
        const QList<ModalCatcher::Seen> seen = exportAnswering({path, true});
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.first().kind, QStringLiteral("QFileDialog"));
    }

    // An export that must fail with the error box `message`.
    void exportFailsWith(const QString& path, const QString& message)
    {
        const QList<ModalCatcher::Seen> seen = exportAnswering({path, true});
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen[0].kind, QStringLiteral("QFileDialog"));
        QCOMPARE(seen[1].icon, QMessageBox::Critical);
        QCOMPARE(seen[1].text, message);
    }

    // The names the next dialog opens with; the dialog is cancelled.
    QStringList namesTheDialogOpensWith()
    {
        const QList<ModalCatcher::Seen> seen = exportAnswering({QString(), false});
        return seen.isEmpty() ? QStringList() : seen.first().selectedFiles;
    }

    void ensureRun()
    {
        if (form->ListBox1->count() == 9) return;
        form->edit_rfactor->setText(QStringLiteral("4"));
        const ModalCatcher boxes;
        windowtest::runOn(*form, seriesA, seriesB);
        QCOMPARE(boxes.seen().isEmpty() ? QString() : boxes.seen().first().text, QString());
        QCOMPARE(form->ListBox1->count(), 9);
    }

    // Shows map k through its selection, also when its line is the selected one.
    void show(int k)
    {
        ensureRun();
        windowtest::selectMap(*form, k == 0 ? 1 : 0);
        windowtest::selectMap(*form, k);
    }

    void typeInto(QLineEdit* edit, const QString& text)
    {
        edit->selectAll();
        QTest::keyClicks(edit, text);
        QCOMPARE(edit->text(), text);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        seriesA = root.filePath(QStringLiteral("a"));
        seriesB = root.filePath(QStringLiteral("b"));
        out = root.filePath(QStringLiteral("out"));
        windowtest::writeSeries(seriesA, 3, sampleA);
        windowtest::writeSeries(seriesB, 3, sampleB);
        QVERIFY(QDir().mkpath(out));
        form = new TForm1;
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
    }

    void cleanupTestCase() { delete form; }

    // First, while the display map is as the program starts.
    void exportBeforeAnyRunWritesZeros()
    {
        QCOMPARE(form->ListBox1->count(), 0);
        QCOMPARE(quelby::mapStore().DisplayMap, quelby::Map{});
        exportTo(target(QStringLiteral("start.raw")));
        QCOMPARE(contentsOf(target(QStringLiteral("start.raw"))), QByteArray(131072, '\0'));
    }

    void dialogIsThePlainSaveDialog()
    {
        const QList<ModalCatcher::Seen> seen = exportAnswering({QString(), false});
        QCOMPARE(seen.size(), 1);
        const ModalCatcher::Seen& dialog = seen.first();
        QCOMPARE(dialog.kind, QStringLiteral("QFileDialog"));
        QCOMPARE(dialog.acceptMode, QFileDialog::AcceptSave);
        QCOMPARE(dialog.fileMode, QFileDialog::AnyFile);
        QCOMPARE(dialog.nameFilters, QStringList(QStringLiteral("All Files (*)")));  // the toolkit's own: no filter
        QCOMPARE(dialog.defaultSuffix, QString());
        QCOMPARE(dialog.fileOptions, QFileDialog::Options(QFileDialog::DontConfirmOverwrite));
        QVERIFY(dialog.modality != Qt::NonModal);
    }

    void recordsOfEachKindOfMap_data()
    {
        QTest::addColumn<int>("map");
        QTest::addColumn<QPoint>("pixel");  // column, row
        QTest::addColumn<int>("record");
        QTest::newRow("rep A, negative sample") << 0 << QPoint(12, 200) << 0xFFDA;  // -38
        QTest::newRow("rep A, last file") << 0 << QPoint(20, 100) << 30;
        QTest::newRow("rep A, row 0") << 0 << QPoint(5, 0) << (5 - 50 + 2 * 1 + 0x10000);
        QTest::newRow("noise A") << 2 << QPoint(20, 100) << 10;
        QTest::newRow("SNR A") << 3 << QPoint(20, 100) << 2;
        QTest::newRow("SNR A, top band") << 3 << QPoint(240, 53) << 240;
        QTest::newRow("SNR A, bottom band") << 3 << QPoint(250, 202) << 60;
        QTest::newRow("SNR A, frame") << 3 << QPoint(234, 52) << 300;
        QTest::newRow("SNR B") << 7 << QPoint(20, 100) << 1;
        QTest::newRow("g-factor, 66.67") << 8 << QPoint(20, 100) << 660;
        QTest::newRow("g-factor, top band") << 8 << QPoint(240, 53) << 2400;
        QTest::newRow("g-factor, bottom band") << 8 << QPoint(235, 202) << 600;
        QTest::newRow("g-factor, frame") << 8 << QPoint(251, 203) << 3000;
    }

    void recordsOfEachKindOfMap()
    {
        QFETCH(int, map);
        QFETCH(QPoint, pixel);
        QFETCH(int, record);
        show(map);
        const QString path = target(QStringLiteral("kind%1.raw").arg(map));
        exportTo(path);
        const QByteArray bytes = contentsOf(path);
        QCOMPARE(bytes.size(), 131072);
        QCOMPARE(recordAt(bytes, pixel.y(), pixel.x()), record);
        QCOMPARE(bytes, expectedFile(quelby::mapStore().resultMap(map), map == quelby::GFactorMapIndex));
    }

    void storedValueBecomesItsRecord_data()
    {
        QTest::addColumn<int>("map");
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("record");
        QTest::newRow("-0.5 rounds down to -1") << 0 << -0.5 << 0xFFFF;
        QTest::newRow("2.7 rounds down to 2") << 0 << 2.7 << 2;
        QTest::newRow("70000 wraps") << 1 << 70000.0 << 4464;
        QTest::newRow("-32768.5 wraps") << 1 << -32768.5 << 0x7FFF;
        QTest::newRow("65536.9 wraps to 0") << 2 << 65536.9 << 0;
        QTest::newRow("g-factor 123.4") << 8 << 123.4 << 1230;
        QTest::newRow("g-factor -0.5") << 8 << -0.5 << 0xFFF6;  // -10
        QTest::newRow("g-factor 3276.9") << 8 << 3276.9 << 32760;
        QTest::newRow("g-factor 3277 wraps") << 8 << 3277.0 << 0x8002;  // 32770
        QTest::newRow("SNR keeps the factor 1") << 3 << 123.4 << 123;
    }

    void storedValueBecomesItsRecord()
    {
        QFETCH(int, map);
        QFETCH(double, value);
        QFETCH(int, record);
        show(map);
        quelby::mapStore().DisplayMap[17][200] = value;
        const QString path = target(QStringLiteral("value.raw"));
        exportTo(path);
        const QByteArray bytes = contentsOf(path);
        QCOMPARE(bytes.size(), 131072);
        QCOMPARE(recordAt(bytes, 17, 200), record);
        QCOMPARE(static_cast<std::uint8_t>(bytes[2 * (17 * 256 + 200)]), record & 0xFF);
    }

    void exportingAgainReplacesTheFile()
    {
        const QString path = target(QStringLiteral("again.raw"));
        {
            QFile longer(path);
            QVERIFY(longer.open(QIODevice::WriteOnly));
            QCOMPARE(longer.write(QByteArray(200000, 'x')), 200000);
        }
        show(3);
        exportTo(path);
        QCOMPARE(contentsOf(path), expectedFile(quelby::mapStore().SnrMapA, false));
        show(1);
        exportTo(path);  // no question before replacing: the dialog was the only window
        QCOMPARE(contentsOf(path), expectedFile(quelby::mapStore().SignalMapA, false));
        QCOMPARE(QFileInfo(path).size(), 131072);
        QCOMPARE(entriesOf(out).filter(QStringLiteral("again")), QStringList(QStringLiteral("again.raw")));
    }

    void exportIsTheSameWhateverTheWindow()
    {
        show(1);
        const QString before = target(QStringLiteral("window1.raw"));
        exportTo(before);
        const QString caption = form->label_window->text();
        QWindow* window = form->windowHandle();
        const auto at = [&](int x, int y) { return window->mapFromGlobal(form->Image1->mapToGlobal(QPoint(x, y))); };
        QTest::mouseMove(window, at(100, 100));
        QTest::mousePress(window, Qt::LeftButton, {}, at(100, 100));
        QTest::mouseMove(window, at(30, 180));
        QTest::mouseRelease(window, Qt::LeftButton, {}, at(30, 180));
        QVERIFY(form->label_window->text() != caption);
        const QString after = target(QStringLiteral("window2.raw"));
        exportTo(after);
        QCOMPARE(contentsOf(after), contentsOf(before));
    }

    void redrawnBarIsExported_data()
    {
        QTest::addColumn<int>("map");
        QTest::addColumn<QString>("min");
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("top");     // record of band 0
        QTest::addColumn<int>("bottom");  // record of band 9
        QTest::newRow("SNR map, minimum 100") << 3 << "100" << "20" << 280 << 100;
        QTest::newRow("SNR B, step 3") << 7 << "60" << "3" << 87 << 60;
        QTest::newRow("g-factor map, 6 and 2") << 8 << "6" << "2" << 24000 << 6000;
    }

    void redrawnBarIsExported()
    {
        QFETCH(int, map);
        QFETCH(QString, min);
        QFETCH(QString, step);
        QFETCH(int, top);
        QFETCH(int, bottom);
        show(map);
        typeInto(form->Edit_min, min);
        typeInto(form->Edit_dis, step);
        const QString path = target(QStringLiteral("bar.raw"));
        exportTo(path);
        const QByteArray bytes = contentsOf(path);
        QCOMPARE(recordAt(bytes, 53, 235), top);
        QCOMPARE(recordAt(bytes, 202, 250), bottom);
        QCOMPARE(recordAt(bytes, 52, 240), map == quelby::GFactorMapIndex ? 3000 : 300);
        QCOMPARE(bytes, expectedFile(quelby::mapStore().resultMap(map), map == quelby::GFactorMapIndex));
    }

    void refusedTargetKeepsTheOldFileAndLeavesNothing_data()
    {
        QTest::addColumn<QString>("name");  // under the export folder
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QString>("message");
        QTest::newRow("read-only file") << "locked.raw" << true << "ファイルへのアクセスが拒否されました.";
        QTest::newRow("missing folder") << "missing/x.raw" << false << "ファイル名の指定が間違っています.";
        QTest::newRow("missing folders") << "missing/deeper/x.raw" << false << "ファイル名の指定が間違っています.";
    }

    void refusedTargetKeepsTheOldFileAndLeavesNothing()
    {
        QFETCH(QString, name);
        QFETCH(bool, readOnly);
        QFETCH(QString, message);
        show(3);
        const QString path = target(name);
        const QByteArray old("an earlier file, not a map");
        if (readOnly) {
            QFile earlier(path);
            QVERIFY(earlier.open(QIODevice::WriteOnly));
            earlier.write(old);
            earlier.close();
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0444), 0);
        }
        const QStringList entries = entriesOf(out);
        const quelby::Map shown = quelby::mapStore().DisplayMap;
        const QImage picture = form->Image1->picture();

        exportFailsWith(path, message);
        QCOMPARE(entriesOf(out), entries);
        QCOMPARE(QFileInfo::exists(path), readOnly);
        if (readOnly) QCOMPARE(contentsOf(path), old);
        QCOMPARE(quelby::mapStore().DisplayMap, shown);
        QCOMPARE(form->Image1->picture(), picture);
        // The refused name is the one chosen last.
        QCOMPARE(namesTheDialogOpensWith(), QStringList(path));
        if (readOnly) QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    }

    // A value that has no record fails before anything is written.
    void valueWithoutARecordKeepsTheOldFile()
    {
        show(1);
        const QString path = target(QStringLiteral("unwritable.raw"));
        exportTo(path);
        const QByteArray old = contentsOf(path);
        const QStringList entries = entriesOf(out);
        quelby::mapStore().DisplayMap[255][255] = std::numeric_limits<double>::quiet_NaN();
        exportFailsWith(path, QStringLiteral("不正な浮動小数点数演算命令."));
        quelby::mapStore().DisplayMap[255][255] = 1e300;
        exportFailsWith(path, QStringLiteral("不正な浮動小数点数演算命令."));
        QCOMPARE(contentsOf(path), old);
        QCOMPARE(entriesOf(out), entries);
    }

    void cancelWritesNothingAndKeepsTheLastName()
    {
        show(0);
        const QString chosen = target(QStringLiteral("chosen.raw"));
        exportTo(chosen);
        const QByteArray written = contentsOf(chosen);
        const QDateTime stamp = QFileInfo(chosen).lastModified();
        const QStringList entries = entriesOf(out);
        show(1);  // another map, so that a stray write would show

        const QString typed = target(QStringLiteral("typed-then-cancelled.raw"));
        QCOMPARE(exportAnswering({typed, false}).size(), 1);
        QCOMPARE(exportAnswering({QString(), false}).size(), 1);
        QCOMPARE(entriesOf(out), entries);
        QCOMPARE(contentsOf(chosen), written);
        QCOMPARE(QFileInfo(chosen).lastModified(), stamp);
        QCOMPARE(namesTheDialogOpensWith(), QStringList(chosen));
    }
};

QTEST_MAIN(ExportWindowTest)
#include "ExportWindowTest.moc"
