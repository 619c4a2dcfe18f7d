#include <QtTest>

#include <QDir>
#include <QMutex>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

#include "app/CLogFile.h"
#include "app/global.h"
#include "storage/CDataBaseHandler.h"
#include "storage/CRegisterImage.h"

Q_DECLARE_METATYPE(DB::SDeviceRegMapDescription)

namespace {
const QString INSPECT = QStringLiteral("inspect");
const int PORT = 502;

REGS::SRegisterInfo reg(int bias, int bits = 16, const QString& type = REGS::REGS_JSON_KEY_TYPE_UINT)
{
    REGS::SRegisterInfo info;
    info.dataName = QStringLiteral("r%1").arg(bias);
    info.source = 1;
    info.regMapBias = bias;
    info.regBitSize = bits;
    info.dataType = type;
    return info;
}

DB::SDeviceRegMapDescription device(const QString& devEui, const QString& name, int startAddr,
                                    const QList<REGS::SRegisterInfo>& registers)
{
    return DB::SDeviceRegMapDescription{devEui, QStringLiteral("APPEUI01"), name, startAddr, registers};
}

DB::SDbDeviceRegDataSet dataSet(const QString& devEui, int startAddr = 0)
{
    DB::SDbDeviceRegDataSet set;
    set.devEui = devEui;
    set.startAddr = startAddr;
    return set;
}

QStringList loggedLines()
{
    QCoreApplication::processEvents();
    QFile file(COMM::LOG_FILENAME);
    file.open(QIODevice::ReadOnly);
    QStringList lines;
    const QStringList entries =
        QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& entry : entries)
        lines << entry.mid(entry.indexOf(QLatin1Char(']')) + 1);
    return lines;
}

// "addr=word" per entry, words in four hex digits, for readable comparisons.
QStringList wordList(const QMap<unsigned short, unsigned short>& words)
{
    QStringList list;
    for (auto it = words.cbegin(); it != words.cend(); ++it)
        list << QStringLiteral("%1=%2").arg(it.key()).arg(it.value(), 4, 16, QLatin1Char('0'));
    return list;
}

QSqlDatabase inspect()
{
    if (QSqlDatabase::contains(INSPECT))
        return QSqlDatabase::database(INSPECT);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), INSPECT);
    db.setDatabaseName(QDir::current().absoluteFilePath(DB::DB_FILENAME));
    db.open();
    return db;
}

QStringList rows(const QString& sql, int columns)
{
    QSqlQuery query(inspect());
    if (!query.exec(sql))
        return {query.lastError().text()};
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
    return rows(QStringLiteral("SELECT COUNT(*) FROM %1;").arg(table), 1).value(0).toInt();
}

bool execInspect(const QString& sql)
{
    QSqlQuery query(inspect());
    return query.exec(sql);
}

QStringList names(QSqlQuery query)
{
    QStringList list;
    while (query.next())
        list << query.value(DB::DEV_COL_NAME).toString();
    return list;
}

// Register words of a port straight from its rows, decoded with fromHex: at
// each address the last row in read order that covers it.
QMap<qint64, unsigned short> wordsFromRows(int port)
{
    QMap<qint64, unsigned short> words;
    QSqlQuery query(inspect());
    query.prepare(QStringLiteral("SELECT reg_addr, bit_size, full_value FROM dev_data WHERE port = ? "
                                 "ORDER BY reg_addr ASC, rowid ASC;"));
    query.addBindValue(port);
    if (!query.exec())
        return words;
    while (query.next()) {
        const qint64 regAddr = query.value(0).toInt();
        const int bits = query.value(1).toInt();
        const QByteArray image = QByteArray::fromHex(query.value(2).toString().toUtf8());
        const auto byteAt = [&image](int i) { return i < image.size() ? quint8(image.at(i)) : 0; };
        if (bits <= 16) {
            words[regAddr] = static_cast<unsigned short>(byteAt(0) * 256 + byteAt(1));
            continue;
        }
        for (int k = 0; k <= (bits - 1) / 16; ++k)
            words[regAddr + k] = image.size() >= 2 * k + 2
                                     ? static_cast<unsigned short>(byteAt(2 * k) * 256 + byteAt(2 * k + 1))
                                     : 0;
    }
    return words;
}

QMap<unsigned short, unsigned short> expectedRead(const QMap<qint64, unsigned short>& words, int first,
                                                  int count)
{
    QMap<unsigned short, unsigned short> result;
    for (int i = 0; i < count; ++i)
        result.insert(static_cast<unsigned short>(first + i), words.value(qint64(first) + i, 0));
    return result;
}

// A random full value: NULL, hex digits of any length, or text with other characters.
QString randomFullValue(QRandomGenerator& random)
{
    static const QString alphabet = QStringLiteral("0123456789abcdefABCDEF xg-\u00b0\u20ac");
    switch (random.bounded(4)) {
    case 0:
        return QString();
    case 1: {
        QString text;
        const int length = random.bounded(1, 8);
        for (int i = 0; i < length; ++i)
            text += alphabet.at(random.bounded(alphabet.size()));
        return text;
    }
    default: {
        QString digits;
        const int length = random.bounded(1, 35);
        for (int i = 0; i < length; ++i)
            digits += QString::number(random.bounded(16), 16);
        return digits;
    }
    }
}

int randomStartAddr(QRandomGenerator& random)
{
    const int pick = random.bounded(50);
    if (pick == 0)
        return 300000; // spreads its port too wide for an image in memory
    if (pick < 8)
        return random.bounded(65520, 65536); // data running past 65535 wrap in 16-bit keys
    return random.bounded(0, 60);
}

int randomFirstRegister(QRandomGenerator& random)
{
    const int pick = random.bounded(10);
    if (pick == 0)
        return random.bounded(299990, 300010);
    if (pick < 3)
        return random.bounded(65500, 65536);
    return random.bounded(0, 150);
}

QMutex warningsMutex;
QStringList warnings;

void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    QMutexLocker locker(&warningsMutex);
    warnings << message;
}
} // namespace

class TestStorage : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir* dir = nullptr;
    QString previousDir;
    CDataBaseHandler* storage = nullptr;

    void registerImage(const QStringList& data);
    void randomRegistration(QRandomGenerator& random, const QStringList& devEuis, const QList<int>& ports);
    void randomSave(QRandomGenerator& random, const QStringList& devEuis);
    void randomParamUpdate(QRandomGenerator& random);
    void compareReads(QRandomGenerator& random, const QList<int>& ports, int step);

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void schemaColumns_data();
    void schemaColumns();
    void schemaIndexes_data();
    void schemaIndexes();
    void secondStartKeepsRows();
    void failedIndexStopsTheRest();
    void unopenableDatabase_data();
    void unopenableDatabase();

    void registrationWritesRows();
    void registrationEdgeCases_data();
    void registrationEdgeCases();
    void registrationIsAllOrNothing_data();
    void registrationIsAllOrNothing();
    void deleteDevice();
    void deleteIsAllOrNothing();
    void deviceFilter_data();
    void deviceFilter();
    void registeredDevicesAreUpperCase();
    void registerParam_data();
    void registerParam();
    void updateRegInfo();

    void saveRefused_data();
    void saveRefused();
    void saveWritesRows();
    void failingEntryStandsAlone();
    void registerData_data();
    void registerData();
    void registerDataIndependentOfRange();
    void imageReadsLikeFromHex();
    void devicesOnOnePortMerge();
    void registerDataFailures_data();
    void registerDataFailures();
    void registerImageMatchesRows();
    void threadStress();
};

void TestStorage::initTestCase()
{
    qRegisterMetaType<DB::SDbDeviceRegDataSet>("DB::SDbDeviceRegDataSet");
}

void TestStorage::init()
{
    dir = new QTemporaryDir();
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    storage = CDataBaseHandler::getInstance();
}

void TestStorage::cleanup()
{
    CDataBaseHandler::resetInstance();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (QSqlDatabase::contains(INSPECT)) {
        QSqlDatabase::database(INSPECT).close();
        QSqlDatabase::removeDatabase(INSPECT);
    }
    QCoreApplication::processEvents();
    delete CLogFile::getInstance();
    QDir::setCurrent(previousDir);
    delete dir;
}

void TestStorage::schemaColumns_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("columns");
    // cid|name|type|notnull|default|pk
    QTest::newRow("devices has its six columns in order")
        << DB::DB_TABLE_DEVICES << QStringList{"0|device|INTEGER|1|NULL|1", "1|name|TEXT|0|NULL|0",
                                               "2|app_eui|TEXT|0|NULL|0",   "3|dev_eui|TEXT|0|NULL|0",
                                               "4|port|INTEGER|0|NULL|0",   "5|start_addr|INTEGER|0|NULL|0"};
    QTest::newRow("dev_data has its fourteen columns in order")
        << DB::DB_TABLE_DEVDATA
        << QStringList{"0|device|INTEGER|1|NULL|0",      "1|port|INTEGER|0|NULL|0",
                       "2|reg_addr|INTEGER|0|NULL|0",    "3|start_value|INTEGER|0|NULL|0",
                       "4|grating_period|REAL|0|NULL|0", "5|bit_size|REAL|0|NULL|0",
                       "6|data_type|TEXT|0|NULL|0",      "7|value|TEXT|0|NULL|0",
                       "8|full_value|TEXT|0|NULL|0",     "9|time|INTEGER|0|NULL|0",
                       "10|name|TEXT|0|NULL|0",          "11|unit|TEXT|0|NULL|0",
                       "12|parent|INTEGER|0|NULL|0",     "13|source|INTEGER|0|NULL|0"};
}

void TestStorage::schemaColumns()
{
    QFETCH(QString, table);
    QFETCH(QStringList, columns);
    QVERIFY(storage);
    QCOMPARE(rows(QStringLiteral("PRAGMA table_info(%1);").arg(table), 6), columns);
    // The four value columns declare DEFAULT NULL; the pragma reports that as the text NULL.
    const QStringList defaults = rows(
        QStringLiteral("SELECT name FROM pragma_table_info('%1') WHERE dflt_value = 'NULL';").arg(table), 1);
    QCOMPARE(defaults, table == DB::DB_TABLE_DEVDATA
                           ? QStringList({"value", "full_value", "time", "name", "unit"})
                           : QStringList());
    const QString create =
        rows(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = '%1';").arg(table), 1).value(0);
    QCOMPARE(create.contains(QLatin1String("AUTOINCREMENT NOT NULL UNIQUE")), table == DB::DB_TABLE_DEVICES);
}

void TestStorage::schemaIndexes_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("indexes");
    QTest::newRow("devices is indexed by EUI and by id")
        << DB::DB_TABLE_DEVICES << QStringList{"idx_device:device", "idx_eui:dev_eui"};
    QTest::newRow("dev_data is indexed for lists, registers and Modbus reads")
        << DB::DB_TABLE_DEVDATA
        << QStringList{"idx_dev_parent:device,parent", "idx_dev_regaddr:device,reg_addr",
                       "idx_port_regaddr:port,reg_addr"};
}

void TestStorage::schemaIndexes()
{
    QFETCH(QString, table);
    QFETCH(QStringList, indexes);
    QVERIFY(storage);
    QStringList found;
    for (const QString& line : rows(QStringLiteral("PRAGMA index_list(%1);").arg(table), 4)) {
        const QStringList cells = line.split(QLatin1Char('|'));
        if (cells.value(3) != QLatin1String("c"))
            continue; // automatic indexes of constraints
        QStringList columns;
        for (const QString& info : rows(QStringLiteral("PRAGMA index_info(%1);").arg(cells.value(1)), 3))
            columns << info.section(QLatin1Char('|'), 2);
        found << cells.value(1) + QLatin1Char(':') + columns.join(QLatin1Char(','));
    }
    found.sort();
    QCOMPARE(found, indexes);
    QCOMPARE(rows(QStringLiteral("PRAGMA journal_mode;"), 1), QStringList{"wal"});
}

void TestStorage::secondStartKeepsRows()
{
    QVERIFY(storage->registerNewDevice(device("7A5200", "Meter", 100, {reg(0), reg(1, 32)}), PORT));
    DB::SDbDeviceRegDataSet set = dataSet("7A5200", 100);
    set.appendRewriteData("0042", 0, "0042");
    set.appendRewriteData("0001", 1, "0001e240");
    storage->saveRegisterData(set);
    const QStringList before = rows(QStringLiteral("SELECT * FROM dev_data;"), 14);

    CDataBaseHandler::resetInstance();
    storage = CDataBaseHandler::getInstance();
    QVERIFY(storage);
    QCOMPARE(storage->getRegisteredDevices(), QStringList{"7A5200"});
    QCOMPARE(rows(QStringLiteral("SELECT * FROM dev_data;"), 14), before);
    QCOMPARE(wordList(storage->getRegisterData(PORT, 100, 3)),
             QStringList({"100=0042", "101=0001", "102=e240"}));
}

// An older devices table without dev_eui: its index fails, is logged with its
// statement, and no index of dev_data is attempted.
void TestStorage::failedIndexStopsTheRest()
{
    CDataBaseHandler::resetInstance();
    QFile::remove(DB::DB_FILENAME);
    QVERIFY(execInspect(QStringLiteral("CREATE TABLE devices (device INTEGER);")));
    storage = CDataBaseHandler::getInstance();
    QVERIFY(storage);
    const QStringList lines = loggedLines();
    const int at = lines.indexOf(QRegularExpression(
        QStringLiteral("^ERROR \\[operator\\(\\)-\\d+\\]: invalid sql request 3 for <devices.idx_eui>!$")));
    QVERIFY2(at >= 0, qPrintable(lines.join(QLatin1Char('\n'))));
    QCOMPARE(lines.value(at + 1),
             QStringLiteral("CREATE INDEX IF NOT EXISTS idx_eui ON devices ( dev_eui );"));
    QCOMPARE(rows(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'index';"), 1), QStringList());
}

void TestStorage::unopenableDatabase_data()
{
    QTest::addColumn<bool>("removeDirectory");
    QTest::newRow("a directory without write permission") << false;
    QTest::newRow("a working directory that no longer exists") << true;
}

void TestStorage::unopenableDatabase()
{
    QFETCH(bool, removeDirectory);
    CDataBaseHandler::resetInstance();
    const QString writable = QDir::currentPath();
    const QString locked = writable + QStringLiteral("/locked");
    QVERIFY(QDir().mkdir(locked));
    QVERIFY(QDir::setCurrent(locked));
    if (removeDirectory) {
        QVERIFY(QDir().rmdir(locked));
    } else {
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
        if (geteuid() == 0) {
            QDir::setCurrent(writable);
            QSKIP("root writes into read-only directories");
        }
    }

    QCOMPARE(CDataBaseHandler::getInstance(), nullptr);
    QVERIFY(QDir::setCurrent(writable));
    const QStringList critical = loggedLines().filter(QStringLiteral("CRITICAL_ERROR!"));
    QCOMPARE(critical.size(), 1);
    const QRegularExpression line(QStringLiteral("^CRITICAL_ERROR! Data base hasn't been created/opened! "
                                                 "Error_text\\[(.+)\\]\\. DataBaseHandler is not running!$"));
    const QRegularExpressionMatch match = line.match(critical.first());
    QVERIFY2(match.hasMatch(), qPrintable(critical.first()));
    QVERIFY2(match.captured(1).contains(QLatin1String("unable to open database file")),
             qPrintable(critical.first()));

    // The failure is not sticky: once the directory is usable the next call opens the file.
    storage = CDataBaseHandler::getInstance();
    QVERIFY(storage);
    QVERIFY(storage->registerNewDevice(device("AA01", "After", 0, {reg(0)}), PORT));
    QCOMPARE(storage->getRegisteredDevices(), QStringList{"AA01"});
}

void TestStorage::registrationWritesRows()
{
    REGS::SRegisterInfo temp = reg(2, 32, REGS::REGS_JSON_KEY_TYPE_INT);
    temp.startValue = -40.5;
    temp.gratingPeriod = 0.25;
    temp.unit = QStringLiteral("°C");
    REGS::SRegisterInfo rssi = reg(0);
    rssi.source = 0;
    QVERIFY(storage->registerNewDevice(device("7A5200", "Meter", 100, {rssi, temp}), 1502));
    QCOMPARE(rows(QStringLiteral("SELECT * FROM devices;"), 6),
             QStringList{"1|Meter|APPEUI01|7A5200|1502|100"});
    QCOMPARE(rows(QStringLiteral("SELECT * FROM dev_data ORDER BY reg_addr;"), 14),
             QStringList({"1|1502|100|0|1|16|uinteger|NULL|NULL|NULL|r0|NULL|1|0",
                          "1|1502|102|-40.5|0.25|32|integer|NULL|NULL|NULL|r2|°C|1|1"}));
    QSqlQuery registers = storage->getRegisters(1);
    QVERIFY(registers.next());
    QCOMPARE(registers.value(DB::DATA_COL_REGADDR).toInt(), 100);
    QVERIFY(registers.next());
    QCOMPARE(registers.value(DB::DATA_COL_UNIT).toString(), QStringLiteral("°C"));
    QVERIFY(!registers.next());
}

void TestStorage::registrationEdgeCases_data()
{
    QTest::addColumn<DB::SDeviceRegMapDescription>("first");
    QTest::addColumn<DB::SDeviceRegMapDescription>("second");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("registers");
    const auto meter = device("7A5200", "Meter", 0, {reg(0), reg(1)});
    QTest::newRow("an EUI already registered is refused and named in the log")
        << meter << device("7A5200", "Other", 10, {reg(0)}) << false
        << "ERROR: [CDataBaseHandler::registerNewDevice] Device [7A5200] already exist!" << 1 << 2;
    QTest::newRow("two registers at one offset keep the first and warn with the address in hex")
        << meter << device("B1", "Twin", 0, {reg(10), reg(10, 32)}) << true
        << "WARNING: [CDataBaseHandler::registerNewDevice] Register [0x000a] for device [B1] already exist!"
        << 2 << 3;
    QTest::newRow("an empty register list registers the device alone")
        << meter << device("C1", "Bare", 0, {}) << true << QString() << 2 << 2;
    QTest::newRow("an EUI differing only in case is another device")
        << meter << device("70b3d5", "Lower", 0, {reg(0)}) << true << QString() << 2 << 3;
    QTest::newRow("an EUI shaped like an SQL condition matches no other device")
        << meter << device("x' OR '1'='1", "Quote", 0, {reg(0)}) << true << QString() << 2 << 3;
}

void TestStorage::registrationEdgeCases()
{
    QFETCH(DB::SDeviceRegMapDescription, first);
    QFETCH(DB::SDeviceRegMapDescription, second);
    QFETCH(bool, accepted);
    QFETCH(QString, logged);
    QFETCH(int, devices);
    QFETCH(int, registers);
    QVERIFY(storage->registerNewDevice(first, PORT));
    QCOMPARE(storage->registerNewDevice(second, PORT), accepted);
    const QStringList lines = loggedLines().filter(QStringLiteral("CDataBaseHandler"));
    QCOMPARE(lines, logged.isEmpty() ? QStringList() : QStringList{logged});
    QCOMPARE(count(DB::DB_TABLE_DEVICES), devices);
    QCOMPARE(count(DB::DB_TABLE_DEVDATA), registers);
}

void TestStorage::registrationIsAllOrNothing_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<QString>("logged");
    QTest::newRow("a register row failing half-way")
        << "CREATE TRIGGER breaker BEFORE INSERT ON dev_data WHEN NEW.reg_addr = 102 "
           "BEGIN SELECT RAISE(ABORT, 'forced'); END;"
        << "[CDataBaseHandler::registerNewDevice] Invalid SQL request [4]";
    QTest::newRow("the device row failing")
        << "CREATE TRIGGER breaker BEFORE INSERT ON devices BEGIN SELECT RAISE(ABORT, 'forced'); END;"
        << "[CDataBaseHandler::registerNewDevice] Invalid SQL request [2]";
}

void TestStorage::registrationIsAllOrNothing()
{
    QFETCH(QString, trigger);
    QFETCH(QString, logged);
    const auto meter = device("7A5200", "Meter", 100, {reg(0), reg(1), reg(2), reg(3)});
    QVERIFY(execInspect(trigger));
    QVERIFY(!storage->registerNewDevice(meter, PORT));
    QVERIFY(loggedLines().contains(logged));
    QCOMPARE(count(DB::DB_TABLE_DEVICES), 0);
    QCOMPARE(count(DB::DB_TABLE_DEVDATA), 0);

    QVERIFY(execInspect(QStringLiteral("DROP TRIGGER breaker;")));
    QVERIFY(storage->registerNewDevice(meter, PORT));
    QCOMPARE(count(DB::DB_TABLE_DEVICES), 1);
    QCOMPARE(count(DB::DB_TABLE_DEVDATA), 4);
}

void TestStorage::deleteDevice()
{
    QVERIFY(storage->registerNewDevice(device("A1", "One", 0, {reg(0), reg(1)}), PORT));
    QVERIFY(storage->registerNewDevice(device("B2", "Two", 10, {reg(0)}), PORT));
    QVERIFY(storage->deleteDevice(1));
    QCOMPARE(storage->getRegisteredDevices(), QStringList{"B2"});
    QCOMPARE(rows(QStringLiteral("SELECT device, reg_addr FROM dev_data;"), 2), QStringList{"2|10"});
    QVERIFY(storage->deleteDevice(77));
    QCOMPARE(count(DB::DB_TABLE_DEVICES), 1);
    // Ids are never reused.
    QVERIFY(storage->registerNewDevice(device("A1", "One again", 0, {}), PORT));
    QCOMPARE(rows(QStringLiteral("SELECT device FROM devices WHERE dev_eui = 'A1';"), 1), QStringList{"3"});
}

void TestStorage::deleteIsAllOrNothing()
{
    QVERIFY(storage->registerNewDevice(device("A1", "One", 0, {reg(0), reg(1)}), PORT));
    QVERIFY(execInspect(QStringLiteral("CREATE TRIGGER breaker BEFORE DELETE ON dev_data "
                                       "BEGIN SELECT RAISE(ABORT, 'forced'); END;")));
    QVERIFY(!storage->deleteDevice(1));
    QVERIFY(
        loggedLines().contains(QStringLiteral("[CDataBaseHandler::deleteDevice] Invalid SQL request [2]")));
    QCOMPARE(count(DB::DB_TABLE_DEVICES), 1);
    QCOMPARE(count(DB::DB_TABLE_DEVDATA), 2);
    QVERIFY(execInspect(QStringLiteral("DROP TRIGGER breaker;")));
    QVERIFY(storage->deleteDevice(1));
    QCOMPARE(count(DB::DB_TABLE_DEVICES) + count(DB::DB_TABLE_DEVDATA), 0);
}

void TestStorage::deviceFilter_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("ab lists ABC before Lab 1, ignoring case") << "ab" << QStringList{"ABC", "Lab 1"};
    QTest::newRow("an empty filter lists every device by name")
        << QString()
        << QStringList{"50% off", "500 units", "ABC", "Lab 1", "a\"b", "back\\slash", "x_y", "xay", "zeta"};
    QTest::newRow("a percent sign is matched literally") << "50%" << QStringList{"50% off"};
    QTest::newRow("an underscore is matched literally") << "_" << QStringList{"x_y"};
    QTest::newRow("a backslash is matched literally") << "\\" << QStringList{"back\\slash"};
    QTest::newRow("a double quote is matched literally") << "a\"b" << QStringList{"a\"b"};
    QTest::newRow("a quoted OR condition matches nothing") << "x\" OR \"1\"=\"1" << QStringList();
    QTest::newRow("a DROP statement matches nothing") << "'; DROP TABLE devices; --" << QStringList();
}

void TestStorage::deviceFilter()
{
    QFETCH(QString, filter);
    QFETCH(QStringList, expected);
    const QStringList all = {"Lab 1", "ABC", "zeta", "50% off",    "500 units",
                             "x_y",   "xay", "a\"b", "back\\slash"};
    for (int i = 0; i < all.size(); ++i)
        QVERIFY(storage->registerNewDevice(device(QStringLiteral("EUI%1").arg(i), all.at(i), 0, {}), PORT));
    QCOMPARE(names(storage->getDevices(filter)), expected);
    QCOMPARE(count(DB::DB_TABLE_DEVICES), all.size());
}

void TestStorage::registeredDevicesAreUpperCase()
{
    QVERIFY(storage->registerNewDevice(device("abcdef01", "Low", 0, {}), PORT));
    QVERIFY(storage->registerNewDevice(device("ABCDEF02", "Up", 0, {}), PORT));
    QStringList devEuis = storage->getRegisteredDevices();
    devEuis.sort(); // SQLite's order, which follows the EUI index
    QCOMPARE(devEuis, QStringList({"ABCDEF01", "ABCDEF02"}));
}

void TestStorage::registerParam_data()
{
    QTest::addColumn<QString>("devEui");
    QTest::addColumn<uint>("address");
    QTest::addColumn<uint>("regAddr");
    QTest::addColumn<double>("startValue");
    QTest::addColumn<double>("gratingPeriod");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<bool>("missing");
    QTest::newRow("a registered register gives its scaling and unit")
        << "70B3" << 101u << 101u << -5.5 << 0.1 << "°C" << false;
    QTest::newRow("an address without a row gives the defaults")
        << "70B3" << 150u << 0u << 0.0 << 1.0 << QString() << true;
    QTest::newRow("the EUI is compared case-sensitively")
        << "70b3" << 101u << 0u << 0.0 << 1.0 << QString() << true;
    QTest::newRow("an EUI shaped like an SQL condition finds nothing")
        << "x' OR '1'='1" << 101u << 0u << 0.0 << 1.0 << QString() << true;
}

void TestStorage::registerParam()
{
    QFETCH(QString, devEui);
    QFETCH(uint, address);
    QFETCH(bool, missing);
    REGS::SRegisterInfo scaled = reg(1);
    scaled.startValue = -5.5;
    scaled.gratingPeriod = 0.1;
    scaled.unit = QStringLiteral("°C");
    QVERIFY(storage->registerNewDevice(device("70B3", "Meter", 100, {reg(0), scaled}), PORT));

    const DB::SDbRegParamInfo param = storage->getRegisterParam(devEui, address);
    QTEST(param.regAddr, "regAddr");
    QTEST(param.startValue, "startValue");
    QTEST(param.gratingPeriod, "gratingPeriod");
    QTEST(param.unit, "unit");
    const QStringList lines = loggedLines();
    const int at =
        lines.indexOf(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!"));
    QCOMPARE(at >= 0, missing);
    if (missing)
        QVERIFY(
            lines.value(at + 1).startsWith(QLatin1String("SELECT * FROM dev_data WHERE dev_data.device IN")));
}

void TestStorage::updateRegInfo()
{
    QVERIFY(storage->registerNewDevice(device("A1", "One", 100, {reg(0), reg(1)}), PORT));
    QVERIFY(storage->registerNewDevice(device("B2", "Two", 100, {reg(0), reg(1)}), PORT));
    DB::SDbDevRegParamInfo info;
    info.deviceId = 1;
    info.params = {DB::SDbRegParamInfo{101, 3.0, 0.5, "kPa"}, DB::SDbRegParamInfo{999, 1.0, 1.0, "none"}};
    storage->updateRegInfo(info);
    const DB::SDbRegParamInfo changed = storage->getRegisterParam("A1", 101);
    QCOMPARE(changed.startValue, 3.0);
    QCOMPARE(changed.gratingPeriod, 0.5);
    QCOMPARE(changed.unit, QStringLiteral("kPa"));
    QCOMPARE(storage->getRegisterParam("A1", 100).unit, QString());
    QCOMPARE(storage->getRegisterParam("B2", 101).gratingPeriod, 1.0);
    QCOMPARE(count(DB::DB_TABLE_DEVDATA), 4);
}

void TestStorage::saveRefused_data()
{
    QTest::addColumn<QString>("devEui");
    QTest::addColumn<bool>("empty");
    QTest::addColumn<QString>("logged");
    QTest::newRow("an empty set writes nothing and says so")
        << "70B3" << true << "INFO: [CDataBaseHandler::saveRegisterData] Empty input data";
    QTest::newRow("an unknown EUI is reported")
        << "FFFF" << false << "ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [FFFF]";
    QTest::newRow("the EUI is compared case-sensitively")
        << "70b3" << false << "ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [70b3]";
    QTest::newRow("an EUI shaped like an SQL condition matches no device")
        << "' OR '1'='1" << false
        << "ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [' OR '1'='1]";
}

void TestStorage::saveRefused()
{
    QFETCH(QString, devEui);
    QFETCH(bool, empty);
    QFETCH(QString, logged);
    QVERIFY(storage->registerNewDevice(device("70B3", "Meter", 0, {reg(0)}), PORT));
    DB::SDbDeviceRegDataSet set = dataSet(devEui);
    if (!empty)
        set.appendRewriteData("1234", 0, "1234");
    storage->saveRegisterData(set);
    QCOMPARE(loggedLines().filter(QStringLiteral("CDataBaseHandler")), QStringList{logged});
    QCOMPARE(rows(QStringLiteral("SELECT value, full_value, time FROM dev_data;"), 3),
             QStringList{"NULL|NULL|NULL"});
}

void TestStorage::saveWritesRows()
{
    const QString quoted = QStringLiteral("ab'cd\"ef");
    QVERIFY(storage->registerNewDevice(device(quoted, "Quoted", 100, {reg(0, 32), reg(5), reg(6)}), PORT));
    DB::SDbDeviceRegDataSet set = dataSet(quoted, 100);
    set.appendRewriteData("0001", 0, "0001e240");
    set.appendRewriteData("e240", 1, QString()); // second word of the datum: no row of its own
    set.appendRewriteData("00ff", 5, QString());
    set.appendRewriteData("0007", 6, "0007");
    set.appendRewriteData(QString(), 7, "ignored");
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    storage->saveRegisterData(set);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    const QStringList stored = rows(QStringLiteral("SELECT reg_addr, value, full_value FROM dev_data "
                                                   "ORDER BY reg_addr;"),
                                    3);
    QCOMPARE(stored, QStringList({"100|0001|0001e240", "105|00ff|NULL", "106|0007|0007"}));
    for (const QString& time : rows(QStringLiteral("SELECT time FROM dev_data;"), 1))
        QVERIFY(time.toLongLong() >= before && time.toLongLong() <= after);
    QVERIFY(loggedLines().filter(QStringLiteral("CDataBaseHandler")).isEmpty());
    QCOMPARE(
        wordList(storage->getRegisterData(PORT, 100, 7)),
        QStringList({"100=0001", "101=e240", "102=0000", "103=0000", "104=0000", "105=0000", "106=0007"}));
}

// A packet is committed at once, yet an entry that fails undoes only itself,
// and reads show the entries that were stored.
void TestStorage::failingEntryStandsAlone()
{
    QVERIFY(storage->registerNewDevice(device("A1", "One", 100, {reg(0), reg(1), reg(2)}), PORT));
    QCOMPARE(wordList(storage->getRegisterData(PORT, 100, 3)),
             QStringList({"100=0000", "101=0000", "102=0000"}));
    QVERIFY(
        execInspect(QStringLiteral("CREATE TRIGGER breaker BEFORE UPDATE ON dev_data WHEN NEW.reg_addr = 101 "
                                   "BEGIN SELECT RAISE(ABORT, 'forced'); END;")));
    DB::SDbDeviceRegDataSet set = dataSet("A1", 100);
    for (int offset = 0; offset < 3; ++offset)
        set.appendRewriteData("1111", offset, QStringLiteral("%1%1%1%1").arg(offset + 1));
    storage->saveRegisterData(set);

    const QStringList lines = loggedLines();
    const int at =
        lines.indexOf(QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [2]"));
    QVERIFY(at >= 0);
    QCOMPARE(lines.mid(at + 1),
             QStringList({"    Query [UPDATE dev_data SET value=:value, full_value=:full_value, "
                          "time=:time WHERE device=:device AND reg_addr=:reg_addr;]",
                          "    Set: deviceId[1], regAddr[101]"}));
    QCOMPARE(rows(QStringLiteral("SELECT reg_addr, full_value FROM dev_data ORDER BY reg_addr;"), 2),
             QStringList({"100|1111", "101|NULL", "102|3333"}));
    QCOMPARE(wordList(storage->getRegisterData(PORT, 100, 3)),
             QStringList({"100=1111", "101=0000", "102=3333"}));
}

// Registers one device on PORT whose data are "address:bits:full value"
// (NULL for a datum never written) and stores the values.
void TestStorage::registerImage(const QStringList& data)
{
    QList<REGS::SRegisterInfo> registers;
    DB::SDbDeviceRegDataSet set = dataSet("IMG", 0);
    for (const QString& datum : data) {
        const QStringList parts = datum.split(QLatin1Char(':'));
        registers << reg(parts.at(0).toInt(), parts.at(1).toInt());
        if (parts.at(2) != QLatin1String("NULL"))
            set.appendRewriteData(parts.at(2).left(4), parts.at(0).toInt(), parts.at(2));
    }
    QVERIFY(storage->registerNewDevice(device("IMG", "Image", 0, registers), PORT));
    storage->saveRegisterData(set);
}

void TestStorage::registerData_data()
{
    QTest::addColumn<QStringList>("data");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("words");
    QTest::newRow("a 32-bit datum inside the range spans two words")
        << QStringList{"101:32:12345678"} << 100 << 3 << QStringList{"100=0000", "101=1234", "102=5678"};
    QTest::newRow("a 32-bit datum on the last requested word gives exactly the requested words")
        << QStringList{"102:32:12345678"} << 100 << 3 << QStringList{"100=0000", "101=0000", "102=1234"};
    QTest::newRow("a read starting inside a 32-bit datum gives its low word")
        << QStringList{"100:32:12345678"} << 101 << 1 << QStringList{"101=5678"};
    QTest::newRow("a read inside a 64-bit datum gives its middle words")
        << QStringList{"100:64:0011223344556677"} << 101 << 2 << QStringList{"101=2233", "102=4455"};
    QTest::newRow("a 128-bit datum reaches its eighth register")
        << QStringList{"100:128:00112233445566778899aabbccddeeff", "120:16:0001"} << 107 << 2
        << QStringList{"107=eeff", "108=0000"};
    QTest::newRow("a 16-bit datum with one byte reads it as the high byte")
        << QStringList{"100:16:0A"} << 100 << 1 << QStringList{"100=0a00"};
    QTest::newRow("text data decode as hexadecimal, skipping other characters")
        << QStringList{"100:16:1A2B", "101:16:1x2"} << 100 << 2 << QStringList{"100=1a2b", "101=1200"};
    QTest::newRow("a wide datum with an odd image reads 0 for its short word")
        << QStringList{"100:32:123456"} << 100 << 2 << QStringList{"100=1234", "101=0000"};
    QTest::newRow("a NULL full value reads 0")
        << QStringList{"100:16:NULL"} << 100 << 1 << QStringList{"100=0000"};
    QTest::newRow("a narrow datum inside a wide one wins its register")
        << QStringList{"100:32:12345678", "101:16:abcd"} << 101 << 1 << QStringList{"101=abcd"};
    QTest::newRow("a count of 0 gives an empty map")
        << QStringList{"100:16:1111"} << 100 << 0 << QStringList();
}

void TestStorage::registerData()
{
    QFETCH(QStringList, data);
    QFETCH(int, first);
    QFETCH(int, count);
    registerImage(data);
    QTEST(wordList(storage->getRegisterData(PORT, first, count)), "words");
}

void TestStorage::registerDataIndependentOfRange()
{
    registerImage({"95:16:0095", "96:64:1111222233334444", "100:32:aaaabbbb", "101:16:cccc",
                   "103:48:dddeeefff", "110:128:0102030405060708090a0b0c0d0e0f10", "111:16:7777",
                   "119:32:12345678"});
    const QMap<unsigned short, unsigned short> whole = storage->getRegisterData(PORT, 90, 40);
    QCOMPARE(whole.size(), 40);
    QCOMPARE(int(whole.value(97)), 0x2222);
    QCOMPARE(int(whole.value(111)), 0x7777);
    QCOMPARE(int(whole.value(120)), 0x5678);
    for (int first = 90; first < 130; ++first) {
        for (int length = 1; first + length <= 130 && length <= 9; ++length) {
            const QMap<unsigned short, unsigned short> part = storage->getRegisterData(PORT, first, length);
            QCOMPARE(part.size(), length);
            for (auto it = part.cbegin(); it != part.cend(); ++it)
                QVERIFY2(
                    it.value() == whole.value(it.key()),
                    qPrintable(
                        QStringLiteral("register %1 in read %2+%3").arg(it.key()).arg(first).arg(length)));
        }
    }
}

// The decoder skips the byte array that fromHex would build; it must read
// every text exactly as fromHex does.
void TestStorage::imageReadsLikeFromHex()
{
    const QList<QByteArray> texts = {"",
                                     "0",
                                     "0A",
                                     "123",
                                     "1x2",
                                     "12345678",
                                     "123456789",
                                     "ab cd ef",
                                     "\xc2\xb0"
                                     "C12",
                                     "AB",
                                     "fffF",
                                     "g0h1i2",
                                     "00112233445566778899"};
    for (const QByteArray& text : texts) {
        const QByteArray bytes = QByteArray::fromHex(text);
        const CRegisterImage image(text.constData(), text.size());
        for (int k = 0; k < 6; ++k) {
            const int high = bytes.size() > 2 * k ? static_cast<unsigned char>(bytes.at(2 * k)) : 0;
            const int low = bytes.size() > 2 * k + 1 ? static_cast<unsigned char>(bytes.at(2 * k + 1)) : 0;
            const int wide = bytes.size() >= 2 * k + 2 ? high * 256 + low : 0;
            QVERIFY2(image.word(k, false) == high * 256 + low, text.constData());
            QVERIFY2(image.word(k, true) == wide, text.constData());
        }
    }
}

void TestStorage::devicesOnOnePortMerge()
{
    QVERIFY(storage->registerNewDevice(device("A1", "One", 100, {reg(0), reg(1, 32)}), PORT));
    QVERIFY(storage->registerNewDevice(device("B2", "Two", 100, {reg(0)}), PORT));
    QVERIFY(storage->registerNewDevice(device("C3", "Elsewhere", 100, {reg(0)}), PORT + 1));
    for (const QString& devEui : QStringList{"A1", "B2", "C3"}) {
        DB::SDbDeviceRegDataSet set = dataSet(devEui, 100);
        const QString word = devEui.left(1).repeated(4);
        set.appendRewriteData(word, 0, word);
        set.appendRewriteData("1234", 1, "12345678");
        storage->saveRegisterData(set);
    }
    // B2 was registered later, so its row overwrites A1's at 100.
    QCOMPARE(wordList(storage->getRegisterData(PORT, 100, 3)),
             QStringList({"100=bbbb", "101=1234", "102=5678"}));
    QCOMPARE(wordList(storage->getRegisterData(PORT + 1, 100, 2)), QStringList({"100=cccc", "101=0000"}));
    QCOMPARE(wordList(storage->getRegisterData(PORT + 2, 100, 1)), QStringList{"100=0000"});
}

void TestStorage::registerDataFailures_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("logged");
    QTest::newRow("a failed query gives an empty map and logs the statement") << 2 << true;
    QTest::newRow("a count of 0 does not touch the database") << 0 << false;
}

void TestStorage::registerDataFailures()
{
    QFETCH(int, count);
    QFETCH(bool, logged);
    QVERIFY(execInspect(QStringLiteral("DROP TABLE dev_data;")));
    QVERIFY(storage->getRegisterData(PORT, 100, count).isEmpty());
    const QStringList lines = loggedLines();
    const int at =
        lines.indexOf(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterData] Invalid SQL request [1]"));
    QCOMPARE(at >= 0, logged);
    if (logged)
        QVERIFY(lines.value(at + 1).startsWith(
            QLatin1String("SELECT reg_addr, bit_size, CAST(full_value AS BLOB), device FROM dev_data")));
}

// Random registrations, deletions, failed registrations and saves (entries
// for unknown addresses and for the following registers of wide data among
// them) on a few ports; after every step each port's reads must equal what
// its rows say, and the SQL path must agree with the image.
void TestStorage::registerImageMatchesRows()
{
    const quint32 seed = 20261206;
    QRandomGenerator random(seed);
    const QList<int> ports = {PORT, PORT + 1, PORT + 2};
    QStringList devEuis;
    for (int i = 0; i < 12; ++i)
        devEuis << QStringLiteral("D%1").arg(i, 2, 10, QLatin1Char('0'));
    for (int step = 0; step < 3000; ++step) {
        const int action = random.bounded(100);
        if (action < 18)
            randomRegistration(random, devEuis, ports);
        else if (action < 26)
            storage->deleteDevice(random.bounded(1, 40));
        else if (action < 30)
            randomParamUpdate(random);
        else
            randomSave(random, devEuis);
        compareReads(random, ports, step);
        if (QTest::currentTestFailed())
            return;
    }
}

// Now and then a trigger makes a register row fail, so the whole registration rolls back.
void TestStorage::randomRegistration(QRandomGenerator& random, const QStringList& devEuis,
                                     const QList<int>& ports)
{
    QList<REGS::SRegisterInfo> registers;
    static const QList<int> sizes = {1, 8, 16, 16, 16, 24, 32, 32, 48, 64, 128};
    const int registerCount = random.bounded(0, 7);
    for (int i = 0; i < registerCount; ++i)
        registers << reg(random.bounded(0, 9), sizes.at(random.bounded(sizes.size())));
    const QString devEui = devEuis.at(random.bounded(devEuis.size()));
    const bool breaks = random.bounded(8) == 0;
    if (breaks)
        QVERIFY(execInspect(
            QStringLiteral("CREATE TRIGGER breaker BEFORE INSERT ON dev_data WHEN NEW.reg_addr % 3 = 1 "
                           "BEGIN SELECT RAISE(ABORT, 'forced'); END;")));
    storage->registerNewDevice(device(devEui, devEui, randomStartAddr(random), registers),
                               static_cast<unsigned short>(ports.at(random.bounded(ports.size()))));
    if (breaks)
        QVERIFY(execInspect(QStringLiteral("DROP TRIGGER breaker;")));
}

void TestStorage::randomSave(QRandomGenerator& random, const QStringList& devEuis)
{
    const QStringList stored = rows(QStringLiteral("SELECT start_addr FROM devices WHERE dev_eui = '%1';")
                                        .arg(devEuis.at(random.bounded(devEuis.size()))),
                                    1);
    // Mostly the registered start address, sometimes another one or an unknown EUI.
    DB::SDbDeviceRegDataSet set =
        dataSet(QStringLiteral("D%1").arg(random.bounded(14), 2, 10, QLatin1Char('0')),
                stored.isEmpty() || random.bounded(10) == 0 ? random.bounded(0, 60) : stored.first().toInt());
    const int entries = random.bounded(1, 10);
    for (int i = 0; i < entries; ++i)
        set.rewriteList << DB::SDbDeviceRegDataRewrite{QStringLiteral("abcd"), randomFullValue(random),
                                                       random.bounded(-1, 12)};
    storage->saveRegisterData(set);
}

void TestStorage::randomParamUpdate(QRandomGenerator& random)
{
    DB::SDbDevRegParamInfo info;
    info.deviceId = random.bounded(1, 40);
    info.params << DB::SDbRegParamInfo{static_cast<uint32_t>(random.bounded(0, 70)), 1.5, 2.0,
                                       QStringLiteral("V")};
    storage->updateRegInfo(info);
}

void TestStorage::compareReads(QRandomGenerator& random, const QList<int>& ports, int step)
{
    for (const int port : ports) {
        const QMap<qint64, unsigned short> words = wordsFromRows(port);
        // Half of the reads poll the same few blocks, as a SCADA client does,
        // so answers kept from earlier reads are checked after every change.
        static const QList<QPair<int, int>> polled = {{0, 125},    {10, 10},     {37, 50},
                                                      {65528, 16}, {299995, 20}, {58, 1}};
        for (int i = 0; i < 8; ++i) {
            const bool polls = random.bounded(2) == 0;
            const QPair<int, int> block = polled.at(random.bounded(polled.size()));
            const int first = polls ? block.first : randomFirstRegister(random);
            const int count = polls ? block.second : random.bounded(0, 126);
            const QMap<unsigned short, unsigned short> read = storage->getRegisterData(port, first, count);
            QVERIFY2(read == expectedRead(words, first, count),
                     qPrintable(QStringLiteral("step %1, port %2, read %3+%4: %5")
                                    .arg(step)
                                    .arg(port)
                                    .arg(first)
                                    .arg(count)
                                    .arg(wordList(read).join(QLatin1Char(' ')))));
        }
        const int first = randomFirstRegister(random);
        const QMap<unsigned short, unsigned short> cached = storage->getRegisterData(port, first, 125);
        storage->setRegisterImagesEnabled(false);
        const QMap<unsigned short, unsigned short> fromSql = storage->getRegisterData(port, first, 125);
        storage->setRegisterImagesEnabled(true);
        QVERIFY2(
            cached == fromSql,
            qPrintable(QStringLiteral("step %1, port %2, SQL read %3+125").arg(step).arg(port).arg(first)));
    }
}

// Saves run in a real storage thread, posted as the decoder posts them, while
// the main thread reads the same rows; every set writes one counter into all
// ten registers, so a read must never see two different counters.
void TestStorage::threadStress()
{
    QList<REGS::SRegisterInfo> registers;
    for (int i = 0; i < 10; ++i)
        registers << reg(i);
    QVERIFY(storage->registerNewDevice(device("70B3", "Meter", 100, registers), PORT));
    QSqlQuery heldUnread = storage->getRegisters(1);
    QSqlQueryModel model;

    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    QThread worker;
    storage->moveToThread(&worker);
    worker.start();

    const int sets = 6000;
    int lastSeen = -1;
    QSet<int> seen;
    for (int n = 0; n < sets; ++n) {
        DB::SDbDeviceRegDataSet set = dataSet("70B3", 100);
        const QString word = QStringLiteral("%1").arg(n, 4, 16, QLatin1Char('0'));
        for (int i = 0; i < 10; ++i)
            set.appendRewriteData(word, i, word);
        const Qt::ConnectionType type = n == sets - 1 ? Qt::BlockingQueuedConnection : Qt::QueuedConnection;
        QVERIFY(QMetaObject::invokeMethod(storage, "saveRegisterData", type,
                                          Q_ARG(DB::SDbDeviceRegDataSet, set)));

        const QList<unsigned short> words = storage->getRegisterData(PORT, 100, 10).values();
        QCOMPARE(words.size(), 10);
        QVERIFY2(words.count(words.first()) == 10, "a read saw half a packet");
        QVERIFY(lastSeen <= words.first());
        lastSeen = words.first();
        seen.insert(lastSeen);
        QCOMPARE(storage->getRegisterParam("70B3", 105).gratingPeriod, 1.0);
        if (n % 100 == 0) {
            model.setQuery(storage->getDevices("met"));
            QCOMPARE(model.rowCount(), 1);
            QCOMPARE(model.data(model.index(0, DB::DEV_COL_DEVEUI)).toString(), QStringLiteral("70B3"));
        }
    }
    worker.quit();
    worker.wait();
    qInstallMessageHandler(previous);

    QVERIFY2(seen.size() > 2, "the reads never overlapped the saves");

    // The unread query holds no snapshot: the last packet is visible to the main thread.
    QCOMPARE(int(storage->getRegisterData(PORT, 109, 1).value(109)), sets - 1);
    QVERIFY(heldUnread.next());
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    QVERIFY(loggedLines().filter(QStringLiteral("CDataBaseHandler")).isEmpty());
    model.clear();
}

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
