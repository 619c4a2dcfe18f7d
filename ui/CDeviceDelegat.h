#pragma once

#include <QColor>
#include <QStyle>
#include <QStyledItemDelegate>

#include "app/global.h"

// Paints a row of table "devices" as a card in its template's colour.
class CDeviceDelegat : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit CDeviceDelegat(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The template summary of an application EUI, asked of the registry once.
    static REGS::SDeviceTemplateInfo templateInfo(const QString& appEui);
    // Even rows opaque, odd rows at alpha 200, selected or hovered rows darker.
    static QColor backgroundColor(const QColor& templateColor, int row, QStyle::State state);
};
