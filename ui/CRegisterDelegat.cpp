#include "ui/CRegisterDelegat.h"

#include <QDateTime>
#include <QDebug>
#include <QPainter>

#include "app/CLogFile.h"
#include "app/global.h"
#include "widgets/color.h"

namespace {
const QString NeverReceiving = QStringLiteral("NEVER RECEIVING");

QString withUnit(const QString& number, const QString& unit)
{
    return unit.isEmpty() ? number : number + QStringLiteral(" [%1]").arg(unit);
}
} // namespace

CRegisterDelegat::CRegisterDelegat() : QStyledItemDelegate() {}

QString CRegisterDelegat::integerText(const QString& image, int bitSize)
{
    // Most significant byte first; bytes missing from a short image count as 0.
    const QByteArray bytes = QByteArray::fromHex(image.toLatin1());
    const int size = bitSize <= 16 ? 2 : (bitSize == 32 ? 4 : 8);
    quint64 raw = 0;
    for (int i = 0; i < size; ++i)
        raw = (raw << 8) | (i < bytes.size() ? quint8(bytes.at(i)) : 0u);
    if (size == 2)
        return QString::number(qint16(quint16(raw)));
    if (size == 4)
        return QString::number(qint32(quint32(raw)));
    return QString::number(qint64(raw));
}

QString CRegisterDelegat::valueText(const QString& dataType, const QVariant& fullValue, int bitSize,
                                    const QString& unit, const FMT::SRegisterFormat& format)
{
    if (dataType == REGS::REGS_JSON_KEY_TYPE_BOOL) {
        addLog(QStringLiteral("[CRegisterDelegat::paint] Unsupporting dataType: BOOLEAN"));
        return NeverReceiving;
    }
    const bool known = dataType == REGS::REGS_JSON_KEY_TYPE_TEXT ||
                       dataType == REGS::REGS_JSON_KEY_TYPE_INT || dataType == REGS::REGS_JSON_KEY_TYPE_UINT;
    if (!known) {
        addLog(QStringLiteral("[CRegisterDelegat::paint] Unknown data type!"));
        return NeverReceiving;
    }
    if (fullValue.isNull())
        return NeverReceiving;
    const QString stored = fullValue.toString();
    if (dataType == REGS::REGS_JSON_KEY_TYPE_TEXT)
        return stored.left(stored.indexOf(QChar(0)));
    // A float takes the first two registers, an integer all of its own.
    if (format.asFloat && FMT::canServeFloat(bitSize, dataType))
        return withUnit(
            QString::number(double(FMT::floatFromDigits(FMT::ordered(stored.left(8), format.wordOrder))), 'g',
                            7),
            unit);
    const QString image =
        FMT::hasWordOrder(bitSize, dataType) ? FMT::ordered(stored, format.wordOrder) : stored;
    if (dataType == REGS::REGS_JSON_KEY_TYPE_INT)
        return withUnit(integerText(image, bitSize), unit);
    bool ok = false;
    const qulonglong number = image.toULongLong(&ok, 16);
    return withUnit(QString::number(ok ? number : 0), unit);
}

FMT::SRegisterFormat CRegisterDelegat::rowFormat(const QModelIndex& index)
{
    FMT::SRegisterFormat format;
    if (!index.model() || index.model()->columnCount(index.parent()) < DB::FMT_COL_END)
        return format;
    format.asFloat = index.sibling(index.row(), DB::FMT_COL_ASFLOAT).data().toInt() != 0;
    FMT::parseWordOrder(index.sibling(index.row(), DB::FMT_COL_WORDORDER).data().toString(),
                        format.wordOrder);
    return format;
}

QString CRegisterDelegat::rangeText(int addr, int bitSize)
{
    if (bitSize <= 16)
        return QStringLiteral("ModBUS register[%1]").arg(addr);
    return QStringLiteral("ModBUS register[%1..%2]")
        .arg(QString::number(addr), QString::number(addr + (bitSize + 15) / 16 - 1));
}

QString CRegisterDelegat::timeText(quint64 msecs)
{
    if (msecs == 0)
        return NeverReceiving;
    return QDateTime::fromMSecsSinceEpoch(qint64(msecs)).toString(DB::DATE_TIME_FORMSTR_SEC);
}

QColor CRegisterDelegat::backgroundColor(int row, QStyle::State state)
{
    if (state & (QStyle::State_Selected | QStyle::State_MouseOver))
        return QC_GLOB_BLACK6C_45;
    return row % 2 == 0 ? QC_GLOB_BLACK6C_10 : QC_GLOB_BLACK6C_25;
}

QFont CRegisterDelegat::cardFont(const QFont& base, int pixelSize)
{
    QFont font = base;
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Bold);
    return font;
}

void CRegisterDelegat::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const
{
    const QAbstractItemModel* model = index.model();
    if (model == nullptr || model->columnCount(index.parent()) < DB::DATA_COL_COUNT) {
        qDebug() << "[CRegisterDelegat::paint] ERROR: invalid input data size!";
        return;
    }
    const auto cell = [&](int column) { return index.sibling(index.row(), column).data(Qt::DisplayRole); };
    const int bitSize = cell(DB::DATA_COL_BITSIZE).toInt();

    painter->save();
    painter->setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(backgroundColor(index.row(), option.state));
    painter->drawRoundedRect(option.rect, 4, 4);

    const QRect text = option.rect.adjusted(2, 2, -2, 0);
    const QFont bigFont = cardFont(option.font, 12);
    const QFont smallFont = cardFont(option.font, 9);
    const int firstHeight = QFontMetrics(bigFont).height();
    const QRect first(text.left(), text.top(), text.width(), firstHeight);
    painter->setFont(bigFont);
    painter->setPen(QCT_GLOB_BLUE1_D2);
    painter->drawText(first, Qt::AlignLeft | Qt::AlignTop,
                      QStringLiteral("%1").arg(cell(DB::DATA_COL_NAME).toString()));
    painter->drawText(first, Qt::AlignRight | Qt::AlignTop,
                      rangeText(cell(DB::DATA_COL_REGADDR).toInt(), bitSize));

    const int secondTop = first.bottom() + 1 + 3;
    painter->setFont(smallFont);
    painter->setPen(QC_GLOB_LILAC1_D2);
    painter->drawText(QRect(text.left(), secondTop, text.width(), QFontMetrics(smallFont).height()),
                      Qt::AlignLeft | Qt::AlignTop, timeText(cell(DB::DATA_COL_TIME).toULongLong()));
    painter->setFont(bigFont);
    painter->setPen(QC_GLOB_GREEN2_D1);
    painter->drawText(QRect(text.left(), secondTop, text.width(), 15), Qt::AlignRight | Qt::AlignVCenter,
                      valueText(cell(DB::DATA_COL_DATATYPE).toString(), cell(DB::DATA_COL_FULLVALUE), bitSize,
                                cell(DB::DATA_COL_UNIT).toString(), rowFormat(index)));
    painter->restore();
}

QSize CRegisterDelegat::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    Q_UNUSED(option)
    Q_UNUSED(index)
    return QSize(100, 40);
}
