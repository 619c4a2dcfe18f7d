#include "ui/CDeviceDelegat.h"

#include <QDebug>
#include <QMap>
#include <QPainter>

#include "devices/CAllDeviceHandler.h"
#include "ui/CRegisterDelegat.h"
#include "widgets/color.h"

namespace {
// Filled on first use of each EUI and kept for the run: painting must not
// query the registry for every row.
QMap<QString, REGS::SDeviceTemplateInfo> deviceInfo;
} // namespace

CDeviceDelegat::CDeviceDelegat(QObject* parent) : QStyledItemDelegate(parent) {}

REGS::SDeviceTemplateInfo CDeviceDelegat::templateInfo(const QString& appEui)
{
    auto it = deviceInfo.constFind(appEui);
    if (it == deviceInfo.constEnd())
        it = deviceInfo.insert(appEui, CAllDeviceHandler::getInstance()->getTemplateInfo(appEui));
    return it.value();
}

QColor CDeviceDelegat::backgroundColor(const QColor& templateColor, int row, QStyle::State state)
{
    // A device without a loaded template has no colour: its card is black.
    QColor color = templateColor.isValid() ? templateColor.toRgb() : QColor(Qt::black);
    if (state & (QStyle::State_Selected | QStyle::State_MouseOver))
        return QColor(int(color.red() / 1.3), int(color.green() / 1.3), int(color.blue() / 1.3));
    color.setAlpha(row % 2 == 0 ? 255 : 200);
    return color;
}

void CDeviceDelegat::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const
{
    const QAbstractItemModel* model = index.model();
    if (model == nullptr || model->columnCount(index.parent()) != DB::DEV_COL_COUNT) {
        qDebug() << "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!";
        return;
    }
    const auto cell = [&](int column) { return index.sibling(index.row(), column).data(Qt::DisplayRole); };
    const REGS::SDeviceTemplateInfo info = templateInfo(cell(DB::DEV_COL_APPEUI).toString());

    painter->save();
    painter->setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(backgroundColor(info.color, index.row(), option.state));
    painter->drawRoundedRect(option.rect, 4, 4);

    const QRect text = option.rect.adjusted(2, 2, -2, 0);
    const QFont bigFont = CRegisterDelegat::cardFont(option.font, 12);
    const QFont smallFont = CRegisterDelegat::cardFont(option.font, 9);
    const int firstHeight = QFontMetrics(bigFont).height();
    painter->setFont(bigFont);
    painter->setPen(QCT_GLOB_BLUE1_D2);
    painter->drawText(QRect(text.left(), text.top(), text.width(), firstHeight), Qt::AlignLeft | Qt::AlignTop,
                      cell(DB::DEV_COL_NAME).toString());

    const QRect second(text.left(), text.top() + firstHeight + 3, text.width(),
                       QFontMetrics(smallFont).height());
    painter->setFont(smallFont);
    painter->setPen(QC_GLOB_LILAC1_D2);
    painter->drawText(second, Qt::AlignLeft | Qt::AlignTop, cell(DB::DEV_COL_DEVEUI).toString());
    painter->drawText(second, Qt::AlignRight | Qt::AlignTop, info.devType);
    painter->restore();
}

QSize CDeviceDelegat::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    Q_UNUSED(option)
    Q_UNUSED(index)
    return QSize(100, 30);
}
