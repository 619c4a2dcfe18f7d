// Loads arbitrary bytes as the one template file of the template folder,
// through the registry's own loading, and puts every accepted template to use
// the way adding a device does: its summary and register list, a device
// registered in storage with that list, a payload of each packet layout
// decoded and saved, and the device's registers read back as a Modbus read
// reads them, from the in-memory image and from SQL alike.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "app/global.h"
#include "devices/CAllDeviceHandler.h"
#include "devices/CPacketDecoder.h"
#include "storage/CDataBaseHandler.h"
#include "storage/CRegisterImage.h"

namespace {
// Payloads longer than this are not built: decoding rejects any other size
// before it reads a field, so a shorter one of the same type shows as much.
constexpr int MAX_PAYLOAD = 4096;
constexpr unsigned short PORT = 1502;
const QString DEV_EUI = QStringLiteral("70B3D5E75E00F022");

void silentHandler(QtMsgType, const QMessageLogContext&, const QString&) {}

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

QString templatePath()
{
    static const QString path = []() -> QString {
        qInstallMessageHandler(silentHandler);
        // The registry and storage use the working directory; memory-backed
        // where there is one, as the database writes on every input.
        static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                     ? QStringLiteral("/dev/shm/tarnwick-fuzz-XXXXXX")
                                     : QDir::tempPath() + QStringLiteral("/tarnwick-fuzz-XXXXXX"));
        check(dir.isValid());
        QDir::setCurrent(dir.path());
        check(QDir().mkpath(COMM::DEVICE_FOLDER));
        return dir.path() + QStringLiteral("/") + COMM::DEVICE_FOLDER + QStringLiteral("/fuzz.json");
    }();
    return path;
}

int fieldCount(const REGS::SDeviceTemplate& t)
{
    int n = 0;
    for (const REGS::SDevicePacket& packet : t.devicePackets)
        n += packet.packetFields.size();
    return n;
}

void checkRecords(const REGS::SDeviceTemplate& t)
{
    check(t.isValid && !t.devicePackets.isEmpty() && t.appEui == t.appEui.toUpper() && t.color.isValid());
    for (auto it = t.devicePackets.constBegin(); it != t.devicePackets.constEnd(); ++it) {
        check(it->isValid && !it->packetFields.isEmpty() &&
              it.key() == static_cast<unsigned int>(it->packetType));
        for (const REGS::SDevicePacketField& field : it->packetFields)
            check(field.isValid && (field.endianness == 0 || field.endianness == 1));
    }
    for (auto it = t.serverData.constBegin(); it != t.serverData.constEnd(); ++it) {
        const auto known = REGS::RegsServerDataTemplates.constFind(it.key());
        check(it->isValid && it->dataCode == it.key() && known != REGS::RegsServerDataTemplates.constEnd());
        check(it->bitSize == known->bitSize && it->dataType == known->dataType);
    }
}

// A payload of the layout's size and type, its other bytes taken from the file.
QByteArray payloadFor(const REGS::SDevicePacket& packet, const QByteArray& fill)
{
    QByteArray payload(packet.packetSize, '\0');
    payload[0] = static_cast<char>(packet.packetType);
    for (int i = 1; i < payload.size() && !fill.isEmpty(); ++i)
        payload[i] = fill.at(i % fill.size());
    return payload;
}

QList<DB::SDbDeviceRegDataSet> decodeEveryLayout(const REGS::SDeviceTemplate& t,
                                                 const DB::SDeviceRegMapDescription& registration,
                                                 const QByteArray& fill)
{
    QList<DB::SDbDeviceRegDataSet> decoded;
    API::SApiDeviceData uplink;
    uplink.devEui = DEV_EUI;
    uplink.gatewayId = QStringLiteral("7276FF0039030000");
    uplink.rssi = -97;
    uplink.snr = 7.25;
    uplink.fcnt = 4711;
    uplink.ts = 1700000000000ull;
    uplink.isValid = true;
    // A scaled register next to unscaled ones, so both number paths run.
    const auto lookup = [](const QString&, unsigned int regAddr) {
        DB::SDbRegParamInfo param;
        param.regAddr = regAddr;
        if (regAddr % 3 == 0) {
            param.gratingPeriod = 0.1;
            param.startValue = -40.0;
        }
        return param;
    };
    for (const REGS::SDevicePacket& packet : t.devicePackets) {
        if (packet.packetSize < 1 || packet.packetSize > MAX_PAYLOAD)
            continue;
        uplink.data = payloadFor(packet, fill);
        DB::SDbDeviceRegDataSet out;
        if (!CPacketDecoder::decode(uplink, registration, t, lookup, out))
            continue;
        check(out.devEui == uplink.devEui && out.startAddr == registration.startAddr);
        for (const DB::SDbDeviceRegDataRewrite& word : out.rewriteList)
            check(!word.value.isEmpty() && word.value.size() <= 4);
        decoded.append(out);
    }
    return decoded;
}

unsigned int registeredId()
{
    QSqlQuery devices = CDataBaseHandler::getInstance()->getDevices(QString());
    unsigned int id = 0;
    int count = 0;
    while (devices.next()) {
        id = devices.value(DB::DEV_COL_DEVICE).toUInt();
        ++count;
    }
    check(count == 1 && id != 0);
    return id;
}

// Every register of the device, read in blocks the size a client may ask for,
// must read the same from the image as from SQL.
void readBack(const DB::SDeviceRegMapDescription& registration)
{
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    for (const REGS::SRegisterInfo& reg : registration.registers) {
        const int first = static_cast<unsigned short>(registration.startAddr + qint64(reg.regMapBias));
        const int count = 8;
        storage->setRegisterImagesEnabled(true);
        const QMap<unsigned short, unsigned short> image = storage->getRegisterData(PORT, first, count);
        storage->setRegisterImagesEnabled(false);
        const QMap<unsigned short, unsigned short> rows = storage->getRegisterData(PORT, first, count);
        check(image == rows && rows.size() == count);
    }
    storage->setRegisterImagesEnabled(true);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char*>(data), int(size));
    {
        QFile file(templatePath());
        check(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        check(file.write(content) == content.size());
    }
    CAllDeviceHandler::resetInstance();
    const CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
    const QList<REGS::SDeviceTemplateInfo> loaded = registry->getTemplateInfo();
    check(loaded.size() <= 1);
    if (loaded.isEmpty())
        return 0;
    // The registry keeps what the records read; read them again to look inside.
    const REGS::SDeviceTemplate t(QJsonDocument::fromJson(content).object());
    checkRecords(t);
    const REGS::SDeviceTemplateInfo info = registry->getTemplateInfo(t.appEui);
    check(info.appEui == t.appEui && loaded.first().appEui == t.appEui && info.devType == t.devType &&
          info.color == t.color);
    check(registry->hasTemplate(t.appEui.toLower()));

    const REGS::SDeviceRegisterInfo regs = registry->getRegisterInfo(t.appEui);
    check(regs.appEui == t.appEui && regs.registers.size() == t.serverData.size() + fieldCount(t));
    for (const REGS::SRegisterInfo& reg : regs.registers) {
        check(reg.source == 0 || reg.source == 1);
        // Storage lays every register out over this many words.
        const int span = CRegisterImage::span(reg.regBitSize);
        check(span >= 1 && span <= (INT_MAX - 1) / 16 + 1);
    }

    // Any start address the add-device dialog accepts, picked by the input.
    DB::SDeviceRegMapDescription registration{DEV_EUI, t.appEui, QStringLiteral("fuzz"),
                                              int(qChecksum(content.constData(), uint(content.size()))),
                                              regs.registers};
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    check(storage->registerNewDevice(registration, PORT));
    const unsigned int id = registeredId();
    for (const DB::SDbDeviceRegDataSet& values : decodeEveryLayout(t, registration, content))
        storage->saveRegisterData(values);
    readBack(registration);
    check(storage->deleteDevice(id));
    return 0;
}
