#include "app/LineHeightDelegate.h"

namespace quelby {

LineHeightDelegate::LineHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}

QSize LineHeightDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    return {QStyledItemDelegate::sizeHint(option, index).width(), height_};
}

}  // namespace quelby
