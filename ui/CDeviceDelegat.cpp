#include "ui/CDeviceDelegat.h"

#include <QAbstractItemView>
#include <QDebug>
#include <QHelpEvent>
#include <QMap>
#include <QPainter>
#include <QToolTip>

#include "devices/CAllDeviceHandler.h"
#include "ui/CRegisterDelegat.h"
#include "widgets/color.h"

namespace {
// Filled on first use of each EUI and kept for the run: painting must not
// query the registry for every row.
QMap<QString, REGS::SDeviceTemplateInfo> deviceInfo;
const QString NO_TEMPLATE = QStringLiteral("no template");
const int TYPE_GAP = 8;
// Keeps the last letter of the type (or the badge) off the card's edge.
const int RIGHT_PAD = 4;

QFont nameFont(const QFont& base)
{
    return CRegisterDelegat::cardFont(base, 12);
}

QFont detailFont(const QFont& base)
{
    return CRegisterDelegat::cardFont(base, 9);
}

QVariant cell(const QModelIndex& index, int column)
{
    return index.sibling(index.row(), column).data(Qt::DisplayRole);
}
} // namespace

CDeviceDelegat::CDeviceDelegat(QObject* parent) : QStyledItemDelegate(parent) {}

REGS::SDeviceTemplateInfo CDeviceDelegat::templateInfo(const QString& appEui)
{
    const QString key = COMM::euiKey(appEui);
    auto it = deviceInfo.constFind(key);
    if (it == deviceInfo.constEnd())
        it = deviceInfo.insert(key, CAllDeviceHandler::getInstance()->getTemplateInfo(key));
    return it.value();
}

QColor CDeviceDelegat::backgroundColor(const QColor& templateColor, int row, QStyle::State state)
{
    QColor color = templateColor.isValid() ? templateColor.toRgb() : QColor(QC_GLOB_BLACK1_L0);
    if (state & (QStyle::State_Selected | QStyle::State_MouseOver))
        return QColor(int(color.red() / 1.3), int(color.green() / 1.3), int(color.blue() / 1.3));
    color.setAlpha(row % 2 == 0 ? 255 : 200);
    return color;
}

QList<QColor> CDeviceDelegat::textColors(bool hasTemplate)
{
    if (hasTemplate)
        return {QCT_GLOB_BLUE1_D2, QC_GLOB_LILAC1_D2, QC_GLOB_LILAC1_D2};
    return {QC_GLOB_WHITE1, QC_GLOB_BLACK6C_13, QC_GLOB_BLACK1};
}

CDeviceDelegat::SCardLayout CDeviceDelegat::cardLayout(const QRect& rect, const QFont& base,
                                                       const QString& name, const QString& eui,
                                                       const QString& type)
{
    const QRect text = rect.adjusted(2, 1, -RIGHT_PAD, -1);
    const QFontMetrics big(nameFont(base));
    const QFontMetrics small(detailFont(base));
    SCardLayout card;
    card.nameRect = QRect(text.left(), text.top(), text.width(), big.height());
    card.name = big.elidedText(name, Qt::ElideRight, text.width());
    // The details sit on the card's bottom, so both lines fit its height whole.
    const int second = text.bottom() + 1 - small.height();
    card.eui = small.elidedText(eui, Qt::ElideRight, text.width());
    card.euiRect = QRect(text.left(), second, small.horizontalAdvance(card.eui), small.height());
    const int typeLeft = card.euiRect.right() + 1 + TYPE_GAP;
    const int typeWidth = qMax(0, text.right() + 1 - typeLeft);
    card.type = small.elidedText(type, Qt::ElideRight, typeWidth);
    const int shownWidth = card.type.isEmpty() ? 0 : qMin(typeWidth, small.horizontalAdvance(card.type));
    card.typeRect = QRect(text.right() + 1 - shownWidth, second, shownWidth, small.height());
    return card;
}

void CDeviceDelegat::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const
{
    const QAbstractItemModel* model = index.model();
    if (model == nullptr || model->columnCount(index.parent()) != DB::DEV_COL_COUNT) {
        qDebug() << "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!";
        return;
    }
    const REGS::SDeviceTemplateInfo info = templateInfo(cell(index, DB::DEV_COL_APPEUI).toString());
    const bool hasTemplate = !info.appEui.isEmpty();
    const QColor cardColor = info.color.isValid() ? info.color : QColor(QC_GLOB_WHITE1);
    const SCardLayout card =
        cardLayout(option.rect, option.font, cell(index, DB::DEV_COL_NAME).toString(),
                   cell(index, DB::DEV_COL_DEVEUI).toString(), hasTemplate ? info.devType : NO_TEMPLATE);
    const QList<QColor> colors = textColors(hasTemplate);

    painter->save();
    painter->setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(backgroundColor(hasTemplate ? cardColor : QColor(), index.row(), option.state));
    painter->drawRoundedRect(option.rect, 4, 4);
    painter->setFont(nameFont(option.font));
    painter->setPen(colors.at(0));
    painter->drawText(card.nameRect, Qt::AlignLeft | Qt::AlignTop, card.name);
    painter->setFont(detailFont(option.font));
    painter->setPen(colors.at(1));
    painter->drawText(card.euiRect, Qt::AlignLeft | Qt::AlignTop, card.eui);
    if (!hasTemplate && !card.typeRect.isEmpty()) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(QC_GLOB_ORANGE1_L2);
        painter->drawRoundedRect(card.typeRect.adjusted(-3, 0, 0, 0), 3, 3);
    }
    painter->setPen(colors.at(2));
    painter->drawText(card.typeRect, Qt::AlignRight | Qt::AlignTop, card.type);
    painter->restore();
}

QSize CDeviceDelegat::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    Q_UNUSED(option)
    Q_UNUSED(index)
    return QSize(100, 30);
}

bool CDeviceDelegat::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                               const QModelIndex& index)
{
    if (event == nullptr || event->type() != QEvent::ToolTip || !index.isValid() ||
        index.model()->columnCount(index.parent()) != DB::DEV_COL_COUNT)
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const REGS::SDeviceTemplateInfo info = templateInfo(cell(index, DB::DEV_COL_APPEUI).toString());
    const QString tip =
        QStringLiteral("%1\nEUI: %2\nType: %3\nTCP port: %4")
            .arg(cell(index, DB::DEV_COL_NAME).toString(), cell(index, DB::DEV_COL_DEVEUI).toString(),
                 info.appEui.isEmpty() ? NO_TEMPLATE : info.devType,
                 cell(index, DB::DEV_COL_PORT).toString());
    QToolTip::showText(event->globalPos(), tip, view);
    return true;
}
