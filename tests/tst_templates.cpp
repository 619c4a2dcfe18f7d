#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "WorkDir.h"
#include "devices/CAllDeviceHandler.h"

namespace {
// The minimal counter template: one big-endian 32-bit field and the RSSI.
const char* COUNTER_TEMPLATE = R"({
  "app_eui": "a1b2c3d4e5f60718", "dev_type": "Counter", "color": "#2a7ab0",
  "device_packets": [ { "packet_type": 1, "packet_size": 5, "packet_fields": [
      { "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 32, "data_type": "uinteger", "endianness": "be",
        "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Counter value" } ] } ],
  "server_data": [ { "data_code": "rssi", "reg_map_bias": 10, "reg_bit_bias": 0, "reg_bit_size": 16,
                     "data_name": "RSSI" } ] })";

QJsonObject parse(const QByteArray& text)
{
    return QJsonDocument::fromJson(text).object();
}

QJsonObject goodField()
{
    return parse(R"({ "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer",
                      "reg_map_bias": 3, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "T" })");
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

// A template with one value swapped: "key":old -> "key":new.
QByteArray counterWith(const char* from, const char* to)
{
    return QByteArray(COUNTER_TEMPLATE).replace(from, to);
}
} // namespace

class TestTemplates : public QObject
{
    Q_OBJECT
    std::unique_ptr<CWorkDir> work;

private slots:
    void init()
    {
        work.reset(new CWorkDir);
        QVERIFY(work->isValid());
    }
    void cleanup()
    {
        CAllDeviceHandler::resetInstance();
        work.reset();
    }

    void fieldRules_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("endianness");

        QTest::newRow("endianness absent is little-endian") << "" << QJsonValue() << true << 0;
        QTest::newRow("endianness BE in capitals is big-endian")
            << "endianness" << QJsonValue("BE") << true << 1;
        QTest::newRow("endianness as the number 1 is rejected")
            << "endianness" << QJsonValue(1) << false << 0;
        QTest::newRow("a required key null is rejected")
            << "data_name" << QJsonValue(QJsonValue::Null) << false << 0;
        QTest::newRow("a required key missing is rejected") << "-reg_bit_size" << QJsonValue() << false << 0;
    }

    void fieldRules()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(bool, valid);
        QFETCH(int, endianness);

        QJsonObject obj = goodField();
        if (key.startsWith(QLatin1Char('-')))
            obj.remove(key.mid(1));
        else if (!key.isEmpty())
            obj.insert(key, value);
        const REGS::SDevicePacketField field(obj);
        QCOMPARE(field.isValid, valid);
        QCOMPARE(field.endianness, endianness);
    }

    void packetRules_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("fieldCount");
        QTest::addColumn<int>("packetSize");

        const QByteArray f = QJsonDocument(goodField()).toJson(QJsonDocument::Compact);
        QTest::newRow("one good field")
            << "{\"packet_type\":2,\"packet_size\":3,\"packet_fields\":[" + f + "]}" << true << 1 << 3;
        QTest::newRow("packet_size absent gives 0")
            << "{\"packet_type\":2,\"packet_fields\":[" + f + "]}" << true << 1 << 0;
        QTest::newRow("a bad field is dropped, the packet kept")
            << "{\"packet_type\":2,\"packet_fields\":[" + f + ",{\"packet_bias\":1},7]}" << true << 1 << 0;
        QTest::newRow("all fields invalid drops the packet")
            << QByteArray("{\"packet_type\":2,\"packet_fields\":[{\"packet_bias\":1}]}") << false << 0 << 0;
        QTest::newRow("packet_type missing") << "{\"packet_fields\":[" + f + "]}" << false << 0 << 0;
    }

    void packetRules()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, valid);
        QFETCH(int, fieldCount);
        QFETCH(int, packetSize);

        const REGS::SDevicePacket packet(parse(json));
        QCOMPARE(packet.isValid, valid);
        if (valid) {
            QCOMPARE(packet.packetFields.size(), fieldCount);
            QCOMPARE(packet.packetSize, packetSize);
        }
    }

    void unknownServerCodeIsLogged()
    {
        const REGS::SServerData upper(parse(
            R"({"data_code":"RSSI","reg_map_bias":1,"reg_bit_bias":0,"reg_bit_size":16,"data_name":"r"})"));
        QVERIFY(!upper.isValid);
        QVERIFY(CWorkDir::log().endsWith(
            QStringLiteral("]ERROR: [SServerData] Server keyword [RSSI] is unknown!")));

        const REGS::SServerData fcnt(parse(
            R"({"data_code":"fcnt","reg_map_bias":4,"reg_bit_bias":0,"reg_bit_size":16,"data_name":"f"})"));
        QVERIFY(fcnt.isValid);
        QCOMPARE(fcnt.bitSize, 32);
        QCOMPARE(fcnt.dataType, QStringLiteral("uinteger"));
        QCOMPARE(fcnt.regMapBias, 4);
    }

    void templateRules()
    {
        QJsonObject obj = parse(COUNTER_TEMPLATE);
        QJsonArray packets = obj.value(QStringLiteral("device_packets")).toArray();
        QJsonObject second = packets.at(0).toObject();
        second.insert(QStringLiteral("packet_size"), 9);
        packets.append(second); // the same type again: the later one is used
        obj.insert(QStringLiteral("device_packets"), packets);
        obj.insert(QStringLiteral("color"), QStringLiteral("nonsense"));

        QTest::ignoreMessage(QtDebugMsg, "[SDeviceTemplate] Invalid color name [nonsense]");
        const REGS::SDeviceTemplate t(obj);
        QVERIFY(t.isValid);
        QCOMPARE(t.appEui, QStringLiteral("A1B2C3D4E5F60718"));
        QCOMPARE(t.color, QColor(QStringLiteral("#94999D")));
        QCOMPARE(t.devicePackets.size(), 1);
        QCOMPARE(t.devicePackets.value(1).packetSize, 9);
        QCOMPARE(t.serverData.value(QStringLiteral("rssi")).regMapBias, 10);

        QTest::ignoreMessage(QtDebugMsg, "[SDeviceTemplate] Device packets array is empty");
        obj.insert(QStringLiteral("device_packets"), QJsonArray());
        QVERIFY(!REGS::SDeviceTemplate(obj).isValid);
    }

    void loadsFolderAndLogs()
    {
        QDir().mkdir(COMM::DEVICE_FOLDER);
        writeFile(QStringLiteral("deviceFolder/a.json"), COUNTER_TEMPLATE);
        QByteArray upper = COUNTER_TEMPLATE;
        upper.replace("a1b2c3d4e5f60718", "A1B2C3D4E5F60718").replace("Counter\"", "Other\"");
        writeFile(QStringLiteral("deviceFolder/b.JSON"), upper);
        writeFile(QStringLiteral("deviceFolder/notes.txt"), "not a template");

        CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
        const QString log = CWorkDir::log();
        QVERIFY(log.contains(QStringLiteral("]Device [A1B2C3D4E5F60718] inited SUCCESSULLY")));
        QVERIFY(log.contains(QStringLiteral("]Device [A1B2C3D4E5F60718] already inited. Skip")));

        const REGS::SDeviceTemplateInfo info = registry->getTemplateInfo(QStringLiteral("A1B2C3D4E5F60718"));
        QCOMPARE(info.devType, QStringLiteral("Counter"));
        QCOMPARE(info.color, QColor(QStringLiteral("#2a7ab0")));
        QVERIFY(registry->getTemplateInfo(QStringLiteral("FFFF")).devType.isNull());
        QCOMPARE(registry->getTemplateInfo().size(), 1);

        // A second init adds only keys that are new.
        QByteArray third = COUNTER_TEMPLATE;
        writeFile(QStringLiteral("deviceFolder/c.json"),
                  third.replace("a1b2c3d4e5f60718", "00000000000000c3"));
        registry->init();
        const QList<REGS::SDeviceTemplateInfo> all = registry->getTemplateInfo();
        QCOMPARE(all.size(), 2);
        QCOMPARE(all.at(0).appEui, QStringLiteral("00000000000000C3"));
    }

    void loadReports_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content"); // "->target" makes a symbolic link
        QTest::addColumn<QStringList>("logLines");
        QTest::addColumn<bool>("loaded");

        const QString undecodable =
            QStringLiteral("WARNING: [CAllDeviceHandler::loadTemplateFile] Template [x.json], "
                           "packet [%1], field [%2]: %3, never decoded");
        QTest::newRow("truncated JSON names the path as written, even with a %1 in it, the error and offset")
            << "bad%1.json" << QByteArray("{\"app_eui\": \"01\",")
            << QStringList{"ERROR: [CAllDeviceHandler] Invalid parsing JSON file "
                           "[%1/deviceFolder/bad%1.json]: "
                           "error[unterminated object], row[17]"}
            << false;
        QTest::newRow("a top-level array is no template")
            << "x.json" << QByteArray("[1, 2]") << QStringList() << false;
        QTest::newRow("a link to an endless device is refused unread")
            << "x.json" << QByteArray("->/dev/zero")
            << QStringList{"ERROR: [CAllDeviceHandler::loadTemplateFile] Template file "
                           "[%1/deviceFolder/x.json] "
                           "is "
                           "larger than 1048576 bytes, not loaded"}
            << false;
        QTest::newRow("a file one byte over 1 MiB is refused")
            << "x.json"
            << QByteArray(COUNTER_TEMPLATE).append(1024 * 1024 + 1 - qstrlen(COUNTER_TEMPLATE), ' ')
            << QStringList{"Template file [%1/deviceFolder/x.json] is larger than 1048576 bytes"} << false;
        QTest::newRow("a file of exactly 1 MiB loads")
            << "x.json" << QByteArray(COUNTER_TEMPLATE).append(1024 * 1024 - qstrlen(COUNTER_TEMPLATE), ' ')
            << QStringList() << true;
        QTest::newRow("a packet type past 255 warns and still loads")
            << "x.json" << counterWith("\"packet_type\": 1", "\"packet_type\": 256")
            << QStringList{undecodable.arg("256", "packet_type", "packet type outside 0-255")} << true;
        QTest::newRow("a packet type written as a negative byte loads silently")
            << "x.json" << counterWith("\"packet_type\": 1", "\"packet_type\": -1") << QStringList() << true;
        QTest::newRow("a 24-bit number warns and still loads")
            << "x.json" << counterWith("\"data_bit_size\": 32", "\"data_bit_size\": 24")
            << QStringList{undecodable.arg("1", "Counter value",
                                           "data size of 24 bits is not 8, 16, 32 or 64")}
            << true;
        QTest::newRow("a negative offset warns and still loads")
            << "x.json" << counterWith("\"packet_bias\": 1", "\"packet_bias\": -2")
            << QStringList{undecodable.arg("1", "Counter value", "negative offset -2")} << true;
    }

    void loadReports()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, logLines);
        QFETCH(bool, loaded);

        QDir().mkdir(COMM::DEVICE_FOLDER);
        const QString path = COMM::DEVICE_FOLDER + QStringLiteral("/") + fileName;
        if (content.startsWith("->"))
            QVERIFY(QFile::link(QString::fromLatin1(content.mid(2)), path));
        else
            writeFile(path, content);
        if (content == "[1, 2]")
            QTest::ignoreMessage(QtDebugMsg, "[SDeviceTemplate] Empty input JSON");
        CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
        const QString log = CWorkDir::log();
        for (const QString& line : logLines) {
            const QString expected =
                line.contains(QStringLiteral("[%1/"))
                    ? QString(line).replace(QStringLiteral("[%1/"), "[" + QDir::currentPath() + "/")
                    : line;
            QCOMPARE(log.count(expected), 1);
        }
        QCOMPARE(log.count(QStringLiteral("WARNING:")), logLines.filter(QStringLiteral("WARNING:")).size());
        QCOMPARE(log.contains(QStringLiteral("inited SUCCESSULLY")), loaded);
        QCOMPARE(registry->getTemplateInfo().size(), loaded ? 1 : 0);
    }

    void folderReports_data()
    {
        QTest::addColumn<QString>("folder"); // "missing", "empty" or "unreadable"
        QTest::addColumn<QString>("logLine");

        QTest::newRow("a missing folder")
            << "missing"
            << "[CAllDeviceHandler::init] Dirrectory with device signature is not existed";
        QTest::newRow("an empty folder")
            << "empty"
            << "[CAllDeviceHandler::init] Dirrectory with device signature is empty";
        QTest::newRow("a folder that cannot be read is named so, with the reason")
            << "unreadable"
            << "ERROR: [CAllDeviceHandler::init] Directory [%1/deviceFolder] with device templates cannot be "
               "read: "
               "Permission denied";
    }

    void folderReports()
    {
        QFETCH(QString, folder);
        QFETCH(QString, logLine);

        if (folder != QStringLiteral("missing"))
            QDir().mkdir(COMM::DEVICE_FOLDER);
        if (folder == QStringLiteral("unreadable")) {
            writeFile(QStringLiteral("deviceFolder/a.json"), COUNTER_TEMPLATE);
            QVERIFY(QFile::setPermissions(COMM::DEVICE_FOLDER, QFileDevice::WriteOwner));
            // Root reads any folder: look as an unprivileged user, from a path it may walk.
            QVERIFY(QFile::setPermissions(work->path(),
                                          QFile::permissions(work->path()) | QFileDevice::ExeOther));
            QVERIFY(geteuid() != 0 || (setegid(65534) == 0 && seteuid(65534) == 0));
        }
        CAllDeviceHandler::getInstance();
        if (geteuid() != getuid())
            QVERIFY(seteuid(getuid()) == 0 && setegid(getgid()) == 0);
        QFile::setPermissions(COMM::DEVICE_FOLDER,
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QString log = CWorkDir::log();
        QVERIFY2(log.contains("]" + QString(logLine).replace(QStringLiteral("%1"), QDir::currentPath())),
                 qPrintable(log));
        QVERIFY(!log.contains(QStringLiteral("inited")));
    }

    // The sample templates load, and the pulse counter's register list puts the
    // server data first, by code, then the packet fields in file order.
    void sampleTemplatesLoad()
    {
        QDir().mkdir(COMM::DEVICE_FOLDER);
        const QDir samples(QStringLiteral(TW_SOURCE_DIR "/templates"));
        const QStringList files = samples.entryList({QStringLiteral("*.json")}, QDir::Files);
        for (const QString& name : files)
            QVERIFY(QFile::copy(samples.filePath(name), QStringLiteral("deviceFolder/") + name));
        CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
        QCOMPARE(registry->getTemplateInfo().size(), files.size());

        QStringList names;
        for (const REGS::SRegisterInfo& r :
             registry->getRegisterInfo(QStringLiteral("7A52000000000001")).registers)
            names << QStringLiteral("%1/%2/%3/%4")
                         .arg(r.dataName, QString::number(r.source), QString::number(r.regMapBias),
                              r.dataType);
        QCOMPARE(names, QStringList({"Frame counter/0/12/uinteger", "RSSI/0/10/integer", "SNR/0/11/integer",
                                     "Time stamp/0/14/uinteger", "Pulse count/1/0/uinteger",
                                     "Battery voltage/1/2/uinteger", "Report interval/1/3/uinteger"}));
        QVERIFY(registry->getRegisterInfo(QStringLiteral("nope")).registers.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTemplates)
#include "tst_templates.moc"
