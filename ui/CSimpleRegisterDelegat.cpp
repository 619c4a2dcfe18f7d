#include "ui/CSimpleRegisterDelegat.h"

#include <QDebug>
#include <QPainter>

#include "app/global.h"
#include "ui/CRegisterDelegat.h"
#include "ui/CSimpleRegisterEditWidget.h"
#include "widgets/color.h"

namespace {
QVariant cell(const QModelIndex& index, int column)
{
    return index.sibling(index.row(), column).data(Qt::DisplayRole);
}

// The card of every register; one that offers a format has a line more.
const int CARD_HEIGHT = 65;
const int FORMAT_HEIGHT = 24;

QString fixedPoint(const QVariant& value)
{
    return QStringLiteral("%1").arg(value.toDouble(), 0, 'f', 6);
}
} // namespace

CSimpleRegisterDelegat::CSimpleRegisterDelegat(QObject* parent) : QStyledItemDelegate(parent) {}

bool CSimpleRegisterDelegat::isScalable(const QString& dataType)
{
    return dataType == REGS::REGS_JSON_KEY_TYPE_INT || dataType == REGS::REGS_JSON_KEY_TYPE_UINT;
}

void CSimpleRegisterDelegat::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const
{
    const QAbstractItemModel* model = index.model();
    if (model == nullptr || model->columnCount(index.parent()) < DB::DATA_COL_COUNT) {
        qDebug() << "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!";
        return;
    }
    painter->save();
    painter->setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(CRegisterDelegat::backgroundColor(index.row(), option.state));
    painter->drawRoundedRect(option.rect, 4, 4);
    QRect area = option.rect.adjusted(2, 2, -2, -2);
    if (offersFormat(index)) {
        // The format line goes below the card's usual height.
        paintFormat(painter, area.adjusted(0, CARD_HEIGHT - 2, 0, 0), index, option.font);
        area.setHeight(CARD_HEIGHT - 4);
    }
    paintHeader(painter, area, index, option.font);
    paintParameters(painter, area, index, option.font);
    painter->restore();
}

// Name, register map bias and the source badge, then the separator line.
void CSimpleRegisterDelegat::paintHeader(QPainter* painter, const QRect& area, const QModelIndex& index,
                                         const QFont& base) const
{
    const QFont bigFont = CRegisterDelegat::cardFont(base, 12);
    const QFont smallFont = CRegisterDelegat::cardFont(base, 9);
    const int lineHeight = QFontMetrics(bigFont).height();
    const QRect line(area.left(), area.top(), area.width(), lineHeight);

    const QRect badge(area.right() - 49, area.top() + (lineHeight - 13) / 2, 50, 13);
    painter->setPen(Qt::NoPen);
    painter->setBrush(QC_GLOB_GREEN1_D2);
    painter->drawRoundedRect(badge, 4, 4);
    painter->setFont(smallFont);
    painter->setPen(QC_GLOB_WHITE1);
    const bool fromDevice = cell(index, DB::DATA_COL_SOURCE).toInt() != 0;
    painter->drawText(badge, Qt::AlignCenter,
                      fromDevice ? QStringLiteral("DEVICE") : QStringLiteral("SERVER"));

    const QString bias = QString::number(cell(index, DB::DATA_COL_REGADDR).toInt());
    const int biasRight = badge.left() - 5;
    const int biasWidth = QFontMetrics(bigFont).horizontalAdvance(bias);
    painter->setPen(QC_GLOB_LILAC1_D2);
    painter->drawText(QRect(area.left(), line.top(), biasRight - biasWidth - area.left(), lineHeight),
                      Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Register map bias: "));
    painter->setFont(bigFont);
    painter->setPen(QCT_GLOB_BLUE1_D2);
    painter->drawText(QRect(biasRight - biasWidth, line.top(), biasWidth, lineHeight),
                      Qt::AlignRight | Qt::AlignVCenter, bias);
    painter->drawText(line, Qt::AlignLeft | Qt::AlignVCenter, cell(index, DB::DATA_COL_NAME).toString());

    painter->setPen(QC_GLOB_GREEN2_D1);
    painter->drawLine(area.left(), line.bottom() + 2, area.right(), line.bottom() + 2);
}

// Left half: the three scaling parameters; right half: the formula.
void CSimpleRegisterDelegat::paintParameters(QPainter* painter, const QRect& area, const QModelIndex& index,
                                             const QFont& base) const
{
    const QFont bigFont = CRegisterDelegat::cardFont(base, 12);
    const QFont smallFont = CRegisterDelegat::cardFont(base, 9);
    const int top = area.top() + QFontMetrics(bigFont).height() + 4;
    const QRect body(area.left(), top, area.width(), area.bottom() + 1 - top);
    const int rowHeight = body.height() / 3;
    const bool scalable = isScalable(cell(index, DB::DATA_COL_DATATYPE).toString());
    const QString unsupported = QStringLiteral("UNSUPPORT");
    const QStringList captions = {QStringLiteral("ExtraValue: "), QStringLiteral("Multiplier: "),
                                  QStringLiteral("Units: ")};
    const QStringList values = {scalable ? fixedPoint(cell(index, DB::DATA_COL_STARTVALUE)) : unsupported,
                                scalable ? fixedPoint(cell(index, DB::DATA_COL_GRATINGPERIOD)) : unsupported,
                                scalable ? cell(index, DB::DATA_COL_UNIT).toString() : unsupported};
    const int captionWidth = QFontMetrics(smallFont).horizontalAdvance(captions.at(0));
    for (int i = 0; i < captions.size(); ++i) {
        const QRect row(body.left(), body.top() + i * rowHeight, body.width() / 2, rowHeight);
        painter->setFont(smallFont);
        painter->setPen(QC_GLOB_LILAC1_D2);
        painter->drawText(row, Qt::AlignLeft | Qt::AlignVCenter, captions.at(i));
        painter->setFont(bigFont);
        painter->setPen(QCT_GLOB_BLUE1_D2);
        painter->drawText(row.adjusted(captionWidth, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                          values.at(i));
    }
    const QRect right(body.left() + body.width() / 2, body.top(), body.width() - body.width() / 2,
                      body.height());
    painter->setFont(smallFont);
    painter->setPen(QC_GLOB_LILAC1_D2);
    painter->drawText(right, Qt::AlignCenter,
                      scalable ? QStringLiteral("Value =\nRAW * Multiplier + ExtraValue")
                               : QStringLiteral("Parameter is\nTEXT value!"));
}

QSize CSimpleRegisterDelegat::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    Q_UNUSED(option)
    return QSize(200, offersFormat(index) ? CARD_HEIGHT + FORMAT_HEIGHT : CARD_HEIGHT);
}

bool CSimpleRegisterDelegat::offersFormat(const QModelIndex& index)
{
    return FMT::canServeFloat(cell(index, DB::DATA_COL_BITSIZE).toInt(),
                              cell(index, DB::DATA_COL_DATATYPE).toString());
}

void CSimpleRegisterDelegat::paintFormat(QPainter* painter, const QRect& area, const QModelIndex& index,
                                         const QFont& base) const
{
    const FMT::SRegisterFormat format = CRegisterDelegat::rowFormat(index);
    painter->setFont(CRegisterDelegat::cardFont(base, 9));
    painter->setPen(QC_GLOB_LILAC1_D2);
    painter->drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                      QStringLiteral("Served as: %1, word order %2")
                          .arg(format.asFloat ? FMT::TYPE_FLOAT32 : QStringLiteral("integer"),
                               FMT::wordOrderName(format.wordOrder)));
    painter->drawText(area, Qt::AlignRight | Qt::AlignVCenter, FMT::workedExample(format));
}

QWidget* CSimpleRegisterDelegat::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                              const QModelIndex& index) const
{
    Q_UNUSED(option)
    if (!isScalable(cell(index, DB::DATA_COL_DATATYPE).toString()))
        return nullptr;
    return new CSimpleRegisterEditWidget(parent);
}

void CSimpleRegisterDelegat::setEditorData(QWidget* editor, const QModelIndex& index) const
{
    auto* edit = qobject_cast<CSimpleRegisterEditWidget*>(editor);
    if (edit == nullptr)
        return;
    edit->setData(cell(index, DB::DATA_COL_NAME).toString(), cell(index, DB::DATA_COL_STARTVALUE).toDouble(),
                  cell(index, DB::DATA_COL_GRATINGPERIOD).toDouble(),
                  cell(index, DB::DATA_COL_UNIT).toString());
    edit->setFormat(offersFormat(index), CRegisterDelegat::rowFormat(index));
}

void CSimpleRegisterDelegat::setModelData(QWidget* editor, QAbstractItemModel* model,
                                          const QModelIndex& index) const
{
    auto* edit = qobject_cast<CSimpleRegisterEditWidget*>(editor);
    if (edit == nullptr || model == nullptr)
        return;
    // A multiplier of 0 would wipe out every value: store it as 1.
    double multiplier = edit->getMultiplier();
    if (multiplier == 0.0)
        multiplier = 1.0;
    const int row = index.row();
    model->setData(model->index(row, DB::DATA_COL_STARTVALUE, index.parent()), edit->getExtraValue(),
                   Qt::EditRole);
    model->setData(model->index(row, DB::DATA_COL_GRATINGPERIOD, index.parent()), multiplier, Qt::EditRole);
    model->setData(model->index(row, DB::DATA_COL_UNIT, index.parent()), edit->getUnits(), Qt::EditRole);
    if (!offersFormat(index) || model->columnCount(index.parent()) < DB::FMT_COL_END)
        return;
    const FMT::SRegisterFormat format = edit->getFormat();
    model->setData(model->index(row, DB::FMT_COL_ASFLOAT, index.parent()), format.asFloat ? 1 : 0,
                   Qt::EditRole);
    model->setData(model->index(row, DB::FMT_COL_WORDORDER, index.parent()),
                   FMT::wordOrderName(format.wordOrder), Qt::EditRole);
}

void CSimpleRegisterDelegat::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                                  const QModelIndex& index) const
{
    Q_UNUSED(index)
    editor->setGeometry(option.rect);
}
