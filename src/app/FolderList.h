#pragma once

#include <QListWidget>
#include <QString>

namespace quelby {

// A folder list: the path from the root down to the current folder, one line per
// level, then the sub-folders of the current folder. Double-click or Enter on a
// line asks for that folder to be opened (`openRequested`); the owner opens it with
// `openFolder`, so that a failure is reported where the owner reports failures.
class FolderList : public QListWidget {
    Q_OBJECT
public:
    // Starts on the process's working directory.
    explicit FolderList(QWidget* parent = nullptr);

    // The full path of the current folder, ending in "/" only for the root.
    QString directory() const { return directory_; }

    // Makes `path` the current folder and the process's working directory. Throws
    // the file Failure of the system's error when it cannot be entered; the list
    // then keeps its folder.
    void openFolder(const QString& path);

signals:
    void openRequested(const QString& path);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void showFolder(const QString& path);
    void addLine(const QString& name, const QString& path, int level);

    QString directory_;
};

}  // namespace quelby
