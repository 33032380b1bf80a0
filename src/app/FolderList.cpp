#include "app/FolderList.h"

#include "engine/core/Failure.h"
#include "app/LineHeightDelegate.h"

#include <QDir>
#include <QFile>
#include <QKeyEvent>

#include <cerrno>
#include <unistd.h>

namespace quelby {

namespace {

constexpr int LineHeight = 16;
constexpr int PathRole = Qt::UserRole;

}  // namespace

FolderList::FolderList(QWidget* parent) : QListWidget(parent)
{
    setSelectionMode(SingleSelection);
    setUniformItemSizes(true);
    setItemDelegate(new LineHeightDelegate(LineHeight, this));
    connect(this, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { emit openRequested(item->data(PathRole).toString()); });
    showFolder(QDir::currentPath());
}

void FolderList::openFolder(const QString& path)
{
    // chdir itself rather than QDir::setCurrent, for the errno of the failure.
    const QByteArray native = QFile::encodeName(path);
    if (::chdir(native.constData()) != 0) throwFileError(errno, native.toStdString());
    showFolder(QDir::currentPath());
}

void FolderList::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && currentItem()) {
        emit openRequested(currentItem()->data(PathRole).toString());
        return;
    }
    QListWidget::keyPressEvent(event);
}

void FolderList::showFolder(const QString& path)
{
    directory_ = path;
    clear();
    addLine(QStringLiteral("/"), QStringLiteral("/"), 0);
    const QStringList levels = path.split(u'/', Qt::SkipEmptyParts);
    QString reached;
    for (int level = 0; level < levels.size(); ++level) {
        reached += u'/' + levels[level];
        addLine(levels[level], reached, level + 1);
    }
    setCurrentRow(count() - 1);

    const QString prefix = path.endsWith(u'/') ? path : path + u'/';
    const QStringList folders =
        QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : folders) addLine(name, prefix + name, levels.size() + 1);
}

void FolderList::addLine(const QString& name, const QString& path, int level)
{
    auto* line = new QListWidgetItem(QString(2 * level, u' ') + name, this);
    line->setData(PathRole, path);
}

}  // namespace quelby
