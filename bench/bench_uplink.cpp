// Uplinks per second through the whole path: "rx" text in, JSON parsed, the
// uplink record built, decoded with register parameters read from server.db,
// and the data set stored; compared with storing the same data sets alone.

#include <cstdio>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "app/CLogFile.h"
#include "app/global.h"
#include "bench/BenchRx.h"
#include "devices/CPacketDecoder.h"
#include "server/ApiMessages.h"
#include "storage/CDataBaseHandler.h"

namespace {
const int DEVICE_COUNT = 10;
const int UPLINK_COUNT = 3000;
const int ROUNDS = 3;
const unsigned short PORT = 15020;

// A metering device: counter, temperature, voltage, energy, plus four server values.
const char* TEMPLATE_JSON = R"({"app_eui": "70b3d5e75e000001", "dev_type": "Meter", "device_packets": [
  {"packet_type": 1, "packet_size": 17, "packet_fields": [
    {"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 32, "data_type": "uinteger", "endianness": "be",
     "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Counter"},
    {"packet_bias": 5, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer",
     "reg_map_bias": 2, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Temperature"},
    {"packet_bias": 7, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "uinteger",
     "reg_map_bias": 3, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Voltage"},
    {"packet_bias": 9, "data_bit_bias": 0, "data_bit_size": 64, "data_type": "uinteger", "endianness": "be",
     "reg_map_bias": 4, "reg_bit_bias": 0, "reg_bit_size": 64, "data_name": "Energy"}]}],
  "server_data": [
    {"data_code": "rssi", "reg_map_bias": 10, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "RSSI"},
    {"data_code": "snr", "reg_map_bias": 11, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "SNR"},
    {"data_code": "fcnt", "reg_map_bias": 13, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "FCnt"},
    {"data_code": "ts", "reg_map_bias": 15, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Time"}]})";

QString deviceEui(int i)
{
    return QStringLiteral("70b3d5e75e10%1").arg(i, 4, 16, QLatin1Char('0'));
}

// The register list the template implies, with some scaling set by the operator.
QList<REGS::SRegisterInfo> registerList(const REGS::SDeviceTemplate& t)
{
    QList<REGS::SRegisterInfo> list;
    for (const auto& d : t.serverData)
        list.append({d.dataName, 0, d.regMapBias, d.regBitSize, d.dataType, 0.0, 1.0, QString(), {}});
    for (const auto& f : t.devicePackets.first().packetFields)
        list.append({f.dataName,
                     1,
                     f.regMapBias,
                     f.regBitSize,
                     f.dataType,
                     f.regMapBias == 2 ? -40.0 : 0.0,
                     f.regMapBias == 2 ? 0.1 : 1.0,
                     QString(),
                     {}});
    return list;
}

QByteArray rxMessage(int n)
{
    const quint32 counter = quint32(n) * 7u;
    const unsigned int temperature = 650u + unsigned(n % 50); // tenths of a degree above -40, little-endian
    const QString payload = QStringLiteral("01%1%2%3%4")
                                .arg(counter, 8, 16, QLatin1Char('0'))
                                .arg((temperature & 0xffu) << 8 | temperature >> 8, 4, 16, QLatin1Char('0'))
                                .arg(quint16(0x30e2), 4, 16, QLatin1Char('0'))
                                .arg(quint64(n) * 1000003ull, 16, 16, QLatin1Char('0'));
    return benchRxMessage(deviceEui(n % DEVICE_COUNT).toUpper(), payload, n);
}

struct SBench
{
    CDataBaseHandler* db = nullptr;
    REGS::SDeviceTemplate deviceTemplate;
    QMap<QString, DB::SDeviceRegMapDescription> devices; // by upper-case EUI, as the registry keeps them
    QList<QByteArray> messages;
    QList<DB::SDbDeviceRegDataSet> sets;
    CPacketDecoder::ParamLookup lookup;
};

bool setUp(SBench& b)
{
    b.db = CDataBaseHandler::getInstance();
    b.deviceTemplate = REGS::SDeviceTemplate(QJsonDocument::fromJson(TEMPLATE_JSON).object());
    if (!b.db || !b.deviceTemplate.isValid)
        return false;
    for (int i = 0; i < DEVICE_COUNT; ++i) {
        DB::SDeviceRegMapDescription desc{deviceEui(i), b.deviceTemplate.appEui,
                                          QStringLiteral("Meter %1").arg(i), 100 * i,
                                          registerList(b.deviceTemplate)};
        if (!b.db->registerNewDevice(desc, PORT))
            return false;
        b.devices.insert(desc.devEui.toUpper(), desc);
    }
    for (int n = 0; n < UPLINK_COUNT; ++n)
        b.messages.append(rxMessage(n));
    CDataBaseHandler* db = b.db;
    b.lookup = [db](const QString& devEui, unsigned int regAddr) {
        return db->getRegisterParam(devEui, regAddr);
    };
    return true;
}

// One uplink from its text to storage; false when any step drops it.
bool fullPath(SBench& b, const QByteArray& message, DB::SDbDeviceRegDataSet& set)
{
    API::SApiDeviceData packet;
    if (!API::readRxMessage(QJsonDocument::fromJson(message).object(), packet))
        return false;
    const auto device = b.devices.constFind(packet.devEui);
    if (device == b.devices.constEnd() ||
        !CPacketDecoder::decode(packet, device.value(), b.deviceTemplate, b.lookup, set))
        return false;
    b.db->saveRegisterData(set);
    return true;
}

double runFullPath(SBench& b, bool keepSets)
{
    QElapsedTimer timer;
    timer.start();
    for (const QByteArray& message : b.messages) {
        DB::SDbDeviceRegDataSet set;
        if (!fullPath(b, message, set))
            return -1.0;
        if (keepSets)
            b.sets.append(set);
    }
    return b.messages.size() * 1e9 / double(timer.nsecsElapsed());
}

// Faults of the storage or the decoding would make the figures meaningless.
int loggedFaults()
{
    QCoreApplication::processEvents();
    QFile log(COMM::LOG_FILENAME);
    if (!log.open(QIODevice::ReadOnly))
        return -1;
    const QString text = QString::fromUtf8(log.readAll());
    return text.count(QStringLiteral("ERROR")) + text.count(QStringLiteral("WARNING"));
}

double runStorageOnly(SBench& b)
{
    QElapsedTimer timer;
    timer.start();
    for (const DB::SDbDeviceRegDataSet& set : b.sets)
        b.db->saveRegisterData(set);
    return b.sets.size() * 1e9 / double(timer.nsecsElapsed());
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    CLogFile::getInstance(COMM::LOG_FILENAME, QStringLiteral("bench_uplink"));

    SBench b;
    if (!setUp(b)) {
        std::fprintf(stderr, "bench_uplink: set-up failed\n");
        return 1;
    }
    // A first pass warms the caches and collects the data sets for the storage-only runs.
    if (runFullPath(b, true) < 0.0) {
        std::fprintf(stderr, "bench_uplink: an uplink was dropped\n");
        return 1;
    }
    double bestFull = 0.0, bestStorage = 0.0;
    for (int round = 0; round < ROUNDS; ++round) {
        bestFull = qMax(bestFull, runFullPath(b, false));
        bestStorage = qMax(bestStorage, runStorageOnly(b));
    }
    std::printf("uplinks: %d per round, %d devices, %d registers per uplink, best of %d rounds\n",
                int(b.messages.size()), DEVICE_COUNT, int(b.sets.first().rewriteList.size()), ROUNDS);
    std::printf("full path (rx text -> parse -> decode with stored parameters -> store): %.0f uplinks/s\n",
                bestFull);
    std::printf("storage alone (same data sets): %.0f uplinks/s\n", bestStorage);
    std::printf("ratio full/storage: %.2f (target >= 0.50)\n", bestFull / bestStorage);
    std::printf("warnings and errors in the log: %d\n", loggedFaults());
    return 0;
}
