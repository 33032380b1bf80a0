#pragma once

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QList>
#include <QListView>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

// While alive, answers every modal window the program opens, so that a test can
// run code that shows one: a message box is recorded and closed with OK, any other
// modal window is recorded by its class and rejected. File dialogs can be answered
// instead, on request (answerFileDialogs).
class ModalCatcher {
public:
    struct Seen {
        QString kind;
        QString title;
        QWidget* parent = nullptr;
        Qt::WindowModality modality = Qt::NonModal;
        QRect frame;
        // Message boxes only.
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString text;
        QMessageBox::StandardButtons buttons;
        // File dialogs only, as they were when they opened.
        QStringList selectedFiles;
        QStringList nameFilters;
        QString defaultSuffix;
        QFileDialog::Options fileOptions;
        QFileDialog::AcceptMode acceptMode = QFileDialog::AcceptOpen;
        QFileDialog::FileMode fileMode = QFileDialog::AnyFile;
    };

    // How to answer one file dialog: type `path` (unless empty) into its name field, as
    // a user would, then accept or reject.
    struct FileAnswer {
        QString path;
        bool accept = true;
    };

    ModalCatcher()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] { answer(); });
        timer_.start(10);
    }

    const QList<Seen>& seen() const { return seen_; }

    // The next file dialogs are answered with these, in turn; once they are used up,
    // file dialogs are rejected again. A dialog that does not close on being accepted
    // (its answer named a folder) is rejected, so that no test hangs on it.
    void answerFileDialogs(const QList<FileAnswer>& answers) { fileAnswers_ = answers; }

private:
    void answer()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal == answering_) return;
        Seen seen;
        seen.kind = QString::fromLatin1(modal->metaObject()->className());
        seen.title = modal->windowTitle();
        seen.parent = modal->parentWidget();
        seen.modality = modal->windowModality();
        seen.frame = modal->frameGeometry();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen.icon = box->icon();
            seen.text = box->text();
            seen.buttons = box->standardButtons();
            seen_.append(seen);
            box->done(QMessageBox::Ok);
        } else if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            seen.selectedFiles = files->selectedFiles();
            seen.nameFilters = files->nameFilters();
            seen.defaultSuffix = files->defaultSuffix();
            seen.fileOptions = files->options();
            seen.acceptMode = files->acceptMode();
            seen.fileMode = files->fileMode();
            seen_.append(seen);
            answer(files);
        } else {
            seen_.append(seen);
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
        }
    }

    void answer(QFileDialog* dialog)
    {
        if (fileAnswers_.isEmpty()) {
            dialog->reject();
            return;
        }
        const FileAnswer next = fileAnswers_.takeFirst();
        if (!next.path.isEmpty()) {
            // A typed name replaces the file picked in the list (the dialog picks the one
            // chosen last); selectFile() would leave the name field alone while it has the focus.
            if (auto* list = dialog->findChild<QListView*>(QStringLiteral("listView")))
                list->selectionModel()->clearSelection();
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) name->setText(next.path);
        }
        // Accepted from the event loop, not from within this timer's slot, so that a box
        // the dialog opens on accepting (a question before replacing a file) is answered too.
        answering_ = dialog;
        QTimer::singleShot(0, &timer_, [this, dialog = QPointer<QFileDialog>(dialog), accept = next.accept] {
            // As the dialog's own button does: QFileDialog checks the name in accept().
            if (dialog && accept) static_cast<QDialog*>(dialog.data())->accept();
            if (dialog && dialog->isVisible()) dialog->reject();
            answering_ = nullptr;
        });
    }

    QTimer timer_;
    QList<Seen> seen_;
    QList<FileAnswer> fileAnswers_;
    QPointer<QWidget> answering_;  // a file dialog whose answer is on its way
};
