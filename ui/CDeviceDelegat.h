#pragma once

#include <QColor>
#include <QRect>
#include <QStyle>
#include <QStyledItemDelegate>

#include "app/global.h"

// Paints a row of table "devices" as a card in its template's colour.
class CDeviceDelegat : public QStyledItemDelegate
{
    Q_OBJECT
public:
    // Where the texts of one card go, already elided to their room.
    struct SCardLayout
    {
        QString name;
        QRect nameRect;
        QString eui;
        QRect euiRect;
        QString type;
        QRect typeRect;
    };

    explicit CDeviceDelegat(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // The template summary of an application EUI, asked of the registry once.
    static REGS::SDeviceTemplateInfo templateInfo(const QString& appEui);
    // Even rows opaque, odd rows at alpha 200, selected or hovered rows darker;
    // a device without template is dark grey.
    static QColor backgroundColor(const QColor& templateColor, int row, QStyle::State state);
    // Name, EUI and type colours; light ones on the dark card of a device without template.
    static QList<QColor> textColors(bool hasTemplate);
    // The EUI keeps its room; the type takes what is left of the line.
    static SCardLayout cardLayout(const QRect& rect, const QFont& base, const QString& name,
                                  const QString& eui, const QString& type);
};
