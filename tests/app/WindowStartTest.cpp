// The main window as the user first sees it.

#include "app/FolderList.h"
#include "app/PictureView.h"
#include "app/TitlePicture.h"
#include "app/consective_method.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

using quelby::TForm1;

namespace {

constexpr int Fit = -1;  // a label that sizes itself to its caption

struct Placement {
    const char* name;
    const char* kind;
    const char* parent;
    int x, y, width, height;
    bool shown;
};

const Placement Placements[] = {
    {"Panel1", "QFrame", "Form1", 8, 8, 361, 337, true},
    {"Label1", "QLabel", "Panel1", 32, 16, Fit, Fit, true},
    {"Label2", "QLabel", "Panel1", 208, 16, Fit, Fit, true},
    {"Button1", "QPushButton", "Panel1", 264, 248, 81, 49, true},
    {"DirectoryListBox1", "quelby::FolderList", "Panel1", 8, 32, 169, 201, true},
    {"DirectoryListBox2", "quelby::FolderList", "Panel1", 184, 32, 169, 201, true},
    {"ProgressBar1", "QProgressBar", "Panel1", 8, 312, 345, 17, false},
    {"CheckBox1", "QCheckBox", "Panel1", 8, 264, 73, 25, true},
    {"GroupBox1", "QGroupBox", "Panel1", 88, 256, 137, 33, true},
    {"Label7", "QLabel", "GroupBox1", 10, 13, Fit, Fit, true},
    {"edit_rfactor", "QLineEdit", "GroupBox1", 88, 9, 41, 20, true},
    {"Panel2", "QFrame", "Form1", 376, 8, 425, 337, true},
    {"Image1", "quelby::PictureView", "Panel2", 128, 8, 256, 256, true},
    {"Panel5", "QFrame", "Panel2", 176, 268, 169, 40, true},
    {"label_pos", "quelby::FittedLabel", "Panel5", 10, 4, 151, 13, true},
    {"label_SI", "quelby::FittedLabel", "Panel5", 10, 22, 151, 13, true},
    {"ListBox1", "QListWidget", "Panel2", 8, 24, 113, 129, true},
    {"Panel3", "QFrame", "Panel2", 176, 310, 169, 20, true},
    {"label_window", "quelby::FittedLabel", "Panel3", 10, 4, 151, 13, true},
    {"GroupBox2", "QGroupBox", "Panel2", 6, 168, 110, 65, false},
    {"Label5", "QLabel", "GroupBox2", 20, 10, Fit, Fit, true},
    {"Label3", "QLabel", "GroupBox2", 7, 26, Fit, Fit, true},
    {"Label4", "QLabel", "GroupBox2", 7, 47, Fit, Fit, true},
    {"Edit_min", "QLineEdit", "GroupBox2", 65, 22, 40, 20, true},
    {"Edit_dis", "QLineEdit", "GroupBox2", 65, 42, 40, 20, true},
    {"Panel4", "QFrame", "Panel2", 388, 57, 33, 157, false},
    {"Label_scale1", "quelby::FittedLabel", "Panel4", 1, 5, 30, 12, true},
    {"Label_scale2", "quelby::FittedLabel", "Panel4", 1, 20, 30, 12, true},
    {"Label_scale3", "quelby::FittedLabel", "Panel4", 1, 35, 30, 12, true},
    {"Label_scale4", "quelby::FittedLabel", "Panel4", 1, 50, 30, 12, true},
    {"Label_scale5", "quelby::FittedLabel", "Panel4", 1, 65, 30, 12, true},
    {"Label_scale6", "quelby::FittedLabel", "Panel4", 1, 80, 30, 12, true},
    {"Label_scale7", "quelby::FittedLabel", "Panel4", 1, 95, 30, 12, true},
    {"Label_scale8", "quelby::FittedLabel", "Panel4", 1, 110, 30, 12, true},
    {"Label_scale9", "quelby::FittedLabel", "Panel4", 1, 125, 30, 12, true},
    {"Label_scale10", "quelby::FittedLabel", "Panel4", 1, 140, 30, 13, true},
    {"Panel6", "QFrame", "Panel2", 8, 240, 111, 87, true},
    {"Button3", "QPushButton", "Panel6", 8, 8, 97, 33, true},
    {"Button2", "QPushButton", "Panel6", 8, 48, 97, 33, true},
};

const QColor MoneyGreen(192, 220, 192);
const QColor SkyBlue(166, 202, 240);
const QColor Teal(0, 128, 128);
const QColor MediumGrey(160, 160, 164);
const QColor Navy(0, 0, 128);
const QColor Grey(128, 128, 128);
const QColor White(255, 255, 255);
const QColor Black(0, 0, 0);

// Background: an invalid colour means the parent's shows through.
// Text: an invalid colour means the toolkit's own window text.
struct Look {
    const char* name;
    QColor background;
    QColor text;
    int pixels;
};

const Look Looks[] = {
    {"Panel1", MoneyGreen, {}, 12},
    {"Label1", Teal, White, 15},
    {"Label2", Teal, White, 15},
    {"Button1", {}, {}, 12},
    {"DirectoryListBox1", {}, {}, 12},
    {"CheckBox1", {}, {}, 12},
    {"GroupBox1", {}, {}, 12},
    {"Label7", {}, Grey, 12},
    {"edit_rfactor", {}, {}, 12},
    {"Panel2", SkyBlue, {}, 12},
    {"Panel5", Teal, {}, 12},
    {"label_pos", {}, White, 13},
    {"label_SI", {}, White, 13},
    {"ListBox1", {}, {}, 13},
    {"Panel3", Teal, {}, 12},
    {"label_window", {}, White, 13},
    {"GroupBox2", {}, {}, 12},
    {"Label5", {}, Black, 11},
    {"Label3", {}, Grey, 12},
    {"Label4", {}, Grey, 12},
    {"Edit_min", {}, {}, 12},
    {"Panel4", MediumGrey, {}, 12},
    {"Label_scale1", Navy, White, 12},
    {"Label_scale10", Navy, White, 12},
    {"Panel6", MediumGrey, {}, 12},
    {"Button3", {}, {}, 12},
    {"Button2", {}, {}, 12},
};

struct StartText {
    const char* name;
    const char* text;
};

const StartText StartTexts[] = {
    {"Label1", "parallel imaging なし"},
    {"Label2", "parallel imaging あり"},
    {"Button1", "処理開始"},
    {"CheckBox1", "g-factor"},
    {"Label7", "reduction rate"},
    {"edit_rfactor", "2"},
    {"label_pos", "  (X,Y) = (--,--)"},
    {"label_SI", "  信号強度 = "},
    {"label_window", "  ( WL,WW ) = "},
    {"Label5", "スケール設定"},
    {"Label3", "最低値"},
    {"Label4", "間隔"},
    {"Edit_min", "60"},
    {"Edit_dis", "20"},
    {"Label_scale1", "0"},
    {"Label_scale5", "0"},
    {"Label_scale10", "0"},
    {"Button3", "表示画像保存"},
    {"Button2", "終了"},
};

QString textOf(QWidget* control)
{
    if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
    if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
    return QStringLiteral("<no text>");
}

}  // namespace

class WindowStartTest : public QObject {
    Q_OBJECT

    TForm1* form = nullptr;

    QWidget* control(const char* name) const
    {
        // The controls placed on the window itself lie on its client widget.
        if (QByteArray(name) == "Form1") return form->widget();
        return form->findChild<QWidget*>(QString::fromLatin1(name));
    }

private slots:
    void initTestCase()
    {
        form = new TForm1;
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
    }

    void cleanupTestCase() { delete form; }

    void controlsArePlacedAsLaidOut_data()
    {
        QTest::addColumn<int>("row");
        for (int row = 0; row < int(std::size(Placements)); ++row)
            QTest::newRow(Placements[row].name) << row;
    }

    void controlsArePlacedAsLaidOut()
    {
        QFETCH(int, row);
        const Placement& expected = Placements[row];
        const QList<QWidget*> found = form->findChildren<QWidget*>(QString::fromLatin1(expected.name));
        QCOMPARE(found.size(), 1);
        QWidget* widget = found.first();
        QCOMPARE(widget->metaObject()->className(), expected.kind);
        QCOMPARE(widget->parentWidget(), control(expected.parent));
        QCOMPARE(widget->pos(), QPoint(expected.x, expected.y));
        QCOMPARE(!widget->isHidden(), expected.shown);
        if (expected.width == Fit) {
            auto* label = qobject_cast<QLabel*>(widget);
            const QFontMetrics metrics(label->font());
            QVERIFY(widget->width() >= metrics.horizontalAdvance(label->text()));
            QVERIFY(widget->width() <= metrics.horizontalAdvance(label->text()) + 2);
            QVERIFY(widget->height() >= metrics.height());
            QVERIFY(widget->height() <= metrics.height() + 2);
        } else {
            QCOMPARE(widget->size(), QSize(expected.width, expected.height));
        }
    }

    void membersAreTheNamedControls()
    {
#define MEMBER(name) std::pair<const char*, QObject*>(#name, form->name)
        const std::pair<const char*, QObject*> members[] = {
            MEMBER(OpenDialog1),  MEMBER(DirectoryListBox1), MEMBER(DirectoryListBox2), MEMBER(Label1),
            MEMBER(Label2),       MEMBER(Label3),            MEMBER(Label4),            MEMBER(Label5),
            MEMBER(Label7),       MEMBER(label_pos),         MEMBER(label_window),      MEMBER(label_SI),
            MEMBER(Label_scale1), MEMBER(Label_scale2),      MEMBER(Label_scale3),      MEMBER(Label_scale4),
            MEMBER(Label_scale5), MEMBER(Label_scale6),      MEMBER(Label_scale7),      MEMBER(Label_scale8),
            MEMBER(Label_scale9), MEMBER(Label_scale10),     MEMBER(Button1),           MEMBER(Button2),
            MEMBER(Button3),      MEMBER(Image1),            MEMBER(ProgressBar1),      MEMBER(CheckBox1),
            MEMBER(ListBox1),     MEMBER(Panel1),            MEMBER(Panel2),            MEMBER(Panel3),
            MEMBER(Panel4),       MEMBER(Panel5),            MEMBER(GroupBox1),         MEMBER(GroupBox2),
            MEMBER(edit_rfactor), MEMBER(Edit_min),          MEMBER(Edit_dis),          MEMBER(Panel6),
            MEMBER(SaveDialog1),
        };
#undef MEMBER
        for (const auto& [name, member] : members) {
            QVERIFY2(member, name);
            QCOMPARE(member->objectName(), QString::fromLatin1(name));
        }
        QCOMPARE(quelby::Form1, form);
    }

    void controlsLookAsLaidOut_data()
    {
        QTest::addColumn<int>("row");
        for (int row = 0; row < int(std::size(Looks)); ++row) QTest::newRow(Looks[row].name) << row;
    }

    void controlsLookAsLaidOut()
    {
        QFETCH(int, row);
        const Look& expected = Looks[row];
        QWidget* widget = control(expected.name);
        QCOMPARE(widget->autoFillBackground(), expected.background.isValid());
        if (expected.background.isValid()) QCOMPARE(widget->palette().color(QPalette::Window), expected.background);
        const QColor text = widget->palette().color(QPalette::WindowText);
        QCOMPARE(text, expected.text.isValid() ? expected.text : QApplication::palette().color(QPalette::WindowText));
        QCOMPARE(widget->font().pixelSize(), expected.pixels);
        QCOMPARE(QFontInfo(widget->font()).family(), QStringLiteral("IPAPGothic"));
    }

    void panelsHaveARaisedBevelUnlessFlat()
    {
        for (const char* name : {"Panel1", "Panel2", "Panel4", "Panel6"}) {
            auto* panel = qobject_cast<QFrame*>(control(name));
            QCOMPARE(panel->frameShape(), QFrame::Panel);
            QCOMPARE(panel->frameShadow(), QFrame::Raised);
            QCOMPARE(panel->lineWidth(), 1);
        }
        for (const char* name : {"Panel3", "Panel5"})
            QCOMPARE(qobject_cast<QFrame*>(control(name))->frameShape(), QFrame::NoFrame);
        QVERIFY(form->GroupBox1->title().isEmpty());
        QVERIFY(form->GroupBox2->title().isEmpty());
    }

    void scaleLabelsAreCentred()
    {
        for (int k = 1; k <= 10; ++k) {
            auto* scale = qobject_cast<QLabel*>(control(qPrintable(QStringLiteral("Label_scale%1").arg(k))));
            QVERIFY(scale->alignment() & Qt::AlignHCenter);
        }
    }

    void controlsStartWithTheirTexts_data()
    {
        QTest::addColumn<int>("row");
        for (int row = 0; row < int(std::size(StartTexts)); ++row) QTest::newRow(StartTexts[row].name) << row;
    }

    void controlsStartWithTheirTexts()
    {
        QFETCH(int, row);
        QCOMPARE(textOf(control(StartTexts[row].name)), QString::fromUtf8(StartTexts[row].text));
    }

    void controlsStartInTheirStates()
    {
        QCOMPARE(form->windowTitle(), QStringLiteral("Quelby 連続撮像法 ver1.2"));
        QVERIFY(form->CheckBox1->isChecked());
        QCOMPARE(form->ListBox1->count(), 0);
        QCOMPARE(form->ListBox1->currentRow(), -1);
        QCOMPARE(form->ListBox1->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(form->ProgressBar1->minimum(), 0);
        QCOMPARE(form->ProgressBar1->maximum(), 100);
        QCOMPARE(form->ProgressBar1->value(), 0);
        QVERIFY(!form->GroupBox2->isVisible());
        QVERIFY(!form->Panel4->isVisible());
        QVERIFY(!form->ProgressBar1->isVisible());
        QVERIFY(form->edit_rfactor->isVisible());
    }

    void mapListLinesAreThirteenPixelsHigh()
    {
        form->ListBox1->addItems({QStringLiteral("PIなし 代表画像"), QStringLiteral("PIなし SNR map")});
        QCOMPARE(form->ListBox1->visualItemRect(form->ListBox1->item(0)).height(), 13);
        QCOMPARE(form->ListBox1->visualItemRect(form->ListBox1->item(1)).top(),
                 form->ListBox1->visualItemRect(form->ListBox1->item(0)).top() + 13);
        form->ListBox1->clear();
    }

    void windowOpensAtItsPlaceAndSize()
    {
        QCOMPARE(form->frameGeometry(), QRect(267, 193, 817, 387));
        QVERIFY(!form->horizontalScrollBar()->isVisible());
        QVERIFY(!form->verticalScrollBar()->isVisible());
    }

    void focusStartsOnButton1AndTabsThroughTheControls()
    {
        QCOMPARE(QApplication::focusWidget(), form->Button1);
        const QStringList chain = {"DirectoryListBox1", "DirectoryListBox2", "CheckBox1", "edit_rfactor",
                                   "ListBox1",          "Button3",           "Button2",   "Button1"};
        for (const QString& next : chain) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), next);
        }
    }

    void imageShowsTheTitlePictureAndTheBitmapIsMade()
    {
        const QImage& picture = form->Image1->picture();
        QCOMPARE(picture.size(), QSize(256, 256));
        QCOMPARE(picture.depth(), 24);
        QCOMPARE(picture.convertToFormat(QImage::Format_RGB32),
                 quelby::makeTitlePicture().convertToFormat(QImage::Format_RGB32));

        const QImage& bitmap = quelby::displayBitmap();
        QCOMPARE(bitmap.size(), QSize(256, 256));
        QCOMPARE(bitmap.format(), QImage::Format_BGR888);
        QCOMPARE(bitmap.bytesPerLine(), 768);
    }

    void mapStoreStartsAtZero()
    {
        const quelby::MapStore& store = quelby::mapStore();
        QVERIFY(store.DisplayMap == quelby::Map{});
        for (int index = 0; index < quelby::ResultMapCount; ++index) QVERIFY(store.resultMap(index) == quelby::Map{});
        QCOMPARE(store.WindowLevel, 0);
        QCOMPARE(store.WindowWidth, 0);
        QCOMPARE(store.Drag.Active, 0);
        QCOMPARE(store.CountA, 0);
        QCOMPARE(store.CountB, 0);
        QCOMPARE(store.ScaleMin, 0.0);
        QCOMPARE(store.ScaleStep, 0.0);
    }

    void folderListsStartOnTheWorkingDirectory()
    {
        QCOMPARE(form->DirectoryListBox1->directory(), QDir::currentPath());
        QCOMPARE(form->DirectoryListBox2->directory(), QDir::currentPath());
    }

    void dialogsKeepTheToolkitDefaults()
    {
        QCOMPARE(form->SaveDialog1->acceptMode(), QFileDialog::AcceptSave);
        QVERIFY(form->SaveDialog1->testOption(QFileDialog::DontConfirmOverwrite));
        QVERIFY(form->SaveDialog1->defaultSuffix().isEmpty());
        QCOMPARE(form->SaveDialog1->nameFilters(), QFileDialog().nameFilters());
        QVERIFY(!form->SaveDialog1->isVisible());
        QCOMPARE(form->OpenDialog1->acceptMode(), QFileDialog::AcceptOpen);
        QVERIFY(!form->OpenDialog1->isVisible());
    }

    void smallerWindowScrollsAndMovesNothing()
    {
        const QSize client = form->widget()->size();
        QCOMPARE(client, QSize(801, 345));
        form->resize(400, 200);
        QTRY_VERIFY(form->horizontalScrollBar()->isVisible());
        QVERIFY(form->verticalScrollBar()->isVisible());
        QCOMPARE(form->widget()->size(), client);
        QCOMPARE(form->Panel2->pos(), QPoint(376, 8));
        QCOMPARE(form->Panel2->size(), QSize(425, 337));

        form->resize(1200, 700);
        QTRY_VERIFY(!form->horizontalScrollBar()->isVisible());
        QCOMPARE(form->widget()->pos(), QPoint(0, 0));
        QCOMPARE(form->Panel2->size(), QSize(425, 337));
    }
};

QTEST_MAIN(WindowStartTest)
#include "WindowStartTest.moc"
