#pragma once

#include <QApplication>
#include <QDialog>
#include <QList>
#include <QMessageBox>
#include <QTimer>

// While alive, answers every modal window the program opens, so that a test can
// run code that shows one: a message box is recorded and closed with OK, any other
// modal window is recorded by its class and rejected.
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
    };

    ModalCatcher()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] { answer(); });
        timer_.start(10);
    }

    const QList<Seen>& seen() const { return seen_; }

private:
    void answer()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
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
        } else {
            seen_.append(seen);
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
        }
    }

    QTimer timer_;
    QList<Seen> seen_;
};
