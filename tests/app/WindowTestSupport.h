#pragma once

// What the window tests share: series folders on disk, a run through the window,
// the greys of the picture on show.
#include "app/FolderList.h"
#include "app/PictureView.h"
#include "display/Rendering.h"
#include "app/consective_method.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

namespace windowtest {

using SampleOf = std::function<std::int16_t(int file, int row, int col)>;

// Writes `files` image files "img00.raw" … into `folder` (created), samples little-endian.
inline void writeSeries(const QString& folder, int files, const SampleOf& sample)
{
    QDir().mkpath(folder);
    for (int f = 0; f < files; ++f) {
        QByteArray bytes;
        bytes.reserve(2 * quelby::FramePixels);
        for (int r = 0; r < quelby::ImageSide; ++r)
            for (int c = 0; c < quelby::ImageSide; ++c) {
                const auto v = static_cast<std::uint16_t>(sample(f, r, c));
                bytes.append(static_cast<char>(v & 0xFF));
                bytes.append(static_cast<char>(v >> 8));
            }
        QFile file(QStringLiteral("%1/img%2.raw").arg(folder).arg(f, 2, 10, QLatin1Char('0')));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), bytes.size());
    }
}

// Opens the folders in the two lists and presses Button1.
inline void runOn(quelby::TForm1& form, const QString& seriesA, const QString& seriesB)
{
    form.DirectoryListBox1->openFolder(seriesA);
    if (!seriesB.isEmpty()) form.DirectoryListBox2->openFolder(seriesB);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
}

// The grey of one pixel of Image1's picture (the three bytes are equal after a rendering).
inline int greyAt(const quelby::TForm1& form, int row, int col)
{
    return qRed(form.Image1->picture().pixel(col, row));
}

// Selects line `index` of ListBox1 as a click would.
inline void selectMap(quelby::TForm1& form, int index)
{
    QListWidgetItem* item = form.ListBox1->item(index);
    QVERIFY(item);
    form.ListBox1->scrollToItem(item);
    QTest::mouseClick(form.ListBox1->viewport(), Qt::LeftButton, {}, form.ListBox1->visualItemRect(item).center());
    QCOMPARE(form.ListBox1->currentRow(), index);
}

// The first pixel of Image1's picture whose grey is not the grey of the map's value
// under the window, described; empty when every pixel agrees.
inline QString greyMismatch(const quelby::TForm1& form, const quelby::Map& map, std::int16_t level, std::int16_t width)
{
    const QImage& picture = form.Image1->picture();
    for (int r = 0; r < quelby::ImageSide; ++r)
        for (int c = 0; c < quelby::ImageSide; ++c) {
            const QRgb pixel = picture.pixel(c, r);
            const int expected = quelby::greyOf(map[r][c], level, width);
            if (qRed(pixel) != expected || qGreen(pixel) != expected || qBlue(pixel) != expected)
                return QStringLiteral("row %1 col %2 (value %3): rgb %4,%5,%6, expected grey %7")
                    .arg(r).arg(c).arg(map[r][c]).arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel)).arg(expected);
        }
    return {};
}

// The captions of Label_scale1 … Label_scale10, top to bottom.
inline QStringList scaleCaptions(const quelby::TForm1& form)
{
    QStringList captions;
    for (const QLabel* label : {form.Label_scale1, form.Label_scale2, form.Label_scale3, form.Label_scale4,
                                form.Label_scale5, form.Label_scale6, form.Label_scale7, form.Label_scale8,
                                form.Label_scale9, form.Label_scale10})
        captions << label->text();
    return captions;
}

// The texts of the lines of a list, top to bottom.
inline QStringList lineTexts(const QListWidget& list)
{
    QStringList texts;
    for (int row = 0; row < list.count(); ++row) texts << list.item(row)->text();
    return texts;
}

// The value of each band of the map's scale bar, top to bottom; NaN for a band
// whose 240 values are not all the same.
inline std::array<double, 10> bandValues(const quelby::Map& map)
{
    std::array<double, 10> bands{};
    for (int b = 0; b < 10; ++b) {
        const double first = map[53 + 15 * b][235];
        bands[b] = first;
        for (int r = 53 + 15 * b; r < 68 + 15 * b; ++r)
            for (int c = 235; c <= 250; ++c)
                if (map[r][c] != first) bands[b] = std::nan("");
    }
    return bands;
}

// Ten band values from the top: (9 - b) × step + min.
inline std::array<double, 10> bandsFrom(double min, double step)
{
    std::array<double, 10> bands{};
    for (int b = 0; b < 10; ++b) bands[b] = (9 - b) * step + min;
    return bands;
}

// The grey of each band of the bar in Image1's picture, top to bottom; -1 for a
// band whose pixels are not all of one grey.
inline std::array<int, 10> bandGreys(const quelby::TForm1& form)
{
    std::array<int, 10> greys{};
    for (int b = 0; b < 10; ++b) {
        greys[b] = greyAt(form, 53 + 15 * b, 235);
        for (int r = 53 + 15 * b; r < 68 + 15 * b; ++r)
            for (int c = 235; c <= 250; ++c)
                if (greyAt(form, r, c) != greys[b]) greys[b] = -1;
    }
    return greys;
}

// The grey of the bar's frame in Image1's picture; -1 when its pixels differ.
inline int frameGrey(const quelby::TForm1& form)
{
    const int grey = greyAt(form, 52, 234);
    for (int r = 52; r <= 203; ++r)
        for (int c = 234; c <= 251; ++c) {
            const bool onFrame = r == 52 || r == 203 || c == 234 || c == 251;
            if (onFrame && greyAt(form, r, c) != grey) return -1;
        }
    return grey;
}

// The caption of the program's boxes.
inline QString applicationTitleText()
{
    return QString::fromStdString(quelby::applicationTitle(QCoreApplication::applicationFilePath().toStdString()));
}

// The largest value of a map, never below 0: what the window is taken from.
inline double largestOf(const quelby::Map& map)
{
    double largest = 0.0;
    for (const auto& row : map)
        for (double v : row) largest = std::max(largest, v);
    return largest;
}

}  // namespace windowtest
