#include "app/FittedLabel.h"

#include <QtTest>

using quelby::FittedLabel;

namespace {

// Columns holding the label's white ink on its black ground.
std::pair<int, int> inkColumns(QLabel& label)
{
    const QImage picture = label.grab().toImage();
    int first = picture.width(), last = -1;
    for (int x = 0; x < picture.width(); ++x)
        for (int y = 0; y < picture.height(); ++y)
            if (qGray(picture.pixel(x, y)) > 128) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    return {first, last};
}

void look(QLabel& label, const QString& text)
{
    QFont font(QStringLiteral("IPAPGothic"));
    font.setPixelSize(13);
    label.setFont(font);
    QPalette palette = label.palette();
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, Qt::white);
    label.setPalette(palette);
    label.setAutoFillBackground(true);
    label.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label.setText(text);
    label.setGeometry(0, 0, 151, 13);
}

}  // namespace

class FittedLabelTest : public QObject {
    Q_OBJECT
private slots:
    void aCaptionThatFitsIsDrawnAsAnyLabelDraws()
    {
        FittedLabel fitted;
        QLabel plain;
        look(fitted, QStringLiteral("SNR = 12.34"));
        look(plain, QStringLiteral("SNR = 12.34"));
        QCOMPARE(fitted.grab().toImage(), plain.grab().toImage());
    }

    void aLongCaptionIsSqueezedIntoTheLabel()
    {
        const QString text = QStringLiteral("( WL,WW ) = ( -327.68 , 327.67 )");
        FittedLabel fitted;
        look(fitted, text);
        QVERIFY(fitted.fontMetrics().horizontalAdvance(text) > fitted.width() + 30);
        const auto [first, last] = inkColumns(fitted);
        QVERIFY(first <= 2);
        QVERIFY2(last < fitted.width() - 1, "the closing parenthesis must not be cut at the edge");
        QVERIFY(last >= fitted.width() * 9 / 10);  // squeezed to the label, not shrunk away
    }
};

QTEST_MAIN(FittedLabelTest)
#include "FittedLabelTest.moc"
