// What the main window does on its own: text-change notices, the mode toggle,
// the error box and the message dialog, and closing.

#include "app/FolderList.h"
#include "ModalCatcher.h"
#include "app/consective_method.h"

#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

using quelby::TForm1;

namespace {

// The properties the toggle sets, in its order.
struct ModeLayout {
    QString label1Caption;
    bool label2Shown;
    bool list2Shown;
    bool group1Shown;
    int label1Left;
    bool rfactorShown;
    bool label7Shown;
    int panel1Width;
    int button1Left;
    int progressWidth;
    int panel2Left;
    int outerWidth;

    bool operator==(const ModeLayout&) const = default;
};

const ModeLayout GFactorLayout{QStringLiteral("parallel imaging なし"), true, true, true, 32, true, true, 361, 264,
                               345, 376, 842};
const ModeLayout SingleFolderLayout{QStringLiteral("画像フォルダ"), false, false, false, 50, false, false, 185, 83,
                                    169, 200, 664};

ModeLayout layoutOf(const TForm1& form)
{
    return {form.Label1->text(),       !form.Label2->isHidden(),
            !form.DirectoryListBox2->isHidden(), !form.GroupBox1->isHidden(),
            form.Label1->x(),          !form.edit_rfactor->isHidden(),
            !form.Label7->isHidden(),  form.Panel1->width(),
            form.Button1->x(),         form.ProgressBar1->width(),
            form.Panel2->x(),          form.frameGeometry().width()};
}

char* describe(const ModeLayout& layout)
{
    return qstrdup(qPrintable(QStringLiteral("%1 shown %2%3%4%5%6 label1 %7 panel1 %8 button1 %9 progress %10 "
                                             "panel2 %11 outer %12")
                                  .arg(layout.label1Caption)
                                  .arg(layout.label2Shown)
                                  .arg(layout.list2Shown)
                                  .arg(layout.group1Shown)
                                  .arg(layout.rfactorShown)
                                  .arg(layout.label7Shown)
                                  .arg(layout.label1Left)
                                  .arg(layout.panel1Width)
                                  .arg(layout.button1Left)
                                  .arg(layout.progressWidth)
                                  .arg(layout.panel2Left)
                                  .arg(layout.outerWidth)));
}

// Everything a user could see of the controls, to show that a toggle changes
// nothing beyond its own properties.
QStringList controlsState(const TForm1& form)
{
    QStringList state;
    for (const QWidget* control : form.findChildren<QWidget*>()) {
        if (control->objectName().isEmpty() || control->objectName().startsWith(u"qt_")) continue;
        const auto* label = qobject_cast<const QLabel*>(control);
        const auto* edit = qobject_cast<const QLineEdit*>(control);
        QString line;
        QDebug(&line) << control->objectName() << control->geometry() << control->isHidden()
                      << (label ? label->text() : edit ? edit->text() : QString());
        state << line;
    }
    return state;
}

QString programTitle()
{
    return QString::fromStdString(quelby::applicationTitle(QCoreApplication::applicationFilePath().toStdString()));
}

}  // namespace

namespace QTest {
template <>
char* toString(const ModeLayout& layout)
{
    return describe(layout);
}
}  // namespace QTest

class WindowBehaviourTest : public QObject {
    Q_OBJECT

    TForm1* form = nullptr;
    QString startDirectory;

private slots:
    void initTestCase()
    {
        startDirectory = QDir::currentPath();
        form = new TForm1;
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form));
    }

    void cleanup() { QDir::setCurrent(startDirectory); }

    void cleanupTestCase() { delete form; }

    void settingTextNotifiesOnlyAChange_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("notices");
        QTest::newRow("Edit_min, its own text") << "Edit_min" << "60" << 0;
        QTest::newRow("Edit_min, another text") << "Edit_min" << "61" << 1;
        QTest::newRow("Edit_min, emptied") << "Edit_min" << "" << 1;
        QTest::newRow("Edit_dis, its own text") << "Edit_dis" << "20" << 0;
        QTest::newRow("Edit_dis, another text") << "Edit_dis" << "2.5" << 1;
    }

    void settingTextNotifiesOnlyAChange()
    {
        QFETCH(QString, edit);
        QFETCH(QString, text);
        QFETCH(int, notices);
        auto* field = form->findChild<QLineEdit*>(edit);
        const QString before = field->text();
        const ModalCatcher boxes;  // before a run the change handler's rendering fails: width 0
        QSignalSpy changes(field, &QLineEdit::textChanged);
        field->setText(text);
        QCOMPARE(changes.size(), notices);
        QCOMPARE(field->text(), text);
        field->setText(before);
    }

    void toggleRearrangesTheWindow()
    {
        QCOMPARE(form->frameGeometry().width(), 817);
        const QRect list1 = form->DirectoryListBox1->geometry();
        const QRect box = form->CheckBox1->geometry();
        const QSize panel2 = form->Panel2->size();
        const QPoint outerPosition = form->frameGeometry().topLeft();
        const int outerHeight = form->frameGeometry().height();

        const ModeLayout expected[] = {SingleFolderLayout, GFactorLayout, SingleFolderLayout, GFactorLayout};
        for (const ModeLayout& layout : expected) {
            QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
            QCOMPARE(form->CheckBox1->isChecked(), layout.label2Shown);
            QCOMPARE(layoutOf(*form), layout);
            const QFontMetrics metrics(form->Label1->font());
            QVERIFY(form->Label1->width() >= metrics.horizontalAdvance(form->Label1->text()));
            QVERIFY(form->Label1->width() <= metrics.horizontalAdvance(form->Label1->text()) + 2);
            QCOMPARE(form->DirectoryListBox1->geometry(), list1);
            QCOMPARE(form->CheckBox1->geometry(), box);
            QCOMPARE(form->Panel2->size(), panel2);
            QCOMPARE(form->frameGeometry().topLeft(), outerPosition);
            QCOMPARE(form->frameGeometry().height(), outerHeight);
            QCOMPARE(form->edit_rfactor->text(), QStringLiteral("2"));
            QTRY_VERIFY(!form->horizontalScrollBar()->isVisible());
        }
    }

    void toggleTwiceRestoresEveryControl()
    {
        QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
        const QStringList single = controlsState(*form);
        const ModeLayout singleLayout = layoutOf(*form);
        QCOMPARE(singleLayout, SingleFolderLayout);
        QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
        QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
        QCOMPARE(controlsState(*form), single);
        QCOMPARE(layoutOf(*form), singleLayout);
        QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
        QCOMPARE(layoutOf(*form), GFactorLayout);
    }

    void spaceKeyTogglesLikeAClick()
    {
        form->CheckBox1->setFocus();
        QTest::keyClick(form->CheckBox1, Qt::Key_Space);
        QCOMPARE(layoutOf(*form), SingleFolderLayout);
        QTest::keyClick(form->CheckBox1, Qt::Key_Space);
        QCOMPARE(layoutOf(*form), GFactorLayout);
    }

    void settingTheBoxFromCodeRearrangesNothing()
    {
        form->CheckBox1->setChecked(false);
        QCOMPARE(layoutOf(*form), GFactorLayout);
        form->CheckBox1->setChecked(true);
    }

    void failingHandlerShowsTheErrorBoxAndTheProgramGoesOn_data()
    {
        QTest::addColumn<QString>("removed");
        QTest::addColumn<QString>("message");
        QTest::newRow("the folder") << "kept/gone" << "ファイルが見つかりません.";
        QTest::newRow("its parent too") << "kept" << "ファイル名の指定が間違っています.";
    }

    void failingHandlerShowsTheErrorBoxAndTheProgramGoesOn()
    {
        QFETCH(QString, removed);
        QFETCH(QString, message);
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("kept/gone")));
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("other")));
        const QString kept = QDir(root.path()).canonicalPath() + QStringLiteral("/kept");
        quelby::FolderList* list = form->DirectoryListBox1;
        list->openFolder(kept);
        QVERIFY(QDir(root.path() + u'/' + removed).removeRecursively());
        const QList<QListWidgetItem*> gone = list->findItems(QStringLiteral("gone"), Qt::MatchEndsWith);
        QCOMPARE(gone.size(), 1);
        const QStringList lines = [list] {
            QStringList texts;
            for (int row = 0; row < list->count(); ++row) texts << list->item(row)->text();
            return texts;
        }();

        ModalCatcher catcher;
        const QPoint line = list->visualItemRect(gone.first()).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, line);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, line);
        QCOMPARE(catcher.seen().size(), 1);
        const ModalCatcher::Seen& box = catcher.seen().first();
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.title, programTitle());
        QCOMPARE(box.text, message);
        QCOMPARE(box.buttons, QMessageBox::Ok);
        QCOMPARE(box.parent, form);
        QVERIFY(box.modality != Qt::NonModal);
        QCOMPARE(list->directory(), kept);
        QCOMPARE(list->item(list->count() - 1)->text().trimmed(), QStringLiteral("gone"));
        QCOMPARE(list->count(), lines.size());

        // The window serves the next event as usual: Enter on the line above opens the root folder.
        list->setCurrentRow(list->count() - 3);
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(list->directory(), QDir(root.path()).canonicalPath());
        QCOMPARE(QDir::currentPath(), list->directory());
        QCOMPARE(list->findItems(QStringLiteral("other"), Qt::MatchEndsWith).size(), 1);
        QCOMPARE(catcher.seen().size(), 1);
    }

    void messageDialogIsPlainAndCentredOnTheScreen()
    {
        ModalCatcher catcher;
        quelby::showMessage(QStringLiteral("reduction factorが不正です"));
        QCOMPARE(catcher.seen().size(), 1);
        const ModalCatcher::Seen& dialog = catcher.seen().first();
        QCOMPARE(dialog.kind, QStringLiteral("QMessageBox"));
        QCOMPARE(dialog.icon, QMessageBox::NoIcon);
        QCOMPARE(dialog.title, programTitle());
        QCOMPARE(dialog.text, QStringLiteral("reduction factorが不正です"));
        QCOMPARE(dialog.buttons, QMessageBox::Ok);
        QVERIFY(dialog.modality != Qt::NonModal);
        const QPoint offCentre = dialog.frame.center() - form->screen()->availableGeometry().center();
        QVERIFY2(offCentre.manhattanLength() <= 2, qPrintable(QDebug::toString(dialog.frame)));
    }

    // Last: it ends the event loop.
    void button2EndsTheProgram()
    {
        ModalCatcher catcher;
        QTimer::singleShot(0, form, [this] { QTest::mouseClick(form->Button2, Qt::LeftButton); });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(1); });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!form->isVisible());
        QVERIFY(catcher.seen().isEmpty());
    }
};

QTEST_MAIN(WindowBehaviourTest)
#include "WindowBehaviourTest.moc"
