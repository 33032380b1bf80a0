#pragma once

#include <QStyledItemDelegate>

namespace quelby {

// Gives every line of a list the same fixed height, whatever the font's own.
class LineHeightDelegate : public QStyledItemDelegate {
public:
    LineHeightDelegate(int height, QObject* parent);

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    int height_;
};

}  // namespace quelby
