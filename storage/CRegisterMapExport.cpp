#include "storage/CRegisterMapExport.h"

#include <algorithm>

#include <QSaveFile>
#include <QSqlQuery>
#include <QVariant>

#include "app/RegisterFormat.h"
#include "app/global.h"
#include "storage/CDataBaseHandler.h"
#include "storage/CDeviceOptionsStore.h"
#include "storage/CRegisterImage.h"

namespace {
// Six-digit references reach every address from 0 to 65535.
const int HOLDING_BASE = 400001;
const int INPUT_BASE = 300001;

struct SLine
{
    int port = 0;
    qint64 address = 0;
    QStringList cells;
};

// Quoted when it holds a separator, a quote or a line break, quotes doubled.
QString cell(const QString& text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
           QLatin1Char('"');
}

QString typeName(const QString& dataType, bool asFloat)
{
    if (asFloat)
        return FMT::TYPE_FLOAT32;
    if (dataType == REGS::REGS_JSON_KEY_TYPE_INT)
        return QStringLiteral("int");
    if (dataType == REGS::REGS_JSON_KEY_TYPE_UINT)
        return QStringLiteral("uint");
    return dataType;
}

QString reference(int base, qint64 address)
{
    return address >= 0 && address <= 0xFFFF ? QString::number(base + address) : QString();
}

SLine registerLine(const QSqlQuery& device, const QSqlQuery& reg)
{
    const auto value = [&reg](int column) { return reg.value(column); };
    const QString dataType = value(DB::DATA_COL_DATATYPE).toString();
    const int bitSize = value(DB::DATA_COL_BITSIZE).toInt();
    FMT::SRegisterFormat format;
    format.asFloat = value(DB::FMT_COL_ASFLOAT).toInt() != 0 && FMT::canServeFloat(bitSize, dataType);
    FMT::parseWordOrder(value(DB::FMT_COL_WORDORDER).toString(), format.wordOrder);
    const bool numeric =
        dataType == REGS::REGS_JSON_KEY_TYPE_INT || dataType == REGS::REGS_JSON_KEY_TYPE_UINT;
    SLine line;
    line.port = device.value(DB::DEV_COL_PORT).toInt();
    line.address = value(DB::DATA_COL_REGADDR).toLongLong();
    line.cells = QStringList{
        QString::number(line.port),
        device.value(DB::DEV_COL_DEVEUI).toString(),
        device.value(DB::DEV_COL_NAME).toString(),
        value(DB::DATA_COL_NAME).toString(),
        QString::number(line.address),
        reference(HOLDING_BASE, line.address),
        reference(INPUT_BASE, line.address),
        QString::number(format.asFloat ? 2 : CRegisterImage::span(bitSize)),
        typeName(dataType, format.asFloat),
        FMT::hasWordOrder(bitSize, dataType) ? FMT::wordOrderName(format.wordOrder) : QString(),
        numeric ? QString::number(value(DB::DATA_COL_GRATINGPERIOD).toDouble(), 'g', 15) : QString(),
        numeric ? QString::number(value(DB::DATA_COL_STARTVALUE).toDouble(), 'g', 15) : QString(),
        numeric ? value(DB::DATA_COL_UNIT).toString() : QString()};
    return line;
}

// The registers of a status block, by offset from its first.
struct SStatusRegister
{
    int offset;
    const char* name;
    int width;
    const char* type;
    const char* unit;
};
const SStatusRegister STATUS_REGISTERS[] = {
    {0, "Status: seconds since last uplink", 2, "uint", "s"},
    {2, "Status: frame counter", 2, "uint", ""},
    {4, "Status: RSSI", 1, "int", "dBm"},
    {5, "Status: SNR", 1, "int", "0.1 dB"},
    {6, "Status: flags", 1, "uint", ""},
    {7, "Status: stale threshold", 1, "uint", "min"},
};

void appendStatusLines(QList<SLine>& lines, const QSqlQuery& device, const SDeviceOptions& options)
{
    if (options.statusAddress == SDeviceOptions::NO_STATUS_BLOCK)
        return;
    for (const SStatusRegister& reg : STATUS_REGISTERS) {
        SLine line;
        line.port = device.value(DB::DEV_COL_PORT).toInt();
        line.address = qint64(options.statusAddress) + reg.offset;
        line.cells = QStringList{QString::number(line.port),
                                 device.value(DB::DEV_COL_DEVEUI).toString(),
                                 device.value(DB::DEV_COL_NAME).toString(),
                                 QLatin1String(reg.name),
                                 QString::number(line.address),
                                 reference(HOLDING_BASE, line.address),
                                 reference(INPUT_BASE, line.address),
                                 QString::number(reg.width),
                                 QLatin1String(reg.type),
                                 reg.width > 1 ? FMT::wordOrderName(FMT::ORDER_ABCD) : QString(),
                                 QStringLiteral("1"),
                                 QStringLiteral("0"),
                                 QString::fromUtf8(reg.unit)};
        lines.append(line);
    }
}

QList<SLine> registerLines(CDataBaseHandler* storage)
{
    QHash<QString, SDeviceOptions> options;
    QHash<QString, qint64> lastStored;
    QString error;
    CDeviceOptionsStore::load(options, lastStored, error); // a file without options has no status blocks
    QList<SLine> lines;
    QSqlQuery devices = storage->getDevices(QString());
    while (devices.next()) {
        QSqlQuery registers = storage->getRegisters(devices.value(DB::DEV_COL_DEVICE).toUInt());
        while (registers.next())
            lines.append(registerLine(devices, registers));
        appendStatusLines(lines, devices,
                          options.value(COMM::euiKey(devices.value(DB::DEV_COL_DEVEUI).toString())));
    }
    std::stable_sort(lines.begin(), lines.end(), [](const SLine& a, const SLine& b) {
        return a.port != b.port ? a.port < b.port : a.address < b.address;
    });
    return lines;
}
} // namespace

const QStringList CRegisterMapExport::HEADER = {
    QStringLiteral("port"),       QStringLiteral("dev_eui"),    QStringLiteral("device"),
    QStringLiteral("register"),   QStringLiteral("address"),    QStringLiteral("holding_ref"),
    QStringLiteral("input_ref"),  QStringLiteral("width"),      QStringLiteral("type"),
    QStringLiteral("word_order"), QStringLiteral("multiplier"), QStringLiteral("offset"),
    QStringLiteral("unit")};

QString CRegisterMapExport::csv(CDataBaseHandler* storage, int* registers)
{
    QString text = HEADER.join(QLatin1Char(',')) + QLatin1Char('\n');
    const QList<SLine> lines = registerLines(storage);
    if (registers)
        *registers = lines.size();
    for (const SLine& line : lines) {
        QStringList cells;
        for (const QString& value : line.cells)
            cells << cell(value);
        text += cells.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}

bool CRegisterMapExport::write(const QString& path, const QString& csvText, QString& error)
{
    QSaveFile file(path);
    const QByteArray bytes = csvText.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}
