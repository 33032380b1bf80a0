#pragma once

#include "engine/core/Failure.h"
#include "engine/core/MapStore.h"

#include <QImage>
#include <QScrollArea>
#include <QString>

#include <exception>
#include <string>

class QCheckBox;
class QFileDialog;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace quelby {

class FolderList;
class PictureView;

// The main window. A scroll area, so that scroll bars appear when the window is
// made smaller than its controls; the controls sit on its client widget (widget())
// at fixed places and never move or stretch with the window.
class TForm1 : public QScrollArea {
    Q_OBJECT
public:
    // Builds every control in its start state, then runs FormCreate.
    explicit TForm1(QWidget* parent = nullptr);

    QFileDialog* OpenDialog1;
    FolderList* DirectoryListBox1;
    FolderList* DirectoryListBox2;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label7;
    QLabel* label_pos;
    QLabel* label_window;
    QLabel* label_SI;
    QLabel* Label_scale1;
    QLabel* Label_scale2;
    QLabel* Label_scale3;
    QLabel* Label_scale4;
    QLabel* Label_scale5;
    QLabel* Label_scale6;
    QLabel* Label_scale7;
    QLabel* Label_scale8;
    QLabel* Label_scale9;
    QLabel* Label_scale10;
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;
    PictureView* Image1;
    QProgressBar* ProgressBar1;
    QCheckBox* CheckBox1;
    QListWidget* ListBox1;
    QFrame* Panel1;
    QFrame* Panel2;
    QFrame* Panel3;
    QFrame* Panel4;
    QFrame* Panel5;
    QGroupBox* GroupBox1;
    QGroupBox* GroupBox2;
    QLineEdit* edit_rfactor;
    QLineEdit* Edit_min;
    QLineEdit* Edit_dis;
    QFrame* Panel6;
    QFileDialog* SaveDialog1;

    void CheckBox1Click();
    void Button2Click();
    void Button1Click();
    void ListBox1Click();
    void Image1MouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int x, int y);
    void FormCreate();
    void Image1MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);
    void Image1MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);
    void Edit_minChange();
    void Edit_disChange();
    void Button3Click();

private:
    // Every event reaches its handler through here: a failure ends the handler and
    // is shown in the error box, and the program goes on.
    template <class Handler>
    void run(Handler&& handler);
    void showError(const std::string& message);

    void buildPanel1(QWidget* client);
    void buildPanel2(QWidget* client);
    void buildScaleColumn();
    void wireEvents();
    void setOuterWidth(int width);
    void fitClientArea();
};

template <class Handler>
void TForm1::run(Handler&& handler)
{
    try {
        handler();
    } catch (const Failure& failure) {
        showError(failure.what());
    } catch (const std::exception& error) {
        showError(error.what());
    }
}

// The one instance, set when it is created.
extern TForm1* Form1;

// The program's module-level state: the one map store and the display bitmap.
MapStore& mapStore();
QImage& displayBitmap();

// The program's own message: a modal dialog centred on the screen, titled with
// the application title, no icon, one OK button, the text exactly as given.
void showMessage(const QString& text);

}  // namespace quelby
