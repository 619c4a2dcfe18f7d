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

// What a parsed template holds: "type/size: fields | server data | app EUI colour", or "invalid".
QString describe(const REGS::SDeviceTemplate& t)
{
    if (!t.isValid)
        return QStringLiteral("invalid");
    QStringList packets, data;
    for (const REGS::SDevicePacket& p : t.devicePackets) {
        QStringList fields;
        for (const REGS::SDevicePacketField& f : p.packetFields)
            fields << f.dataName + (f.endianness ? " be" : " le");
        packets << QStringLiteral("%1/%2: %3")
                       .arg(QString::number(p.packetType), QString::number(p.packetSize), fields.join(", "));
    }
    for (const REGS::SServerData& d : t.serverData)
        data << QStringLiteral("%1@%2/%3 %4")
                    .arg(d.dataCode, QString::number(d.regMapBias), QString::number(d.bitSize), d.dataType);
    return QStringList{packets.join(", "), data.join(", "), t.appEui + ' ' + t.color.name()}.join(" | ");
}

// A template with one value swapped: "key":old -> "key":new.
QByteArray counterWith(const char* from, const QByteArray& to)
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

    void parsedTemplate_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("said"); // a debug line, or a line of history.log

        const QString counter = "1/5: Counter value be | rssi@10/16 integer | A1B2C3D4E5F60718 #2a7ab0";
        const QByteArray good = QJsonDocument(goodField()).toJson(QJsonDocument::Compact);
        QJsonObject noPackets = parse(COUNTER_TEMPLATE);
        noPackets.insert("device_packets", QJsonArray());
        QTest::newRow("the counter template as written") << QByteArray(COUNTER_TEMPLATE) << counter << "";
        QTest::newRow("endianness absent is little-endian")
            << counterWith("\"endianness\": \"be\",", "") << QString(counter).replace(" be", " le") << "";
        QTest::newRow("endianness BE in capitals is big-endian")
            << counterWith("\"be\"", "\"BE\"") << counter << "";
        QTest::newRow("endianness as a number drops the field, so the only packet and so the template")
            << counterWith("\"be\"", "1") << "invalid"
            << "";
        QTest::newRow("a required key null drops the field")
            << counterWith("\"Counter value\"", "null") << "invalid"
            << "";
        QTest::newRow("a required key missing drops the field")
            << counterWith("\"reg_bit_size\": 32,", "") << "invalid"
            << "";
        QTest::newRow("packet_size absent gives 0")
            << counterWith("\"packet_size\": 5,", "") << QString(counter).replace("1/5", "1/0") << "";
        QTest::newRow("a bad field is dropped, the packet kept")
            << counterWith("\"Counter value\" }", "\"Counter value\" }, {\"packet_bias\": 1}, 7") << counter
            << "";
        QTest::newRow("packet_type missing drops the packet")
            << counterWith("\"packet_type\": 1,", "") << "invalid"
            << "";
        QTest::newRow("of two packets of one type the later is used")
            << counterWith("] } ],", "] }, {\"packet_type\": 1, \"packet_size\": 9, \"packet_fields\": [" +
                                         good + "]} ],")
            << QString(counter).replace("1/5: Counter value be", "1/9: T le") << "";
        QTest::newRow("an invalid colour is the default grey")
            << counterWith("#2a7ab0", "nonsense") << QString(counter).replace("#2a7ab0", "#94999d")
            << "[SDeviceTemplate] Invalid color name [nonsense]";
        QTest::newRow("an empty packet array is no template")
            << QJsonDocument(noPackets).toJson() << "invalid"
            << "[SDeviceTemplate] Device packets array is empty";
        QTest::newRow("a server code in capitals is unknown and logged")
            << counterWith("\"rssi\"", "\"RSSI\"") << QString(counter).replace("rssi@10/16 integer", "")
            << "ERROR: [SServerData] Server keyword [RSSI] is unknown!";
        QTest::newRow("the frame counter takes 32 unsigned bits")
            << counterWith("\"rssi\"", "\"fcnt\"")
            << QString(counter).replace("rssi@10/16 integer", "fcnt@10/32 uinteger") << "";
    }

    void parsedTemplate()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, said);
        if (said.startsWith("[SDeviceTemplate]"))
            QTest::ignoreMessage(QtDebugMsg, qPrintable(said));
        QTEST(describe(REGS::SDeviceTemplate(parse(json))), "expected");
        QVERIFY(said.startsWith("[") || CWorkDir::log().contains(said));
    }

    void loadsFolderAndLogs()
    {
        QDir().mkdir(COMM::DEVICE_FOLDER);
        writeFile(QStringLiteral("deviceFolder/a.json"), COUNTER_TEMPLATE);
        writeFile(QStringLiteral("deviceFolder/b.JSON"),
                  counterWith("a1b2c3d4e5f60718", "A1B2C3D4E5F60718").replace("Counter\"", "Other\""));
        writeFile(QStringLiteral("deviceFolder/notes.txt"), "not a template");

        CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
        const QString log = CWorkDir::log();
        QVERIFY(log.contains(QStringLiteral("]Device [A1B2C3D4E5F60718] inited SUCCESSULLY")));
        QVERIFY(log.contains(QStringLiteral("]Device [A1B2C3D4E5F60718] already inited. Skip")));

        // The first file by name wins.
        QCOMPARE(registry->getTemplateInfo(QStringLiteral("A1B2C3D4E5F60718")).devType,
                 QStringLiteral("Counter"));
        QCOMPARE(registry->getTemplateInfo().size(), 1);

        // A second init adds only keys that are new.
        writeFile(QStringLiteral("deviceFolder/c.json"), counterWith("a1b2c3d4e5f60718", "00000000000000c3"));
        registry->init();
        QCOMPARE(registry->getTemplateInfo().size(), 2);
        QCOMPARE(registry->getTemplateInfo().at(0).appEui, QStringLiteral("00000000000000C3"));
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
        QTest::newRow("an unknown word order warns and the field is served as without it")
            << "x.json" << counterWith("\"Counter value\"", "\"Counter value\", \"word_order\": \"XYZW\"")
            << QStringList{"WARNING: [SDevicePacketField] Field [Counter value]: word_order [XYZW] does not "
                           "apply to it, ignored"}
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
