#pragma once

#include <QColor>
#include <QFont>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QVariant>

#include "app/RegisterFormat.h"

// Paints a row of table "dev_data" as a card: name, register range, time of
// the last update and the decoded value.
class CRegisterDelegat : public QStyledItemDelegate
{
    Q_OBJECT
public:
    CRegisterDelegat();

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The value as the card shows it, decoded from the stored full value,
    // which holds the words as served in the register's format.
    static QString valueText(const QString& dataType, const QVariant& fullValue, int bitSize,
                             const QString& unit, const FMT::SRegisterFormat& format);
    // The format of the row, default where the model has no format columns.
    static FMT::SRegisterFormat rowFormat(const QModelIndex& index);
    static QString rangeText(int addr, int bitSize);
    static QString timeText(quint64 msecs);
    static QColor backgroundColor(int row, QStyle::State state);
    // Bold card font of the given pixel size.
    static QFont cardFont(const QFont& base, int pixelSize);

private:
    static QString integerText(const QString& image, int bitSize);
};
