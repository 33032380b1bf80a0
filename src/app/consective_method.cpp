#include "app/consective_method.h"

#include "engine/core/CheckedFloat.h"
#include "display/DisplayTexts.h"
#include "app/FittedLabel.h"
#include "app/FolderList.h"
#include "app/LineHeightDelegate.h"
#include "export/MapExport.h"
#include "run/MeasurementRun.h"
#include "engine/core/NumberText.h"
#include "app/PictureView.h"
#include "display/Rendering.h"
#include "display/ScaleBar.h"
#include "app/TitlePicture.h"
#include "display/WindowChoice.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>

namespace quelby {

TForm1* Form1 = nullptr;

static QString SaveFileName;
static QImage DisplayBitmap;
static MapStore Store;

MapStore& mapStore() { return Store; }
QImage& displayBitmap() { return DisplayBitmap; }

namespace {

const QPoint StartPosition(267, 193);
const QSize StartSize(817, 387);
constexpr int GFactorOuterWidth = 842;
constexpr int SingleFolderOuterWidth = 664;
constexpr int MapListLineHeight = 13;

const QColor MoneyGreen(192, 220, 192);
const QColor SkyBlue(166, 202, 240);
const QColor Teal(0, 128, 128);
const QColor MediumGrey(160, 160, 164);
const QColor Navy(0, 0, 128);
const QColor Grey(128, 128, 128);
const QColor White(255, 255, 255);
const QColor Black(0, 0, 0);

QString programTitle()
{
    return QString::fromStdString(applicationTitle(QCoreApplication::applicationFilePath().toStdString()));
}

// IPAPGothic stands in for ＭＳ Ｐゴシック, at the same character heights.
QFont interfaceFont()
{
    QFont font(QStringLiteral("IPAPGothic"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(12);
    return font;
}

void setPixelHeight(QWidget* widget, int pixels)
{
    QFont font = widget->font();
    font.setPixelSize(pixels);
    widget->setFont(font);
}

void setBackground(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

template <class Control>
Control* named(Control* control, const QString& name, const QRect& geometry)
{
    control->setObjectName(name);
    control->setGeometry(geometry);
    return control;
}

QFrame* panel(QWidget* parent, const QString& name, const QRect& geometry, const QColor& colour, bool raised)
{
    auto* frame = named(new QFrame(parent), name, geometry);
    frame->setFrameStyle(raised ? QFrame::Panel | QFrame::Raised : QFrame::NoFrame);
    frame->setLineWidth(1);
    setBackground(frame, colour);
    return frame;
}

QGroupBox* groupBox(QWidget* parent, const QString& name, const QRect& geometry)
{
    return named(new QGroupBox(parent), name, geometry);
}

QPushButton* button(QWidget* parent, const QString& name, const QString& text, const QRect& geometry)
{
    return named(new QPushButton(text, parent), name, geometry);
}

QLineEdit* edit(QWidget* parent, const QString& name, const QString& text, const QRect& geometry)
{
    return named(new QLineEdit(text, parent), name, geometry);
}

struct LabelLook {
    QColor text;
    int pixels;
    QColor background;  // invalid: the parent's background shows
};

QLabel* label(QLabel* caption, const QString& name, const LabelLook& look)
{
    caption->setObjectName(name);
    caption->setTextFormat(Qt::PlainText);
    caption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette palette = caption->palette();
    palette.setColor(QPalette::WindowText, look.text);
    caption->setPalette(palette);
    setPixelHeight(caption, look.pixels);
    if (look.background.isValid()) setBackground(caption, look.background);
    return caption;
}

// A label that sizes itself to its caption.
QLabel* fitLabel(QWidget* parent, const QString& name, const QString& text, QPoint at, const LabelLook& look)
{
    QLabel* caption = label(new QLabel(text, parent), name, look);
    caption->move(at);
    caption->adjustSize();
    return caption;
}

QLabel* fixedLabel(QWidget* parent, const QString& name, const QString& text, const QRect& geometry,
                   const LabelLook& look)
{
    QLabel* caption = label(new FittedLabel(text, parent), name, look);
    caption->setGeometry(geometry);
    return caption;
}

std::string text(const QLineEdit* edit) { return edit->text().toStdString(); }

std::string folderOf(const FolderList* list) { return QFile::encodeName(list->directory()).toStdString(); }

void setWindow(const Window& window)
{
    Store.WindowLevel = window.level;
    Store.WindowWidth = window.width;
}

// The selected line of the map list, -1 when none is selected. Qt may make a line
// current without selecting it (focus entering the list); only a selection counts.
int SelectedMapIndex()
{
    const QList<QListWidgetItem*> selected = Form1->ListBox1->selectedItems();
    return selected.isEmpty() ? -1 : Form1->ListBox1->row(selected.front());
}

void RenderDisplay()
{
    std::uint8_t* rows[ImageSide];
    for (int r = 0; r < ImageSide; ++r) rows[r] = DisplayBitmap.scanLine(r);
    renderMap(Store.DisplayMap, Store.WindowLevel, Store.WindowWidth, rows);
    Form1->Image1->drawImage(DisplayBitmap);
}

void UpdateScaleLabels()
{
    const double min = parseNumber(text(Form1->Edit_min));
    const double step = parseNumber(text(Form1->Edit_dis));
    const auto captions = scaleLabelTexts(SelectedMapIndex(), min, step);
    if (!captions) return;
    QLabel* const labels[ScaleLabelCount] = {Form1->Label_scale1, Form1->Label_scale2, Form1->Label_scale3,
                                             Form1->Label_scale4, Form1->Label_scale5, Form1->Label_scale6,
                                             Form1->Label_scale7, Form1->Label_scale8, Form1->Label_scale9,
                                             Form1->Label_scale10};
    for (int n = 0; n < ScaleLabelCount; ++n) labels[n]->setText(QString::fromStdString((*captions)[n]));
}

// What the measurement run shows, put into the controls at the moment it shows it.
class RunControls : public RunView {
public:
    explicit RunControls(TForm1& form) : form_(form) {}

    void refuseReductionFactor() override { showMessage(QStringLiteral("reduction factorが不正です")); }
    void setProgressBarShown(bool shown) override { form_.ProgressBar1->setVisible(shown); }
    // Refilling the list is no choice of the user: it must not run the selection handler.
    void clearMapList() override
    {
        const QSignalBlocker quiet(form_.ListBox1);
        form_.ListBox1->clear();
    }
    void addMapListLine(const char* line) override
    {
        const QSignalBlocker quiet(form_.ListBox1);
        form_.ListBox1->addItem(QString::fromUtf8(line));
    }
    // The run holds the thread, so the bar repaints itself here rather than in the event loop.
    void setProgress(int position) override
    {
        form_.ProgressBar1->setValue(position);
        form_.ProgressBar1->repaint();
    }
    void setWindowCaption(const std::string& caption) override
    {
        form_.label_window->setText(QString::fromStdString(caption));
    }
    void render() override { RenderDisplay(); }

private:
    TForm1& form_;
};

}  // namespace

TForm1::TForm1(QWidget* parent) : QScrollArea(parent)
{
    Form1 = this;
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Quelby 連続撮像法 ver1.2"));
    setFont(interfaceFont());
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus);

    // Controls are made in their tab order, which Qt takes as the focus chain.
    auto* client = new QWidget;
    setWidget(client);
    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    buildPanel1(client);
    buildPanel2(client);
    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);
    fitClientArea();
    wireEvents();
    Button1->setFocus();

    // The platform's frame is known once the native window exists.
    create();
    move(StartPosition);
    resize(StartSize - (frameSize() - size()));
    FormCreate();
}

void TForm1::buildPanel1(QWidget* client)
{
    Panel1 = panel(client, QStringLiteral("Panel1"), {8, 8, 361, 337}, MoneyGreen, true);
    Label1 = fitLabel(Panel1, QStringLiteral("Label1"), QStringLiteral("parallel imaging なし"), {32, 16},
                      {White, 15, Teal});
    Label2 = fitLabel(Panel1, QStringLiteral("Label2"), QStringLiteral("parallel imaging あり"), {208, 16},
                      {White, 15, Teal});
    Button1 = button(Panel1, QStringLiteral("Button1"), QStringLiteral("処理開始"), {264, 248, 81, 49});
    DirectoryListBox1 = named(new FolderList(Panel1), QStringLiteral("DirectoryListBox1"), {8, 32, 169, 201});
    DirectoryListBox2 = named(new FolderList(Panel1), QStringLiteral("DirectoryListBox2"), {184, 32, 169, 201});
    ProgressBar1 = named(new QProgressBar(Panel1), QStringLiteral("ProgressBar1"), {8, 312, 345, 17});
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->hide();
    CheckBox1 = named(new QCheckBox(QStringLiteral("g-factor"), Panel1), QStringLiteral("CheckBox1"),
                      {8, 264, 73, 25});
    CheckBox1->setChecked(true);
    GroupBox1 = groupBox(Panel1, QStringLiteral("GroupBox1"), {88, 256, 137, 33});
    Label7 = fitLabel(GroupBox1, QStringLiteral("Label7"), QStringLiteral("reduction rate"), {10, 13}, {Grey, 12, {}});
    edit_rfactor = edit(GroupBox1, QStringLiteral("edit_rfactor"), QStringLiteral("2"), {88, 9, 41, 20});
}

void TForm1::buildPanel2(QWidget* client)
{
    Panel2 = panel(client, QStringLiteral("Panel2"), {376, 8, 425, 337}, SkyBlue, true);
    Image1 = named(new PictureView(makeTitlePicture(), Panel2), QStringLiteral("Image1"), {128, 8, 256, 256});
    Panel5 = panel(Panel2, QStringLiteral("Panel5"), {176, 268, 169, 40}, Teal, false);
    label_pos = fixedLabel(Panel5, QStringLiteral("label_pos"), QStringLiteral("  (X,Y) = (--,--)"), {10, 4, 151, 13},
                           {White, 13, {}});
    label_SI = fixedLabel(Panel5, QStringLiteral("label_SI"), QStringLiteral("  信号強度 = "), {10, 22, 151, 13},
                          {White, 13, {}});
    ListBox1 = named(new QListWidget(Panel2), QStringLiteral("ListBox1"), {8, 24, 113, 129});
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox1->setUniformItemSizes(true);
    ListBox1->setItemDelegate(new LineHeightDelegate(MapListLineHeight, ListBox1));
    setPixelHeight(ListBox1, 13);
    Panel3 = panel(Panel2, QStringLiteral("Panel3"), {176, 310, 169, 20}, Teal, false);
    label_window = fixedLabel(Panel3, QStringLiteral("label_window"), QStringLiteral("  ( WL,WW ) = "),
                              {10, 4, 151, 13}, {White, 13, {}});
    GroupBox2 = groupBox(Panel2, QStringLiteral("GroupBox2"), {6, 168, 110, 65});
    GroupBox2->hide();
    Label5 = fitLabel(GroupBox2, QStringLiteral("Label5"), QStringLiteral("スケール設定"), {20, 10}, {Black, 11, {}});
    Label3 = fitLabel(GroupBox2, QStringLiteral("Label3"), QStringLiteral("最低値"), {7, 26}, {Grey, 12, {}});
    Label4 = fitLabel(GroupBox2, QStringLiteral("Label4"), QStringLiteral("間隔"), {7, 47}, {Grey, 12, {}});
    Edit_min = edit(GroupBox2, QStringLiteral("Edit_min"), QStringLiteral("60"), {65, 22, 40, 20});
    Edit_dis = edit(GroupBox2, QStringLiteral("Edit_dis"), QStringLiteral("20"), {65, 42, 40, 20});
    Panel4 = panel(Panel2, QStringLiteral("Panel4"), {388, 57, 33, 157}, MediumGrey, true);
    Panel4->hide();
    buildScaleColumn();
    Panel6 = panel(Panel2, QStringLiteral("Panel6"), {8, 240, 111, 87}, MediumGrey, true);
    Button3 = button(Panel6, QStringLiteral("Button3"), QStringLiteral("表示画像保存"), {8, 8, 97, 33});
    Button2 = button(Panel6, QStringLiteral("Button2"), QStringLiteral("終了"), {8, 48, 97, 33});
}

void TForm1::buildScaleColumn()
{
    QLabel** const column[] = {&Label_scale1, &Label_scale2, &Label_scale3, &Label_scale4, &Label_scale5,
                               &Label_scale6, &Label_scale7, &Label_scale8, &Label_scale9, &Label_scale10};
    for (int k = 0; k < 10; ++k) {
        const int height = k == 9 ? 13 : 12;
        QLabel* scale = fixedLabel(Panel4, QStringLiteral("Label_scale%1").arg(k + 1), QStringLiteral("0"),
                                   {1, 5 + 15 * k, 30, height}, {White, 12, Navy});
        scale->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        *column[k] = scale;
    }
}

// Made once the start texts are in place, so that no change handler runs while
// the window is built.
void TForm1::wireEvents()
{
    connect(Button1, &QPushButton::clicked, this, [this] { run([this] { Button1Click(); }); });
    connect(ListBox1, &QListWidget::itemSelectionChanged, this, [this] { run([this] { ListBox1Click(); }); });
    connect(Edit_min, &QLineEdit::textChanged, this, [this] { run([this] { Edit_minChange(); }); });
    connect(Edit_dis, &QLineEdit::textChanged, this, [this] { run([this] { Edit_disChange(); }); });
    connect(Image1, &PictureView::pressed, this,
            [this](Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y) {
                run([&] { Image1MouseDown(button, modifiers, x, y); });
            });
    connect(Image1, &PictureView::moved, this,
            [this](Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int x, int y) {
                run([&] { Image1MouseMove(buttons, modifiers, x, y); });
            });
    connect(Image1, &PictureView::released, this,
            [this](Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y) {
                run([&] { Image1MouseUp(button, modifiers, x, y); });
            });
    connect(CheckBox1, &QCheckBox::clicked, this, [this] { run([this] { CheckBox1Click(); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { run([this] { Button3Click(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { run([this] { Button2Click(); }); });
    for (FolderList* list : {DirectoryListBox1, DirectoryListBox2})
        connect(list, &FolderList::openRequested, this,
                [this, list](const QString& path) { run([&] { list->openFolder(path); }); });
}

void TForm1::showError(const std::string& message)
{
    QMessageBox box(QMessageBox::Critical, programTitle(), QString::fromStdString(errorBoxText(message)),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void TForm1::setOuterWidth(int width)
{
    resize(width - (frameSize().width() - this->width()), height());
}

// The scroll range is the extent of the controls on show.
void TForm1::fitClientArea()
{
    QWidget* client = widget();
    QRect extent;
    for (QWidget* control : client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (control->isVisibleTo(client)) extent |= control->geometry();
    client->resize(extent.right() + 1, extent.bottom() + 1);
}

void TForm1::CheckBox1Click()
{
    const bool gFactor = CheckBox1->isChecked();
    Label1->setText(gFactor ? QStringLiteral("parallel imaging なし") : QStringLiteral("画像フォルダ"));
    Label1->adjustSize();
    Label2->setVisible(gFactor);
    DirectoryListBox2->setVisible(gFactor);
    GroupBox1->setVisible(gFactor);
    Label1->move(gFactor ? 32 : 50, Label1->y());
    edit_rfactor->setVisible(gFactor);
    Label7->setVisible(gFactor);
    Panel1->resize(gFactor ? 361 : 185, Panel1->height());
    Button1->move(gFactor ? 264 : 83, Button1->y());
    ProgressBar1->resize(gFactor ? 345 : 169, ProgressBar1->height());
    Panel2->move(gFactor ? 376 : 200, Panel2->y());
    fitClientArea();
    setOuterWidth(gFactor ? GFactorOuterWidth : SingleFolderOuterWidth);
}

void TForm1::Button2Click()
{
    close();
}

void TForm1::Button1Click()
{
    RunControls controls(*this);
    MeasurementRun({text(Edit_min), text(Edit_dis), text(edit_rfactor), CheckBox1->isChecked(),
                    folderOf(DirectoryListBox1), folderOf(DirectoryListBox2)},
                   Store, controls);
}

void TForm1::ListBox1Click()
{
    const int k = SelectedMapIndex();
    // Only a Ctrl+click or Ctrl+Space on the chosen line takes the selection away; the
    // map on show keeps its line, as the edits, readout and export go by it.
    if (k < 0) {
        const QSignalBlocker quiet(ListBox1);
        if (QListWidgetItem* line = ListBox1->currentItem()) line->setSelected(true);
        return;
    }
    GroupBox2->hide();
    Panel4->hide();
    Store.ScaleMin = 60.0;
    Store.ScaleStep = 20.0;
    if (k == GFactorMapIndex) {
        Edit_min->setText(QStringLiteral("0.6"));
        Edit_dis->setText(QStringLiteral("0.2"));
        UpdateScaleLabels();
    } else if (isSnrMap(k)) {
        Edit_min->setText(QStringLiteral("60"));
        Edit_dis->setText(QStringLiteral("20"));
        label_SI->setText(QString::fromUtf8(SnrReadoutCaption));
        UpdateScaleLabels();
    } else {
        label_SI->setText(QString::fromUtf8(SignalReadoutCaption));
    }
    Store.DisplayMap = Store.resultMap(k);
    if (isScaleMap(k)) {
        GroupBox2->show();
        Panel4->show();
    }
    Store.DisplayMax = largestValue(Store.DisplayMap);
    Window window = k == GFactorMapIndex ? GFactorWindow : windowFromLargest(Store.DisplayMax);
    if (isSnrMap(k)) window = snrWindow(Store.ScaleMin, Store.ScaleStep);
    setWindow(window);
    label_window->setText(QString::fromStdString(windowText(window, k)));
    RenderDisplay();
}

void TForm1::Image1MouseMove(Qt::MouseButtons, Qt::KeyboardModifiers, int x, int y)
{
    // Positions outside the picture come while a drag holds the pointer; they move the
    // window but have no value to read out.
    const bool onPicture = x >= 0 && x < ImageSide && y >= 0 && y < ImageSide;
    if (ListBox1->count() > 0 && onPicture) {
        label_pos->setText(QString::fromStdString(positionText(x, y)));
        label_SI->setText(QString::fromStdString(valueText(SelectedMapIndex(), Store.DisplayMap[y][x])));
    }
    if (Store.Drag.Active == 1) {
        const Window window = dragWindow(Store.Drag, x, y);
        setWindow(window);
        label_window->setText(QString::fromStdString(windowText(window, SelectedMapIndex())));
        RenderDisplay();
    }
}

void TForm1::FormCreate()
{
    DisplayBitmap = QImage(ImageSide, ImageSide, QImage::Format_BGR888);
}

void TForm1::Image1MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int x, int y)
{
    Store.Drag.StartX = x;
    Store.Drag.StartY = y;
    Store.Drag.StartWidth = Store.WindowWidth;
    Store.Drag.StartLevel = Store.WindowLevel;
    Store.Drag.Active = 1;
}

void TForm1::Image1MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int, int)
{
    Store.Drag.Active = 0;
}

void TForm1::Edit_minChange()
{
    if (Edit_min->text().isEmpty() || Edit_dis->text().isEmpty()) return;
    Store.ScaleMin = parseNumber(text(Edit_min));
    Store.ScaleStep = parseNumber(text(Edit_dis));
    const int k = SelectedMapIndex();
    if (isScaleMap(k)) {
        if (k == GFactorMapIndex) {
            Store.ScaleMin = checked::store(100.0L * Store.ScaleMin);
            Store.ScaleStep = checked::store(100.0L * Store.ScaleStep);
        }
        Map& map = Store.resultMap(k);
        WriteScaleBar(map, Store.ScaleMin, Store.ScaleStep);
        Store.DisplayMap = map;
    }
    UpdateScaleLabels();
    RenderDisplay();
}

// Both scale edits take the same steps.
void TForm1::Edit_disChange()
{
    Edit_minChange();
}

void TForm1::Button3Click()
{
    if (!SaveFileName.isEmpty()) SaveDialog1->selectFile(SaveFileName);
    if (SaveDialog1->exec() != QDialog::Accepted) return;
    SaveFileName = SaveDialog1->selectedFiles().value(0);
    writeMapFile(SaveFileName, Store.DisplayMap, SelectedMapIndex() == GFactorMapIndex);
}

void showMessage(const QString& text)
{
    // No parent, so that it opens centred on the screen; exec makes it modal to the whole program.
    QMessageBox box(QMessageBox::NoIcon, programTitle(), text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace quelby
