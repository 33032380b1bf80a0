#pragma once

// What the window tests share: series folders on disk, a run through the window,
// the greys of the picture on show.
#include "FolderList.h"
#include "PictureView.h"
#include "consective_method.h"

#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

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

}  // namespace windowtest
