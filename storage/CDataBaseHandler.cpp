#include "storage/CDataBaseHandler.h"

#include <limits>

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QThread>
#include <QVariant>

#include "app/CLogFile.h"
#include "storage/CRegisterImage.h"

namespace {
CDataBaseHandler* instance = nullptr;
bool creationFailed = false;
int threadConnectionCount = 0;

const QString SQL_DRIVER = QStringLiteral("QSQLITE");

const QString& devCol(int column)
{
    return DB::DbTableDevicesList.at(column);
}

const QString& dataCol(int column)
{
    return DB::DbTableDevDataList.at(column);
}

// Fills the placeholders of a template one by one, lowest number first.
QString fillTemplate(const QString& sqlTemplate, const QStringList& names)
{
    QString sql = sqlTemplate;
    for (const QString& name : names)
        sql = sql.arg(name);
    return sql;
}

const QString& sqlCountDevice()
{
    static const QString sql = QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2=:%2;")
                                   .arg(DB::DB_TABLE_DEVICES, devCol(DB::DEV_COL_DEVEUI));
    return sql;
}

const QString& sqlInsertDevice()
{
    static const QString sql =
        QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5, %6) VALUES (:%2, :%3, :%4, :%5, :%6);")
            .arg(DB::DB_TABLE_DEVICES, devCol(DB::DEV_COL_NAME), devCol(DB::DEV_COL_APPEUI),
                 devCol(DB::DEV_COL_DEVEUI), devCol(DB::DEV_COL_PORT), devCol(DB::DEV_COL_STARTADDR));
    return sql;
}

const QString& sqlDeviceId()
{
    static const QString sql =
        QStringLiteral("SELECT %2 FROM %1 WHERE %3=:%3;")
            .arg(DB::DB_TABLE_DEVICES, devCol(DB::DEV_COL_DEVICE), devCol(DB::DEV_COL_DEVEUI));
    return sql;
}

const QString& sqlInsertRegister()
{
    static const QString sql = fillTemplate(
        QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12) "
                       "VALUES ( ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ? ) "),
        {DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_DEVICE), dataCol(DB::DATA_COL_PORT),
         dataCol(DB::DATA_COL_REGADDR), dataCol(DB::DATA_COL_STARTVALUE), dataCol(DB::DATA_COL_GRATINGPERIOD),
         dataCol(DB::DATA_COL_BITSIZE), dataCol(DB::DATA_COL_DATATYPE), dataCol(DB::DATA_COL_NAME),
         dataCol(DB::DATA_COL_PARENT), dataCol(DB::DATA_COL_SOURCE), dataCol(DB::DATA_COL_UNIT)});
    return sql;
}

QString sqlDeleteDevice(const QString& table, const QString& deviceColumn)
{
    return QStringLiteral("DELETE FROM %1 WHERE %2=:%2;").arg(table, deviceColumn);
}

QString sqlSelectDevices(bool filtered)
{
    // The user's text is bound as a pattern, never spliced into the statement.
    const QString condition =
        filtered ? QStringLiteral("WHERE %1 LIKE :%1 ESCAPE '\\'").arg(devCol(DB::DEV_COL_NAME)) : QString();
    return QStringLiteral("SELECT * FROM %1 %2 ORDER BY %3 ASC;")
        .arg(DB::DB_TABLE_DEVICES, condition, devCol(DB::DEV_COL_NAME));
}

const QString& sqlSelectRegisters()
{
    static const QString sql = QStringLiteral("SELECT * FROM %1 WHERE %2=:%2 AND %3=1 ORDER BY %4 ASC;")
                                   .arg(DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_DEVICE),
                                        dataCol(DB::DATA_COL_PARENT), dataCol(DB::DATA_COL_REGADDR));
    return sql;
}

const QString& sqlRegisteredDevices()
{
    static const QString sql =
        QStringLiteral("SELECT %2 FROM %1;").arg(DB::DB_TABLE_DEVICES, devCol(DB::DEV_COL_DEVEUI));
    return sql;
}

const QString& sqlRegisterParam()
{
    static const QString sql =
        QStringLiteral(
            "SELECT * FROM %1 WHERE %1.%3 IN ( SELECT %2.%4 FROM %2 WHERE %2.%5=:%5 ) AND %1.%6=:%6;")
            .arg(DB::DB_TABLE_DEVDATA, DB::DB_TABLE_DEVICES, dataCol(DB::DATA_COL_DEVICE),
                 devCol(DB::DEV_COL_DEVICE), devCol(DB::DEV_COL_DEVEUI), dataCol(DB::DATA_COL_REGADDR));
    return sql;
}

const QString& sqlUpdateRegInfo()
{
    static const QString sql =
        QStringLiteral("UPDATE %1 SET %2=:%2, %3=:%3, %4=:%4 WHERE %5=:%5 AND %6=:%6;")
            .arg(DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_STARTVALUE), dataCol(DB::DATA_COL_GRATINGPERIOD),
                 dataCol(DB::DATA_COL_UNIT), dataCol(DB::DATA_COL_DEVICE), dataCol(DB::DATA_COL_REGADDR));
    return sql;
}

const QString& sqlUpdateValue()
{
    static const QString sql =
        QStringLiteral("UPDATE %1 SET %2=:%2, %3=:%3, %4=:%4 WHERE %5=:%5 AND %6=:%6;")
            .arg(DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_VALUE), dataCol(DB::DATA_COL_FULLVALUE),
                 dataCol(DB::DATA_COL_TIME), dataCol(DB::DATA_COL_DEVICE), dataCol(DB::DATA_COL_REGADDR));
    return sql;
}

const QString& sqlWidestDatum()
{
    static const QString sql =
        QStringLiteral("SELECT MAX(%2) FROM %1 WHERE %3=:%3;")
            .arg(DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_BITSIZE), dataCol(DB::DATA_COL_PORT));
    return sql;
}

// Rows are taken from below the range too, as far back as the port's widest
// datum reaches, so a datum that starts before the range still shows in it.
// Equal addresses (devices sharing a port) come in insertion order, the later
// row winning. The full value comes as bytes: hex decoding needs no UTF-16
// copy of it. The same statement over all addresses builds a port's image.
const QString& sqlRegisterRange()
{
    static const QString sql =
        QStringLiteral(
            "SELECT %2, %3, CAST(%4 AS BLOB), %6 FROM %1 WHERE %5=:%5 AND %2 BETWEEN :low AND :high "
            "ORDER BY %2 ASC, rowid ASC;")
            .arg(DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_REGADDR), dataCol(DB::DATA_COL_BITSIZE),
                 dataCol(DB::DATA_COL_FULLVALUE), dataCol(DB::DATA_COL_PORT), dataCol(DB::DATA_COL_DEVICE));
    return sql;
}

QString placeholder(const QString& column)
{
    return QStringLiteral(":") + column;
}

// The user's text matched literally inside a LIKE pattern.
QString containsPattern(QString text)
{
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    text.replace(QLatin1Char('%'), QStringLiteral("\\%"));
    text.replace(QLatin1Char('_'), QStringLiteral("\\_"));
    return QStringLiteral("%") + text + QStringLiteral("%");
}

void logWithSql(const QString& line, const QString& sql)
{
    addLog(line);
    addLog(sql);
}

// WAL lets a reader and a writer on different connections proceed without
// blocking; NORMAL syncs only at checkpoints, which a process crash cannot
// corrupt (only a power cut may lose the last commits).
void tuneConnection(QSqlDatabase& connection)
{
    QSqlQuery query(connection);
    const bool wal = query.exec(QStringLiteral("PRAGMA journal_mode=WAL;")) && query.next() &&
                     query.value(0).toString().compare(QStringLiteral("wal"), Qt::CaseInsensitive) == 0;
    query.finish();
    if (!wal)
        addLog(QStringLiteral("WARNING: [CDataBaseHandler::tuneConnection] WAL journal is not available!"));
    query.exec(QStringLiteral("PRAGMA synchronous=NORMAL;"));
}

// Template offsets can be any int: addresses wrap as the decoder's offsets do
// instead of overflowing, so a save finds the row its registration wrote.
int registerAddress(int startAddr, int offset)
{
    return static_cast<int>(static_cast<unsigned int>(startAddr) + static_cast<unsigned int>(offset));
}
} // namespace

CDataBaseHandler* CDataBaseHandler::getInstance()
{
    if (!instance)
        instance = new CDataBaseHandler();
    if (creationFailed) {
        instance = nullptr;
        creationFailed = false;
        return nullptr;
    }
    return instance;
}

void CDataBaseHandler::resetInstance()
{
    delete instance;
    instance = nullptr;
    creationFailed = false;
}

CDataBaseHandler::CDataBaseHandler(QObject* parent) : QObject(parent)
{
    db = QSqlDatabase::addDatabase(SQL_DRIVER, DB::DB_NAME);
    db.setDatabaseName(DB::DB_FILENAME);
    if (!db.open()) {
        fail(QStringLiteral("CRITICAL_ERROR! Data base hasn't been created/opened! Error_text[%1]. "
                            "DataBaseHandler is not running!")
                 .arg(db.lastError().text()));
        return;
    }
    dbPath = QFileInfo(DB::DB_FILENAME).absoluteFilePath();
    tuneConnection(db);
    if (createTables())
        createIndexes();
}

CDataBaseHandler::~CDataBaseHandler()
{
    releaseConnections();
}

void CDataBaseHandler::fail(const QString& message)
{
    qDebug().noquote() << message;
    addLog(message);
    // The connection name is freed at once so that the next getInstance can try again.
    releaseConnections();
    deleteLater();
    creationFailed = true;
}

bool CDataBaseHandler::createTables()
{
    return createTable(
               DB::DB_TABLE_DEVICES, DB::DbTableDevicesList.size() == DB::DEV_COL_COUNT,
               QStringLiteral("CREATE TABLE IF NOT EXISTS %1 ( %2 INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL "
                              "UNIQUE, %3 TEXT, %4 TEXT, %5 TEXT, %6 INTEGER, %7 INTEGER ); ")) &&
           createTable(
               DB::DB_TABLE_DEVDATA, DB::DbTableDevDataList.size() == DB::DATA_COL_COUNT,
               QStringLiteral("CREATE TABLE IF NOT EXISTS %1 ( %2 INTEGER NOT NULL, %3 INTEGER, %4 INTEGER, "
                              "%5 INTEGER, %6 REAL, %7 REAL, %8 TEXT, %9 TEXT DEFAULT NULL, %10 TEXT DEFAULT "
                              "NULL, %11 INTEGER DEFAULT NULL, %12 TEXT DEFAULT NULL, %13 TEXT DEFAULT NULL, "
                              "%14 INTEGER, %15 INTEGER ); "));
}

// False only when the column list is unusable; a table that is not created is
// reported and the handler carries on without it.
bool CDataBaseHandler::createTable(const QString& table, bool sizeValid, const QString& sqlTemplate)
{
    if (!sizeValid) {
        fail(QStringLiteral("ERROR! Invalid size of colums in table \"%1\"! DataBaseHandler is not running!")
                 .arg(table));
        return false;
    }
    const QStringList& columns =
        table == DB::DB_TABLE_DEVICES ? DB::DbTableDevicesList : DB::DbTableDevDataList;
    QSqlQuery query(db);
    if (!query.exec(fillTemplate(sqlTemplate.arg(table), columns))) {
        const QString message = QStringLiteral("ERROR! Table \"%1\" is not created!").arg(table);
        qDebug().noquote() << message;
        addLog(message);
    }
    return true;
}

void CDataBaseHandler::createIndexes()
{
    const auto createIndexList = [this](const QList<DB::SDbIndexInfo>& indexList, const QString& table) {
        if (indexList.isEmpty()) {
            addLog(QStringLiteral("WARNING: [%1-%2] Empty input index list for <%3>")
                       .arg(QString::fromLatin1(__FUNCTION__))
                       .arg(__LINE__)
                       .arg(table),
                   CLogFile::LOG_TYPE_ERROR);
            return false;
        }
        for (const DB::SDbIndexInfo& index : indexList) {
            QString sql = QStringLiteral("CREATE INDEX IF NOT EXISTS %2 ON %1 (").arg(table, index.name);
            for (const QString& column : index.columns)
                sql += QStringLiteral(" %1,").arg(column);
            sql.chop(1);
            sql += QStringLiteral(" );");
            QSqlQuery query(db);
            if (!query.exec(sql)) {
                addLog(QStringLiteral("ERROR [%1-%2]: invalid sql request 3 for <%3.%4>!")
                           .arg(QString::fromLatin1(__FUNCTION__))
                           .arg(__LINE__)
                           .arg(table, index.name),
                       CLogFile::LOG_TYPE_ERROR);
                addLog(sql, CLogFile::LOG_TYPE_ERROR);
                return false;
            }
        }
        return true;
    };
    if (createIndexList(DB::DbIndexDevicesList, DB::DB_TABLE_DEVICES))
        createIndexList(DB::DbIndexDevdataList, DB::DB_TABLE_DEVDATA);
}

QSqlDatabase CDataBaseHandler::connection()
{
    QThread* current = QThread::currentThread();
    if (db.isValid() && db.driver()->thread() == current)
        return db;
    const auto found = threadConnections.constFind(current);
    if (found != threadConnections.constEnd())
        return found.value();
    return openThreadConnection(current);
}

QSqlDatabase CDataBaseHandler::openThreadConnection(QThread* thread)
{
    const QString name = DB::DB_NAME + QStringLiteral("-thread-") + QString::number(++threadConnectionCount);
    QString error;
    {
        QSqlDatabase added = QSqlDatabase::addDatabase(SQL_DRIVER, name);
        added.setDatabaseName(dbPath);
        if (added.open()) {
            tuneConnection(added);
            threadConnections.insert(thread, added);
            return added;
        }
        error = added.lastError().text();
    }
    QSqlDatabase::removeDatabase(name);
    addLog(
        QStringLiteral("ERROR: [CDataBaseHandler::connection] Data base hasn't been opened for this thread! "
                       "Error_text[%1]")
            .arg(error));
    return QSqlDatabase();
}

bool CDataBaseHandler::prepared(const QString& sql, QSqlQuery& query)
{
    QSqlDatabase current = connection();
    QHash<QString, QSqlQuery>& cache = statements[current.connectionName()];
    const auto found = cache.constFind(sql);
    if (found != cache.constEnd()) {
        query = found.value();
        return true;
    }
    query = QSqlQuery(current);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return false;
    cache.insert(sql, query);
    return true;
}

void CDataBaseHandler::releaseConnections()
{
    statements.clear();
    QStringList names;
    for (QSqlDatabase& threadDb : threadConnections) {
        names << threadDb.connectionName();
        threadDb.close();
    }
    threadConnections.clear();
    for (const QString& name : qAsConst(names))
        QSqlDatabase::removeDatabase(name);
    if (db.isValid()) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(DB::DB_NAME);
    }
}

// The rows are fetched before the lock is released, so whoever reads them
// later never touches the connection nor keeps a read snapshot open on it.
QSqlQuery CDataBaseHandler::materialised(QSqlQuery query)
{
    query.last();
    query.seek(-1);
    return query;
}

bool CDataBaseHandler::runAtomically(const QString& origin, const std::function<bool()>& work)
{
    QSqlDatabase current = connection();
    if (!current.transaction()) {
        addLog(QStringLiteral("ERROR: [%1] Transaction is not started! Error_text[%2]")
                   .arg(origin, current.lastError().text()));
        return false;
    }
    if (!work()) {
        current.rollback();
        return false;
    }
    if (!current.commit()) {
        addLog(QStringLiteral("ERROR: [%1] Transaction is not committed! Error_text[%2]")
                   .arg(origin, current.lastError().text()));
        current.rollback();
        return false;
    }
    return true;
}

bool CDataBaseHandler::registerNewDevice(const DB::SDeviceRegMapDescription& desc, const unsigned short& port)
{
    QMutexLocker locker(&mutex);
    portSpans.clear();
    registerParams.clear();
    // Whatever the outcome (a failure rolls back), only this port's rows change.
    portImages.remove(port);
    return runAtomically(QStringLiteral("CDataBaseHandler::registerNewDevice"),
                         [&]() { return insertDevice(desc, port); });
}

bool CDataBaseHandler::insertDevice(const DB::SDeviceRegMapDescription& desc, const unsigned short& port)
{
    unsigned int deviceId = 0;
    return isNewDevice(desc.devEui) && insertDeviceRow(desc, port) && readDeviceId(desc.devEui, deviceId) &&
           insertRegisterRows(desc, port, deviceId);
}

bool CDataBaseHandler::isNewDevice(const QString& devEui)
{
    QSqlQuery query;
    bool ok = prepared(sqlCountDevice(), query);
    if (ok) {
        query.bindValue(placeholder(devCol(DB::DEV_COL_DEVEUI)), devEui);
        ok = query.exec();
    }
    if (!ok) {
        addLog(QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [1]"));
        return false;
    }
    const bool exists = query.next() && query.value(0).toInt() != 0;
    query.finish();
    if (exists) {
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::registerNewDevice] Device [%1] already exist!")
                   .arg(devEui));
        return false;
    }
    return true;
}

bool CDataBaseHandler::insertDeviceRow(const DB::SDeviceRegMapDescription& desc, const unsigned short& port)
{
    QSqlQuery query;
    bool ok = prepared(sqlInsertDevice(), query);
    if (ok) {
        query.bindValue(placeholder(devCol(DB::DEV_COL_NAME)), desc.name);
        query.bindValue(placeholder(devCol(DB::DEV_COL_APPEUI)), desc.appEui);
        query.bindValue(placeholder(devCol(DB::DEV_COL_DEVEUI)), desc.devEui);
        query.bindValue(placeholder(devCol(DB::DEV_COL_PORT)), static_cast<int>(port));
        query.bindValue(placeholder(devCol(DB::DEV_COL_STARTADDR)), desc.startAddr);
        ok = query.exec();
    }
    if (!ok)
        addLog(QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [2]"));
    return ok;
}

bool CDataBaseHandler::queryDeviceId(const QString& devEui, bool& found, unsigned int& deviceId)
{
    QSqlQuery query;
    if (!prepared(sqlDeviceId(), query))
        return false;
    query.bindValue(placeholder(devCol(DB::DEV_COL_DEVEUI)), devEui);
    if (!query.exec())
        return false;
    found = query.next();
    deviceId = found ? query.value(0).toUInt() : 0;
    query.finish();
    return true;
}

bool CDataBaseHandler::readDeviceId(const QString& devEui, unsigned int& deviceId)
{
    bool found = false;
    if (!queryDeviceId(devEui, found, deviceId)) {
        addLog(QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [3]"));
        return false;
    }
    if (!found) {
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::registerNewDevice] Device [%1] is not created!")
                   .arg(devEui));
        return false;
    }
    if (deviceId == 0) {
        addLog(QStringLiteral(
                   "ERROR: [CDataBaseHandler::registerNewDevice] Device [%1] is not created [NULL ID]!")
                   .arg(devEui));
        return false;
    }
    return true;
}

bool CDataBaseHandler::insertRegisterRows(const DB::SDeviceRegMapDescription& desc,
                                          const unsigned short& port, unsigned int deviceId)
{
    QSqlQuery query;
    const bool ready = prepared(sqlInsertRegister(), query);
    QSet<int> inserted;
    for (const REGS::SRegisterInfo& reg : desc.registers) {
        const int address = registerAddress(desc.startAddr, reg.regMapBias);
        if (inserted.contains(address)) {
            addLog(QStringLiteral(
                       "WARNING: [CDataBaseHandler::registerNewDevice] Register [0x%1] for device [%2] "
                       "already exist!")
                       .arg(address, 4, 16, QLatin1Char('0'))
                       .arg(desc.devEui));
            continue;
        }
        const QVariantList values = {
            deviceId,     static_cast<int>(port), address, reg.startValue, reg.gratingPeriod, reg.regBitSize,
            reg.dataType, reg.dataName,           1,       reg.source,     reg.unit};
        for (int i = 0; i < values.size(); ++i)
            query.bindValue(i, values.at(i));
        inserted.insert(address);
        if (!ready || !query.exec()) {
            logWithSql(QStringLiteral("[CDataBaseHandler::registerNewDevice] Invalid SQL request [4]"),
                       sqlInsertRegister());
            return false;
        }
    }
    return true;
}

bool CDataBaseHandler::deleteDevice(unsigned int deviceId)
{
    QMutexLocker locker(&mutex);
    portSpans.clear();
    registerParams.clear();
    dropPortImagesOf(deviceId);
    // Both tables go together, so a failure cannot leave orphaned register rows.
    return runAtomically(QStringLiteral("CDataBaseHandler::deleteDevice"),
                         [&]() { return deleteRows(deviceId); });
}

bool CDataBaseHandler::deleteRows(unsigned int deviceId)
{
    const QList<QPair<QString, QString>> tables = {{DB::DB_TABLE_DEVICES, devCol(DB::DEV_COL_DEVICE)},
                                                   {DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_DEVICE)}};
    for (int i = 0; i < tables.size(); ++i) {
        QSqlQuery query;
        bool ok = prepared(sqlDeleteDevice(tables.at(i).first, tables.at(i).second), query);
        if (ok) {
            query.bindValue(placeholder(tables.at(i).second), deviceId);
            ok = query.exec();
        }
        if (!ok) {
            addLog(QStringLiteral("[CDataBaseHandler::deleteDevice] Invalid SQL request [%1]").arg(i + 1));
            return false;
        }
    }
    return true;
}

QSqlQuery CDataBaseHandler::getDevices(QString filter)
{
    QMutexLocker locker(&mutex);
    QSqlQuery query(connection());
    bool ok = query.prepare(sqlSelectDevices(!filter.isEmpty()));
    if (ok) {
        if (!filter.isEmpty())
            query.bindValue(placeholder(devCol(DB::DEV_COL_NAME)), containsPattern(filter));
        ok = query.exec();
    }
    if (!ok) {
        addLog(QStringLiteral("[CDataBaseHandler::getDevices] Invalid SQL request [1]"));
        return query;
    }
    return materialised(query);
}

QSqlQuery CDataBaseHandler::getRegisters(unsigned int deviceId)
{
    QMutexLocker locker(&mutex);
    QSqlQuery query(connection());
    bool ok = query.prepare(sqlSelectRegisters());
    if (ok) {
        query.bindValue(placeholder(dataCol(DB::DATA_COL_DEVICE)), deviceId);
        ok = query.exec();
    }
    if (!ok) {
        addLog(QStringLiteral("[CDataBaseHandler::getRegisters] Invalid SQL request [1]"));
        return query;
    }
    return materialised(query);
}

QStringList CDataBaseHandler::getRegisteredDevices()
{
    QMutexLocker locker(&mutex);
    QStringList devEuis;
    QSqlQuery query;
    if (!prepared(sqlRegisteredDevices(), query) || !query.exec()) {
        addLog(QStringLiteral("[CDataBaseHandler::getRegisteredDevices] Invalid SQL request [1]"));
        return devEuis;
    }
    while (query.next())
        devEuis << query.value(0).toString().toUpper();
    query.finish();
    return devEuis;
}

DB::SDbRegParamInfo CDataBaseHandler::getRegisterParam(QString devEui, unsigned int regAddr)
{
    DB::SDbRegParamInfo param;
    QMutexLocker locker(&mutex);
    const QPair<QString, unsigned int> key(devEui, regAddr);
    const auto known = registerParams.constFind(key);
    if (known != registerParams.constEnd())
        return *known;
    QSqlQuery query;
    bool ok = prepared(sqlRegisterParam(), query);
    if (ok) {
        query.bindValue(placeholder(devCol(DB::DEV_COL_DEVEUI)), devEui);
        query.bindValue(placeholder(dataCol(DB::DATA_COL_REGADDR)), regAddr);
        ok = query.exec();
    }
    if (!ok) {
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Invalid SQL request [1]"),
                   sqlRegisterParam());
        return param;
    }
    if (!query.next()) {
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!"),
                   sqlRegisterParam());
        return param;
    }
    param.gratingPeriod = query.value(DB::DATA_COL_GRATINGPERIOD).toDouble();
    param.startValue = query.value(DB::DATA_COL_STARTVALUE).toDouble();
    param.unit = query.value(DB::DATA_COL_UNIT).toString();
    param.regAddr = regAddr;
    query.finish();
    registerParams.insert(key, param);
    return param;
}

void CDataBaseHandler::updateRegInfo(DB::SDbDevRegParamInfo info)
{
    if (info.params.isEmpty())
        return;
    QMutexLocker locker(&mutex);
    registerParams.clear();
    QSqlQuery query;
    const bool ready = prepared(sqlUpdateRegInfo(), query);
    for (const DB::SDbRegParamInfo& param : qAsConst(info.params)) {
        if (ready) {
            query.bindValue(placeholder(dataCol(DB::DATA_COL_STARTVALUE)), param.startValue);
            query.bindValue(placeholder(dataCol(DB::DATA_COL_GRATINGPERIOD)), param.gratingPeriod);
            query.bindValue(placeholder(dataCol(DB::DATA_COL_UNIT)), param.unit);
            query.bindValue(placeholder(dataCol(DB::DATA_COL_DEVICE)), info.deviceId);
            query.bindValue(placeholder(dataCol(DB::DATA_COL_REGADDR)), param.regAddr);
        }
        if (!ready || !query.exec()) {
            logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::updateRegInfo] Invalid SQL request [1]"),
                       sqlUpdateRegInfo());
            return;
        }
    }
}

bool CDataBaseHandler::findDeviceId(const QString& devEui, unsigned int& deviceId)
{
    bool found = false;
    if (!queryDeviceId(devEui, found, deviceId)) {
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [1]"));
        return false;
    }
    if (!found) {
        addLog(
            QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [%1]").arg(devEui));
        return false;
    }
    if (deviceId == 0) {
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [ID=0] [%1]")
                   .arg(devEui));
        return false;
    }
    return true;
}

void CDataBaseHandler::saveRegisterData(DB::SDbDeviceRegDataSet regData)
{
    if (regData.rewriteList.isEmpty() && regData.modifList.isEmpty()) {
        addLog(QStringLiteral("INFO: [CDataBaseHandler::saveRegisterData] Empty input data"));
        return;
    }
    QMutexLocker locker(&mutex);
    unsigned int deviceId = 0;
    if (!findDeviceId(regData.devEui, deviceId))
        return;
    // One commit per packet instead of one per entry: commits are most of a
    // save's time, and Modbus reads wait for the mutex meanwhile. A failing
    // entry still undoes only itself.
    QSqlDatabase current = connection();
    const bool batched = current.transaction();
    writeRegisterValues(deviceId, regData);
    if (batched && !current.commit()) {
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Transaction is not committed! "
                              "Error_text[%1]")
                   .arg(current.lastError().text()));
        current.rollback();
        // The images hold the packet that the rows lost: read them again.
        portImages.clear();
    }
}

void CDataBaseHandler::writeRegisterValues(unsigned int deviceId, const DB::SDbDeviceRegDataSet& regData)
{
    QSqlQuery query;
    const bool ready = prepared(sqlUpdateValue(), query);
    for (const DB::SDbDeviceRegDataRewrite& entry : regData.rewriteList) {
        const int address = registerAddress(regData.startAddr, entry.regOffset);
        if (ready) {
            // By position, in the statement's order: value, full_value, time, device, reg_addr.
            query.bindValue(0, entry.value);
            query.bindValue(1, entry.fullValue.isEmpty() ? QVariant() : QVariant(entry.fullValue));
            query.bindValue(2, QDateTime::currentMSecsSinceEpoch());
            query.bindValue(3, deviceId);
            query.bindValue(4, address);
        }
        if (!ready || !query.exec()) {
            addLog(QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [2]"));
            addLog(QStringLiteral("    Query [%1]").arg(sqlUpdateValue()));
            addLog(QStringLiteral("    Set: deviceId[%1], regAddr[%2]").arg(deviceId).arg(address));
            continue;
        }
        patchPortImages(deviceId, address, entry.fullValue);
    }
}

bool CDataBaseHandler::widestSpan(int port, int& span)
{
    const auto known = portSpans.constFind(port);
    if (known != portSpans.constEnd()) {
        span = known.value();
        return true;
    }
    QSqlQuery query;
    if (!prepared(sqlWidestDatum(), query))
        return false;
    query.bindValue(placeholder(dataCol(DB::DATA_COL_PORT)), port);
    if (!query.exec())
        return false;
    span = CRegisterImage::span(query.next() ? query.value(0).toInt() : 0);
    query.finish();
    portSpans.insert(port, span);
    return true;
}

bool CDataBaseHandler::execRegisterRange(QSqlQuery& query, int port, int low, int high)
{
    if (!prepared(sqlRegisterRange(), query))
        return false;
    // By position: this runs for every uncached Modbus request.
    query.bindValue(0, port);
    query.bindValue(1, low);
    query.bindValue(2, high);
    return query.exec();
}

QMap<unsigned short, unsigned short> CDataBaseHandler::readRegisterRows(int port, int firstRegister,
                                                                        int count)
{
    QMap<unsigned short, unsigned short> words;
    const int last = firstRegister + count - 1;
    int span = 1;
    QSqlQuery query;
    if (!widestSpan(port, span) || !execRegisterRange(query, port, firstRegister - span + 1, last)) {
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterData] Invalid SQL request [1]"),
                   sqlRegisterRange());
        return words;
    }
    for (int i = 0; i < count; ++i)
        words.insert(words.constEnd(), static_cast<unsigned short>(firstRegister + i), 0);
    while (query.next()) {
        const QByteArray fullValue = query.value(2).toByteArray();
        CRegisterImage::put(words, query.value(0).toInt(), query.value(1).toInt(), fullValue.constData(),
                            fullValue.size(), firstRegister, last);
    }
    query.finish();
    return words;
}

// Null when the port's rows cannot be read (logged); the image of a port
// spread too wide for memory says so, and its reads go to SQL.
CPortRegisterImage* CDataBaseHandler::portImage(int port)
{
    const auto known = portImages.find(port);
    if (known != portImages.end())
        return &known.value();
    QSqlQuery query;
    if (!execRegisterRange(query, port, std::numeric_limits<int>::min(), std::numeric_limits<int>::max())) {
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterData] Invalid SQL request [1]"),
                   sqlRegisterRange());
        return nullptr;
    }
    CPortRegisterImage image;
    while (query.next())
        image.appendRow(query.value(3).toUInt(), query.value(0).toInt(), query.value(1).toInt(),
                        query.value(2).toByteArray());
    const bool complete = !query.lastError().isValid();
    query.finish();
    if (!complete) {
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterData] Invalid SQL request [1]"),
                   sqlRegisterRange());
        return nullptr;
    }
    image.finish();
    return &portImages.insert(port, image).value();
}

void CDataBaseHandler::patchPortImages(unsigned int deviceId, int regAddr, const QString& fullValue)
{
    for (CPortRegisterImage& image : portImages)
        image.patch(deviceId, regAddr, fullValue);
}

void CDataBaseHandler::dropPortImagesOf(unsigned int deviceId)
{
    for (auto it = portImages.begin(); it != portImages.end();) {
        if (it.value().holdsDevice(deviceId))
            it = portImages.erase(it);
        else
            ++it;
    }
}

void CDataBaseHandler::setRegisterImagesEnabled(bool enabled)
{
    QMutexLocker locker(&mutex);
    registerImagesEnabled = enabled;
}

QMap<unsigned short, unsigned short>
CDataBaseHandler::getRegisterData(const int& port, const int& firstRegister, const int& count)
{
    if (count <= 0)
        return {};
    QMutexLocker locker(&mutex);
    if (!registerImagesEnabled)
        return readRegisterRows(port, firstRegister, count);
    CPortRegisterImage* image = portImage(port);
    if (!image)
        return {};
    if (!image->isUsable())
        return readRegisterRows(port, firstRegister, count);
    return image->read(firstRegister, count);
}
