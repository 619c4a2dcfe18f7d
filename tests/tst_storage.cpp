#include <QtTest>

#include <atomic>

#include <unistd.h>

#include <QDir>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>

#include "WorkDir.h"
#include "storage/CDataBaseHandler.h"
#include "storage/CDeviceOptionsStore.h"
#include "storage/CRegisterMapExport.h"

Q_DECLARE_METATYPE(DB::SDeviceRegMapDescription)

namespace {
const int PORT = 502;
const QString BREAKER = QStringLiteral("CREATE TRIGGER breaker BEFORE %1 ON dev_data WHEN %2 "
                                       "BEGIN SELECT RAISE(ABORT, 'forced'); END;");
const uid_t NOBODY = 65534;

REGS::SRegisterInfo reg(int bias, int bits = 16, double startValue = 0.0, double gratingPeriod = 1.0,
                        const QString& unit = QString())
{
    const QString name = QStringLiteral("r%1").arg(bias);
    return {name, 1, bias, bits, REGS::REGS_JSON_KEY_TYPE_UINT, startValue, gratingPeriod, unit, {}};
}

DB::SDeviceRegMapDescription device(const QString& devEui, const QString& name, int startAddr,
                                    const QList<REGS::SRegisterInfo>& registers)
{
    return DB::SDeviceRegMapDescription{devEui, QStringLiteral("APPEUI01"), name, startAddr, registers};
}

DB::SDbDeviceRegDataSet dataSet(const QString& devEui, int startAddr, qint64 packetTime = 0)
{
    return {devEui, startAddr, {}, {}, packetTime};
}

// The same word in registers 0 to count - 1.
DB::SDbDeviceRegDataSet packet(const QString& devEui, int startAddr, const QString& word, int count)
{
    DB::SDbDeviceRegDataSet set = dataSet(devEui, startAddr);
    for (int i = 0; i < count; ++i)
        set.appendRewriteData(word, i, word);
    return set;
}

// Lines of history.log without their time stamps, durations as "N s" and the
// path of server.db as "F".
QStringList loggedLines(const QString& filter = QStringLiteral("CDataBaseHandler"))
{
    QStringList lines = CWorkDir::log().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& line : lines) {
        line = line.mid(line.indexOf(QLatin1Char(']')) + 1);
        line.replace(QRegularExpression(QStringLiteral("\\d+\\.\\d s")), QStringLiteral("N s"));
        line.replace(QDir::current().absoluteFilePath(DB::DB_FILENAME), QStringLiteral("F"));
    }
    return lines.filter(filter);
}

void setDatabaseMode(QFileDevice::Permissions mode)
{
    for (const QString& name : QDir::current().entryList({DB::DB_FILENAME + "*"}, QDir::Files))
        QVERIFY(QFile::setPermissions(name, mode));
}

// "addr=word" per entry, words in four hex digits.
QStringList wordList(const QMap<unsigned short, unsigned short>& words)
{
    QStringList list;
    for (auto it = words.cbegin(); it != words.cend(); ++it)
        list << QStringLiteral("%1=%2").arg(it.key()).arg(it.value(), 4, 16, QLatin1Char('0'));
    return list;
}

// Another connection to server.db (or another file) that sees the rows as they are on disk.
QSqlQuery inspect(const QString& file = DB::DB_FILENAME)
{
    if (!QSqlDatabase::contains(file)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(DB::SQL_DRIVER, file);
        db.setDatabaseName(QDir::current().absoluteFilePath(file));
        db.open();
    }
    return QSqlQuery(QSqlDatabase::database(file));
}

QStringList rows(const QString& sql, int columns = 1, const QString& file = DB::DB_FILENAME)
{
    QSqlQuery query = inspect(file);
    query.exec(sql);
    QStringList result;
    while (query.next()) {
        QStringList cells;
        for (int i = 0; i < columns; ++i)
            cells << (query.isNull(i) ? QStringLiteral("NULL") : query.value(i).toString());
        result << cells.join(QLatin1Char('|'));
    }
    return result;
}

int count(const QString& table)
{
    return rows(QStringLiteral("SELECT COUNT(*) FROM %1;").arg(table)).value(0).toInt();
}

// Register words of a port decoded from its rows with fromHex, independently of
// the handler: at each address the last row in read order that covers it.
QMap<qint64, unsigned short> wordsFromRows(int port)
{
    QMap<qint64, unsigned short> words;
    QSqlQuery query = inspect();
    query.exec(QStringLiteral("SELECT reg_addr, bit_size, full_value FROM dev_data WHERE port = %1 "
                              "ORDER BY reg_addr ASC, rowid ASC;")
                   .arg(port));
    while (query.next()) {
        const int bits = query.value(1).toInt();
        const QByteArray bytes = QByteArray::fromHex(query.value(2).toString().toUtf8());
        for (int k = 0; k <= (bits - 1) / 16; ++k) {
            // A narrow datum pads a short image; a wide one reads 0 for a short word.
            const QByteArray pair = bytes.mid(2 * k, 2) + QByteArray(2, '\0');
            const bool whole = bits <= 16 || bytes.size() >= 2 * k + 2;
            words[query.value(0).toLongLong() + k] = whole ? quint8(pair.at(0)) << 8 | quint8(pair.at(1)) : 0;
        }
    }
    return words;
}

// Mostly small addresses, some near the 16-bit end, a few far beyond it.
int randomAddress(QRandomGenerator& random)
{
    const int pick = random.bounded(30);
    return pick == 0  ? random.bounded(299990, 300010)
           : pick < 5 ? random.bounded(65500, 65536)
                      : random.bounded(150);
}

// NULL, hex digits, or text with other characters as well.
QString randomFullValue(QRandomGenerator& random)
{
    static const QString alphabet = QStringLiteral("0123456789abcdefABCDEF xg-\u00b0\u20ac");
    const int letters = random.bounded(3) == 0 ? alphabet.size() : 22;
    QString text;
    for (int i = random.bounded(4) == 0 ? 0 : random.bounded(1, 35); i > 0; --i)
        text += alphabet.at(random.bounded(letters));
    return text;
}
} // namespace

class TestStorage : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<CWorkDir> work;
    CDataBaseHandler* storage = nullptr;

    void randomStep(QRandomGenerator& random);
    void compareReads(QRandomGenerator& random, int port, int step);

private slots:
    void init();
    void cleanup();

    void schema_data();
    void schema();
    void refusedDatabase_data();
    void refusedDatabase();
    void keptPacket_data();
    void keptPacket();
    void registration_data();
    void registration();
    void deviceFilter_data();
    void deviceFilter();
    void registerParams();
    void registerMapOfAnOlderDatabase();
    void saveRegisterData_data();
    void saveRegisterData();
    void registerImageMatchesRows();
    void threadStress();
};

void TestStorage::init()
{
    work = std::make_unique<CWorkDir>();
    QVERIFY(work->isValid());
    storage = CDataBaseHandler::getInstance();
}

void TestStorage::cleanup()
{
    if (getuid() == 0)
        QVERIFY(seteuid(0) == 0);
    CDataBaseHandler::resetInstance();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const QString& name : QSqlDatabase::connectionNames())
        QSqlDatabase::removeDatabase(name);
    QCoreApplication::processEvents();
    work.reset();
}

void TestStorage::schema_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("columns"); // cid|name|type|notnull|default|pk
    QTest::addColumn<QStringList>("indexes");
    QTest::newRow("devices has its six columns and is indexed by id and EUI")
        << DB::DB_TABLE_DEVICES
        << "0|device|INTEGER|1|NULL|1 1|name|TEXT|0|NULL|0 2|app_eui|TEXT|0|NULL|0 3|dev_eui|TEXT|0|NULL|0 "
           "4|port|INTEGER|0|NULL|0 5|start_addr|INTEGER|0|NULL|0"
        << QStringList{"idx_device:device", "idx_eui:dev_eui"};
    QTest::newRow("dev_data has its fourteen columns and is indexed for lists and Modbus reads")
        << DB::DB_TABLE_DEVDATA
        << "0|device|INTEGER|1|NULL|0 1|port|INTEGER|0|NULL|0 2|reg_addr|INTEGER|0|NULL|0 "
           "3|start_value|INTEGER|0|NULL|0 4|grating_period|REAL|0|NULL|0 5|bit_size|REAL|0|NULL|0 "
           "6|data_type|TEXT|0|NULL|0 7|value|TEXT|0|NULL|0 8|full_value|TEXT|0|NULL|0 "
           "9|time|INTEGER|0|NULL|0 "
           "10|name|TEXT|0|NULL|0 11|unit|TEXT|0|NULL|0 12|parent|INTEGER|0|NULL|0 13|source|INTEGER|0|NULL|0"
        << QStringList{"idx_dev_parent:device,parent", "idx_dev_regaddr:device,reg_addr",
                       "idx_port_regaddr:port,reg_addr"};
}

void TestStorage::schema()
{
    QFETCH(QString, table);
    QVERIFY(storage);
    QTEST(rows(QStringLiteral("PRAGMA table_info(%1);").arg(table), 6).join(QLatin1Char(' ')), "columns");
    // Only the indexes created, not those of constraints (origin "c").
    QTEST(rows(QStringLiteral(
                   "SELECT l.name || ':' || group_concat(i.name) FROM pragma_index_list('%1') l, "
                   "pragma_index_info(l.name) i WHERE l.origin = 'c' GROUP BY l.name ORDER BY l.name;")
                   .arg(table)),
          "indexes");
}

void TestStorage::refusedDatabase_data()
{
    QTest::addColumn<int>("damagedFrom"); // bytes overwritten from this offset on; -1: a directory instead
    QTest::addColumn<QString>("logged");  // the start of the one line
    const QString damaged = QStringLiteral("CRITICAL_ERROR! Data base [F] is damaged! Error_text[");
    QTest::newRow("a directory where the file should be cannot be opened")
        << -1
        << "CRITICAL_ERROR! Data base hasn't been created/opened! Error_text[unable to open database file";
    QTest::newRow("a file that is no database fails its check") << 0 << damaged + "file is not a database]";
    QTest::newRow("a database with its tables' pages overwritten fails its check") << 4096 << damaged;
}

// No handler, as for a file that cannot be opened, rather than a gateway that
// serves zeros; the failure is not sticky.
void TestStorage::refusedDatabase()
{
    QFETCH(int, damagedFrom);
    QVERIFY(storage->registerNewDevice(device("AA00", "Before", 0, {reg(0), reg(1)}), PORT));
    CDataBaseHandler::resetInstance();
    QFile file(DB::DB_FILENAME);
    if (damagedFrom < 0) {
        QVERIFY(file.remove() && QDir().mkdir(DB::DB_FILENAME)); // unopenable even for root
    } else {
        QVERIFY(file.size() > damagedFrom && file.open(QIODevice::ReadWrite) && file.seek(damagedFrom));
        QVERIFY(file.write(QByteArray(int(file.size() - damagedFrom), 'Z')) > 0);
        file.close();
    }
    QCOMPARE(CDataBaseHandler::getInstance(), nullptr);
    const QStringList lines = loggedLines(QStringLiteral("CRITICAL"));
    QFETCH(QString, logged);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(logged), qPrintable(lines.first()));

    QVERIFY(damagedFrom < 0 ? QDir().rmdir(DB::DB_FILENAME) : file.remove());
    storage = CDataBaseHandler::getInstance();
    QVERIFY(storage);
    QVERIFY(storage->registerNewDevice(device("AA01", "After", 0, {reg(0)}), PORT));
}

void TestStorage::keptPacket_data()
{
    QTest::addColumn<QString>("obstacle"); // run on another connection, then undone; none: a read-only file
    QTest::addColumn<QString>("removal");
    QTest::addColumn<QStringList>("logged");
    const QString kept =
        QStringLiteral("WARNING: [CDataBaseHandler::saveRegisterData] Packet of [M1] rolled back and "
                       "kept, with the newest of every device, for a retry! Error_text[%1]");
    const QString stored = QStringLiteral(
        "INFO: [CDataBaseHandler::retryPendingSlot] Kept packets stored after N s of failures");
    QTest::newRow("a write lock held by another program keeps packets out until it is let go")
        << "BEGIN IMMEDIATE;"
        << "ROLLBACK;"
        << QStringList{"ERROR: [CDataBaseHandler::saveRegisterData] Transaction is not started! "
                       "Error_text[database is locked Unable to fetch row]",
                       kept.arg("database is locked"), stored};
    QTest::newRow("a statement failing half-way rolls the packet back until it succeeds")
        << BREAKER.arg("UPDATE", "NEW.reg_addr = 101") << "DROP TRIGGER breaker;"
        << QStringList{"ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [2]",
                       kept.arg("forced"), stored};
    QTest::newRow("a server.db opened read-only keeps packets out until it is writable")
        << QString() << QString()
        << QStringList{"ERROR: [CDataBaseHandler::CDataBaseHandler] Data base [F] is read-only, uplinks will "
                       "not be stored! Error_text[attempt to write a readonly database]",
                       "INFO: [CDataBaseHandler::retryPendingSlot] Data base [F] is writable again, uplinks "
                       "are stored"};
}

// A packet is stored whole or not at all: while it cannot be, retries
// included, neither the rows nor a Modbus read show any part of it, the newest
// packet of the device is kept, and the log tells the episode once; then it is
// stored whole.
void TestStorage::keptPacket()
{
    QVERIFY(storage->registerNewDevice(device("M1", "Meter", 100, {reg(0), reg(1), reg(2)}), PORT));
    const QString select = QStringLiteral("SELECT group_concat(full_value) FROM dev_data;");
    storage->saveRegisterData(packet("M1", 100, "0001", 3));
    QCOMPARE(rows(select), QStringList{"0001,0001,0001"});
    QFETCH(QString, obstacle);
    QFETCH(QString, removal);
    const bool readOnly = obstacle.isEmpty();
    // Root writes whatever the mode says: the test is nobody until the file is to be writable.
    const bool asNobody = readOnly && geteuid() == 0;
    if (readOnly) {
        CDataBaseHandler::resetInstance();
        setDatabaseMode(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        QVERIFY(!asNobody ||
                (QFile::setPermissions(".", QFileDevice::Permissions(0x7777)) && seteuid(NOBODY) == 0));
        storage = CDataBaseHandler::getInstance();
        QVERIFY(storage);
    } else {
        QVERIFY(inspect().exec(obstacle));
    }
    for (const char* word : {"0002", "0003", "0004"})
        storage->saveRegisterData(packet("M1", 100, word, 3));
    QTest::qWait(1000);
    QCOMPARE(rows(select), QStringList{"0001,0001,0001"});
    QCOMPARE(storage->getRegisterData(PORT, 100, 3).values(), QList<unsigned short>({1, 1, 1}));

    if (asNobody)
        QVERIFY(seteuid(0) == 0);
    else if (readOnly)
        setDatabaseMode(QFile::ReadOwner | QFile::WriteOwner);
    else
        QVERIFY(inspect().exec(removal));
    QTRY_COMPARE_WITH_TIMEOUT(rows(select), QStringList{"0004,0004,0004"}, 10000);
    QCOMPARE(storage->getRegisterData(PORT, 100, 3).values(), QList<unsigned short>({4, 4, 4}));
    QTEST(loggedLines(), "logged");
}

void TestStorage::registration_data()
{
    QTest::addColumn<DB::SDeviceRegMapDescription>("second");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QStringList>("devices");   // every column
    QTest::addColumn<QStringList>("registers"); // all but the values
    // What the first device, registered before every row, writes.
    const QStringList first = {"1|Meter|APPEUI01|7A5200|502|0"};
    const QStringList firstRegisters = {"1|502|0|0|1|16|uinteger|r0|NULL|1|1",
                                        "1|502|1|0|1|16|uinteger|r1|NULL|1|1"};
    QTest::newRow("an EUI already registered is refused, named in the log and writes nothing")
        << device("7A5200", "Other", 10, {reg(0)}) << false
        << "ERROR: [CDataBaseHandler::registerNewDevice] Device [7A5200] already exist!" << first
        << firstRegisters;
    REGS::SRegisterInfo temp = reg(2, 32, -40.5, 0.25, "°C");
    temp.dataType = REGS::REGS_JSON_KEY_TYPE_INT;
    temp.source = 0;
    QTest::newRow("every field of the device and its registers is written")
        << device("E1", "Thermo", 200, {reg(0), temp}) << true << QString()
        << first + QStringList{"2|Thermo|APPEUI01|E1|502|200"}
        << firstRegisters + QStringList{"2|502|200|0|1|16|uinteger|r0|NULL|1|1",
                                        "2|502|202|-40.5|0.25|32|integer|r2|°C|1|0"};
    QTest::newRow("two registers at one offset keep the first and warn with the address in hex")
        << device("B1", "Twin", 0, {reg(10), reg(10, 32)}) << true
        << "WARNING: [CDataBaseHandler::registerNewDevice] Register [0x000a] for device [B1] already exist!"
        << first + QStringList{"2|Twin|APPEUI01|B1|502|0"}
        << firstRegisters + QStringList{"2|502|10|0|1|16|uinteger|r10|NULL|1|1"};
    QTest::newRow("an empty register list registers the device alone")
        << device("C1", "Bare", 0, {}) << true << QString() << first + QStringList{"2|Bare|APPEUI01|C1|502|0"}
        << firstRegisters;
    QTest::newRow("a registration failing half-way leaves nothing of it")
        << device("D1", "Broken", 100, {reg(0), reg(1), reg(2), reg(3)}) << false
        << "[CDataBaseHandler::registerNewDevice] Invalid SQL request [4]" << first << firstRegisters;
}

void TestStorage::registration()
{
    QFETCH(DB::SDeviceRegMapDescription, second);
    QVERIFY(storage->registerNewDevice(device("7A5200", "Meter", 0, {reg(0), reg(1)}), PORT));
    QVERIFY(inspect().exec(BREAKER.arg("INSERT", "NEW.reg_addr = 102")));
    QTEST(storage->registerNewDevice(second, PORT), "accepted");
    QTEST(loggedLines().join(QLatin1Char('\n')), "logged");
    QTEST(rows(QStringLiteral("SELECT * FROM devices;"), 6), "devices");
    QTEST(rows(QStringLiteral(
                   "SELECT device, port, reg_addr, start_value, grating_period, bit_size, data_type, "
                   "name, unit, parent, source FROM dev_data;"),
               11),
          "registers");
}

void TestStorage::deviceFilter_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("ab lists ABC before Lab 1, ignoring case") << "ab" << QStringList{"ABC", "Lab 1"};
    QTest::newRow("an empty filter lists every device by name")
        << QString() << QStringList{"50% off", "500 units", "ABC", "Lab 1", "a\"b", "zeta"};
    QTest::newRow("a percent sign is matched literally") << "50%" << QStringList{"50% off"};
    QTest::newRow("a quoted OR condition matches nothing") << "x\" OR \"1\"=\"1" << QStringList();
}

void TestStorage::deviceFilter()
{
    QFETCH(QString, filter);
    // The EUIs carry quotes: spliced into a statement, they would break it.
    const QStringList all = {"Lab 1", "ABC", "zeta", "50% off", "500 units", "a\"b"};
    for (int i = 0; i < all.size(); ++i)
        QVERIFY(storage->registerNewDevice(device(QStringLiteral("E'\"%1").arg(i), all.at(i), 100, {reg(0)}),
                                           PORT));
    QCOMPARE(storage->getRegisterParam("E'\"5", 100).regAddr, 100u);
    QSqlQuery query = storage->getDevices(filter);
    QStringList names;
    while (query.next())
        names << query.value(DB::DEV_COL_NAME).toString();
    QTEST(names, "expected");
}

// Scaling and format found, defaults when missing, updates that touch only the
// device named and registers that exist, and a deletion that removes the device
// with its registers and formats.
void TestStorage::registerParams()
{
    REGS::SRegisterInfo wide = reg(2, 32);
    wide.format = {true, FMT::ORDER_DCBA};
    QVERIFY(storage->registerNewDevice(device("A1", "One", 100, {reg(0), reg(1, 16, -5.5, 0.1, "°C"), wide}),
                                       PORT));
    QVERIFY(storage->registerNewDevice(device("b2", "Two", 100, {reg(0), reg(1)}), PORT));
    const auto param = [this](unsigned int regAddr) {
        const DB::SDbRegParamInfo info = storage->getRegisterParam("A1", regAddr);
        return QString::asprintf("%u %g %g %s %d %s", info.regAddr, info.startValue, info.gratingPeriod,
                                 qUtf8Printable(info.unit), info.format.asFloat,
                                 qUtf8Printable(FMT::wordOrderName(info.format.wordOrder)));
    };
    QCOMPARE(param(101), QStringLiteral("101 -5.5 0.1 °C 0 ABCD"));
    QCOMPARE(param(102), QStringLiteral("102 0 1  1 DCBA"));
    QCOMPARE(param(150), QStringLiteral("0 0 1  0 ABCD"));
    QCOMPARE(loggedLines(),
             QStringList{"ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!"});

    // 102 holds 1234.5 as a float in DCBA; as an integer in CDAB it is served 1235 at once.
    DB::SDbDeviceRegDataSet set = dataSet("A1", 100);
    set.appendRewriteData("0050", 2, "00509a44");
    storage->saveRegisterData(set);
    DB::SDbDevRegParamInfo info;
    info.deviceId = 1;
    info.params = {DB::SDbRegParamInfo{101, 3.0, 0.5, "kPa", {false, FMT::ORDER_CDAB}},
                   DB::SDbRegParamInfo{102, 0.0, 1.0, "", {false, FMT::ORDER_CDAB}},
                   DB::SDbRegParamInfo{999, 1.0, 1.0, "none", {true, FMT::ORDER_BADC}}};
    storage->updateRegInfo(info);
    QCOMPARE(wordList(storage->getRegisterData(PORT, 102, 2)), QStringList({"102=04d3", "103=0000"}));
    QCOMPARE(
        rows(QStringLiteral("SELECT device, reg_addr, start_value, grating_period, unit FROM dev_data;"), 5),
        QStringList({"1|100|0|1|NULL", "1|101|3|0.5|kPa", "1|102|0|1|", "2|100|0|1|NULL", "2|101|0|1|NULL"}));
    QCOMPARE(rows(QStringLiteral("SELECT * FROM reg_format ORDER BY reg_addr;"), 4),
             QStringList({"1|101|0|CDAB", "1|102|0|CDAB"}));
    QVERIFY(storage->deleteDevice(1));
    QCOMPARE(storage->getRegisteredDevices(), QStringList{"B2"});
    QCOMPARE(rows(QStringLiteral("SELECT device, reg_addr FROM dev_data;"), 2),
             QStringList({"2|100", "2|101"}));
    QCOMPARE(count(DB::DB_TABLE_REGFORMAT), 0);
}

// server.db as the last release left it: it opens, and its map lists every
// register as before, with a format and a status block chosen since.
void TestStorage::registerMapOfAnOlderDatabase()
{
    CDataBaseHandler::resetInstance();
    QVERIFY(QFile::remove(DB::DB_FILENAME));
    QVERIFY(QFile::copy(QStringLiteral(TW_SOURCE_DIR "/tests/fixtures/server-1.0.6-uplinks.db"),
                        DB::DB_FILENAME));
    QVERIFY(QFile::setPermissions(DB::DB_FILENAME, QFile::ReadOwner | QFile::WriteOwner));
    storage = CDataBaseHandler::getInstance();
    QVERIFY(storage);
    DB::SDbDevRegParamInfo pulses;
    pulses.deviceId = 1;
    pulses.params = {DB::SDbRegParamInfo{0, 0.0, 0.5, "m3", {true, FMT::ORDER_CDAB}}};
    storage->updateRegInfo(pulses);
    QString error;
    QVERIFY(CDeviceOptionsStore::save("7A52000000020001", SDeviceOptions{120, 15, true}, error));
    QFile expected(QStringLiteral(TW_SOURCE_DIR "/tests/fixtures/register-map.csv"));
    QVERIFY(expected.open(QIODevice::ReadOnly));
    QVERIFY(CRegisterMapExport::write("map.csv", CRegisterMapExport::csv(storage), error));
    QFile written("map.csv");
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(written.readAll()), QString::fromUtf8(expected.readAll()));
    QVERIFY(!CRegisterMapExport::write("no/such/folder/map.csv", QString(), error));
    QVERIFY(!error.isEmpty());
}

void TestStorage::saveRegisterData_data()
{
    QTest::addColumn<QString>("devEui");
    QTest::addColumn<bool>("empty");
    QTest::addColumn<qint64>("storedTime"); // of a packet of 0009 stored before; -1: none
    QTest::addColumn<qint64>("packetTime");
    QTest::addColumn<QStringList>("logged");
    QTest::addColumn<QStringList>("stored"); // reg_addr|value|full_value|time within the call
    QTest::addColumn<QStringList>("words");
    const QStringList untouched = {"100|NULL|NULL|NULL", "102|NULL|NULL|NULL", "103|NULL|NULL|NULL"};
    const QStringList zeros = {"102=0000", "103=0000"};
    const QStringList written = {"100|0001|0001e240|1", "102|00ff|NULL|1", "103|0007|0007|1"};
    QTest::newRow("an empty set writes nothing and says so")
        << "ab'cd\"ef" << true << qint64(-1) << qint64(0)
        << QStringList{"INFO: [CDataBaseHandler::saveRegisterData] Empty input data"} << untouched << zeros;
    QTest::newRow("an EUI in another letter case is unknown and changes nothing")
        << "AB'CD\"EF" << false << qint64(-1) << qint64(0)
        << QStringList{"ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [AB'CD\"EF]"} << untouched
        << zeros;
    // The EUI carries both quotes, so it only matches when bound.
    QTest::newRow("values are written with their time, an empty full value as NULL that reads 0")
        << "ab'cd\"ef" << false << qint64(-1) << qint64(0) << QStringList() << written
        << QStringList{"102=0000", "103=0007"};
    QTest::newRow("a packet as old as the one stored replaces it")
        << "ab'cd\"ef" << false << qint64(1000) << qint64(1000) << QStringList() << written
        << QStringList{"102=0000", "103=0007"};
    // Fetched again after a log-in, an older packet must not undo a newer one.
    QTest::newRow("a packet older than the one stored leaves it and says so")
        << "ab'cd\"ef" << false << qint64(2000) << qint64(1999)
        << QStringList{"INFO: [CDataBaseHandler::saveRegisterData] Packet of [ab'cd\"ef] taken at "
                       "[1970-01-01T00:00:01.999Z] is older than the one stored [1970-01-01T00:00:02.000Z], "
                       "not stored"}
        << QStringList{"100|0009|0009|1", "102|0009|0009|1", "103|0009|0009|1"}
        << QStringList{"102=0009", "103=0009"};
}

void TestStorage::saveRegisterData()
{
    QFETCH(QString, devEui);
    QVERIFY(
        storage->registerNewDevice(device("ab'cd\"ef", "Quoted", 100, {reg(0, 32), reg(2), reg(3)}), PORT));
    QFETCH(bool, empty);
    QFETCH(qint64, storedTime);
    QFETCH(qint64, packetTime);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    if (storedTime >= 0) {
        DB::SDbDeviceRegDataSet first = dataSet(devEui, 100, storedTime);
        for (const int offset : {0, 2, 3})
            first.appendRewriteData("0009", offset, "0009");
        storage->saveRegisterData(first);
    }
    DB::SDbDeviceRegDataSet set = dataSet(devEui, 100, packetTime);
    if (!empty) {
        set.appendRewriteData("0001", 0, "0001e240");
        set.appendRewriteData("00ff", 2, QString());
        set.appendRewriteData("0007", 3, "0007");
    }
    storage->saveRegisterData(set);
    QTEST(rows(QStringLiteral("SELECT reg_addr, value, full_value, time BETWEEN %1 AND %2 FROM dev_data;")
                   .arg(before)
                   .arg(QDateTime::currentMSecsSinceEpoch()),
               4),
          "stored");
    QTEST(loggedLines(), "logged");
    QTEST(wordList(storage->getRegisterData(PORT, 102, 2)), "words");
}

// Random registrations (some failing half-way), deletions and saves on three ports; after every step
// each port's reads, from the image or through SQL, must equal what its rows say.
void TestStorage::registerImageMatchesRows()
{
    QRandomGenerator random(20261206);
    for (int step = 0; step < 3000 && !QTest::currentTestFailed(); ++step) {
        randomStep(random);
        for (int port = PORT; port < PORT + 3; ++port)
            compareReads(random, port, step);
    }
}

void TestStorage::randomStep(QRandomGenerator& random)
{
    const int index = random.bounded(14); // D12 and D13 never register
    const QString devEui = QStringLiteral("D%1").arg(index);
    const auto stored = [&devEui](const char* column) {
        return rows(QStringLiteral("SELECT %1 FROM devices WHERE dev_eui = '%2';").arg(column, devEui))
            .value(0);
    };
    const int action = random.bounded(100);
    if (action < 18 && index < 12) {
        static const QList<int> sizes = {1, 8, 16, 16, 16, 24, 32, 32, 48, 64, 128};
        QList<REGS::SRegisterInfo> registers;
        for (int i = random.bounded(0, 7); i > 0; --i)
            registers << reg(random.bounded(0, 9), sizes.at(random.bounded(sizes.size())));
        const bool breaks =
            random.bounded(8) == 0 && inspect().exec(BREAKER.arg("INSERT", "NEW.reg_addr % 3 = 1"));
        storage->registerNewDevice(device(devEui, devEui, randomAddress(random), registers),
                                   static_cast<unsigned short>(PORT + random.bounded(3)));
        if (breaks)
            QVERIFY(inspect().exec(QStringLiteral("DROP TRIGGER breaker;")));
    } else if (action < 26) {
        storage->deleteDevice(stored("device").toUInt());
    } else {
        // Mostly the registered start address, sometimes another one.
        DB::SDbDeviceRegDataSet set =
            dataSet(devEui, random.bounded(10) == 0 ? random.bounded(60) : stored("start_addr").toInt());
        for (int i = random.bounded(1, 10); i > 0; --i)
            set.rewriteList << DB::SDbDeviceRegDataRewrite{"abcd", randomFullValue(random),
                                                           random.bounded(-1, 12)};
        storage->saveRegisterData(set);
    }
}

// Reads of random blocks, from the image and (the last) through SQL.
void TestStorage::compareReads(QRandomGenerator& random, int port, int step)
{
    const QMap<qint64, unsigned short> words = wordsFromRows(port);
    for (int i = 0; i < 9; ++i) {
        const QPair<int, int> block(randomAddress(random), random.bounded(126));
        QMap<unsigned short, unsigned short> expected;
        for (int k = 0; k < block.second; ++k)
            expected.insert(static_cast<unsigned short>(block.first + k),
                            words.value(qint64(block.first) + k));
        storage->setRegisterImagesEnabled(i < 8);
        const bool same = storage->getRegisterData(port, block.first, block.second) == expected;
        storage->setRegisterImagesEnabled(true);
        QVERIFY2(same, qPrintable(QString::asprintf("step %d, port %d, read %d: %d+%d", step, port, i,
                                                    block.first, block.second)));
    }
}

// Saves run in a storage thread, posted as the decoder posts them, while the
// main thread reads; every set writes one counter into all ten registers, so a
// read must never see two different counters. Whoever hears of a commit reads
// its packet. A stop stores what is still queued and leaves server.db whole.
void TestStorage::threadStress()
{
    QList<REGS::SRegisterInfo> registers;
    for (int i = 0; i < 10; ++i)
        registers << reg(i);
    QVERIFY(storage->registerNewDevice(device("70B3", "Meter", 100, registers), PORT));
    std::atomic<int> heard{0};
    std::atomic<int> stale{0};
    connect(
        storage, &CDataBaseHandler::registerDataCommitted, storage,
        [&](const QString&) {
            QVector<unsigned short> words;
            stale += !storage->readRegisterWords(PORT, 100, 10, words) || words.value(9) != heard;
            ++heard;
        },
        Qt::DirectConnection);
    QThread worker;
    storage->moveToThread(&worker);
    worker.start();

    const int sets = 6000;
    int lastSeen = -1;
    int changes = 0;
    for (int n = 0; n < sets; ++n) {
        const QString word = QStringLiteral("%1").arg(n, 4, 16, QLatin1Char('0'));
        QVERIFY(QMetaObject::invokeMethod(storage, "saveRegisterData", Qt::QueuedConnection,
                                          Q_ARG(DB::SDbDeviceRegDataSet, packet("70B3", 100, word, 10))));
        // Reads go on while the saves are more than a few packets behind.
        do {
            QVector<unsigned short> words;
            QVERIFY(storage->readRegisterWords(PORT, 100, 10, words));
            QVERIFY2(words.size() == 10 && words.count(words.first()) == 10, "a read saw half a packet");
            QVERIFY2(lastSeen <= words.first(), "a read went back to an older packet");
            changes += lastSeen != words.first();
            lastSeen = words.first();
        } while (heard < n - 20);
    }
    QVERIFY(QMetaObject::invokeMethod(storage, "shutdown", Qt::BlockingQueuedConnection));
    worker.quit();
    worker.wait();

    QVERIFY2(changes > 2, "the reads never overlapped the saves");
    QCOMPARE(heard.load(), sets);
    QCOMPARE(stale.load(), 0);
    QCOMPARE(int(storage->getRegisterData(PORT, 109, 1).value(109)), sets - 1);
    QCOMPARE(loggedLines(), QStringList());
    // server.db copied alone, without its journal, holds every row.
    QVERIFY(QFileInfo(DB::DB_FILENAME + "-wal").size() == 0);
    QVERIFY(QDir().mkdir("copy") && QFile::copy(DB::DB_FILENAME, "copy/" + DB::DB_FILENAME));
    QCOMPARE(rows("SELECT COUNT(*), group_concat(DISTINCT full_value) FROM dev_data;", 2,
                  "copy/" + DB::DB_FILENAME),
             QStringList{QStringLiteral("10|%1").arg(sets - 1, 0, 16)});
}

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
