#pragma once

#include <QLabel>

namespace quelby {

// A one-line label of fixed size whose caption is squeezed horizontally when it
// is wider than the label, so that a long window or value is never cut off.
class FittedLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace quelby
