// The folder list: its lines, opening folders by double-click and Enter, and
// folders that cannot be opened.

#include "engine/core/Failure.h"
#include "app/FolderList.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using quelby::FolderList;

namespace {

QStringList namesOf(const FolderList& list)
{
    QStringList names;
    for (int row = 0; row < list.count(); ++row) names << list.item(row)->text().trimmed();
    return names;
}

int indentOf(const FolderList& list, int row)
{
    const QString text = list.item(row)->text();
    return int(text.size() - text.trimmed().size());
}

// The lines of the path down to `path` and the folder names that follow them.
QStringList expectedLines(const QString& path, const QStringList& folders)
{
    return QStringList{QStringLiteral("/")} + path.split(u'/', Qt::SkipEmptyParts) + folders;
}

}  // namespace

class FolderListTest : public QObject {
    Q_OBJECT

    QString startDirectory;
    QTemporaryDir tree;
    QString root;  // the tree's canonical path
    FolderList* list = nullptr;
    QStringList requests;

    int rowOf(const QString& name) const
    {
        const QStringList names = namesOf(*list);
        return int(names.lastIndexOf(name));
    }

    QPoint lineCentre(int row) const { return list->visualItemRect(list->item(row)).center(); }

    void doubleClick(int row)
    {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, lineCentre(row));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, lineCentre(row));
    }

private slots:
    void initTestCase()
    {
        startDirectory = QDir::currentPath();
        QVERIFY(tree.isValid());
        QDir dir(tree.path());
        for (const char* folder : {"series/b", "series/Alpha", "series/c", "series/.hidden", "series/b/deep", "empty"})
            QVERIFY(dir.mkpath(QString::fromLatin1(folder)));
        QFile file(tree.path() + QStringLiteral("/series/image.raw"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        root = dir.canonicalPath();
    }

    void init()
    {
        QVERIFY(QDir::setCurrent(root + QStringLiteral("/series")));
        list = new FolderList;
        list->resize(300, 400);
        requests.clear();
        connect(list, &FolderList::openRequested, this, [this](const QString& path) {
            requests << path;
            list->openFolder(path);
        });
        list->show();
        QVERIFY(QTest::qWaitForWindowExposed(list));
    }

    void cleanup()
    {
        delete list;
        QDir::setCurrent(startDirectory);
    }

    void startsOnTheWorkingDirectory()
    {
        const QString series = root + QStringLiteral("/series");
        QCOMPARE(list->directory(), series);
        QCOMPARE(namesOf(*list), expectedLines(series, {"Alpha", "b", "c"}));
        const int current = rowOf(QStringLiteral("series"));
        QCOMPARE(list->currentRow(), current);
        for (int row = 1; row <= current; ++row) QVERIFY(indentOf(*list, row) > indentOf(*list, row - 1));
        for (int row = current + 1; row < list->count(); ++row)
            QCOMPARE(indentOf(*list, row), indentOf(*list, current + 1));
        QVERIFY(indentOf(*list, current + 1) > indentOf(*list, current));
    }

    void linesAreSixteenPixelsHigh()
    {
        QCOMPARE(list->visualItemRect(list->item(0)).height(), 16);
        QCOMPARE(lineCentre(1).y() - lineCentre(0).y(), 16);
    }

    void doubleClickOpensASubfolder()
    {
        doubleClick(rowOf(QStringLiteral("b")));
        const QString b = root + QStringLiteral("/series/b");
        QCOMPARE(requests, QStringList{b});
        QCOMPARE(list->directory(), b);
        QCOMPARE(QDir::currentPath(), b);
        QCOMPARE(namesOf(*list), expectedLines(b, {"deep"}));
        QCOMPARE(list->currentRow(), rowOf(QStringLiteral("b")));
    }

    void enterOpensAFolderOnThePath()
    {
        list->setFocus();
        list->setCurrentRow(rowOf(QStringLiteral("series")) - 1);
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(list->directory(), root);
        QCOMPARE(QDir::currentPath(), root);
        QCOMPARE(namesOf(*list), expectedLines(root, {"empty", "series"}));

        list->setCurrentRow(rowOf(QStringLiteral("empty")));
        QTest::keyClick(list, Qt::Key_Enter);
        QCOMPARE(list->directory(), root + QStringLiteral("/empty"));
        QCOMPARE(namesOf(*list), expectedLines(root + QStringLiteral("/empty"), {}));
    }

    void rootEndsInTheSeparator()
    {
        doubleClick(0);
        QCOMPARE(list->directory(), QStringLiteral("/"));
        QCOMPARE(QDir::currentPath(), QStringLiteral("/"));
        QCOMPARE(list->item(0)->text(), QStringLiteral("/"));
        const QStringList folders = QDir(QStringLiteral("/")).entryList(
            QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
        QCOMPARE(namesOf(*list), QStringList{"/"} + folders);
        const int tmp = int(folders.indexOf(root.section(u'/', 1, 1))) + 1;
        doubleClick(tmp);
        QCOMPARE(list->directory(), u'/' + root.section(u'/', 1, 1));
    }

    void singleClickOnlyHighlights()
    {
        const int row = rowOf(QStringLiteral("c"));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, lineCentre(row));
        QCOMPARE(list->currentRow(), row);
        QVERIFY(list->item(row)->isSelected());
        QVERIFY(requests.isEmpty());
        QCOMPARE(list->directory(), root + QStringLiteral("/series"));
    }

    void folderThatCannotBeOpenedKeepsTheList_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        QTest::newRow("removed") << "series/gone" << "ファイルが見つかりません";
        QTest::newRow("its parent removed") << "series/gone/deeper" << "ファイル名の指定が間違っています";
        QTest::newRow("a file") << "series/image.raw" << "ファイル名の指定が間違っています";
    }

    void folderThatCannotBeOpenedKeepsTheList()
    {
        QFETCH(QString, path);
        QFETCH(QString, message);
        const QStringList lines = namesOf(*list);
        const int current = list->currentRow();
        try {
            list->openFolder(root + u'/' + path);
            QFAIL("opened");
        } catch (const quelby::Failure& failure) {
            QCOMPARE(QString::fromUtf8(failure.what()), message);
        }
        QCOMPARE(list->directory(), root + QStringLiteral("/series"));
        QCOMPARE(namesOf(*list), lines);
        QCOMPARE(list->currentRow(), current);
        QCOMPARE(QDir::currentPath(), root + QStringLiteral("/series"));
    }

    void folderWithoutPermissionIsRefused()
    {
        if (::geteuid() == 0) QSKIP("permissions do not bind the superuser");
        const QString locked = root + QStringLiteral("/locked");
        QVERIFY(QDir().mkpath(locked));
        QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner));
        try {
            list->openFolder(locked);
            QFAIL("opened");
        } catch (const quelby::Failure& failure) {
            QCOMPARE(QString::fromUtf8(failure.what()), QStringLiteral("ファイルへのアクセスが拒否されました"));
        }
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(list->directory(), root + QStringLiteral("/series"));
    }
};

QTEST_MAIN(FolderListTest)
#include "FolderListTest.moc"
