#include "storage/CDataBaseHandler.h"

#include <limits>

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QSqlDriver>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include "app/CLogFile.h"
#include "storage/CRegisterImage.h"

namespace {
CDataBaseHandler* instance = nullptr;
bool creationFailed = false;
std::atomic<int> threadConnectionCount{0};
// Every connection would say it again: once is enough.
std::atomic<bool> walWarned{false};

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

const QString FMT_COL_ASFLOAT_NAME = QStringLiteral("as_float");
const QString FMT_COL_WORDORDER_NAME = QStringLiteral("word_order");

// The rows of "dev_data" with the format columns after them; NULL for both
// while the file has no table "reg_format".
QString sqlRegisterRows(bool withFormats)
{
    if (!withFormats)
        return QStringLiteral("SELECT %1.*, NULL, NULL FROM %1").arg(DB::DB_TABLE_DEVDATA);
    return QStringLiteral("SELECT %1.*, %2.%3, %2.%4 FROM %1 LEFT JOIN %2 ON %2.%5=%1.%5 AND %2.%6=%1.%6")
        .arg(DB::DB_TABLE_DEVDATA, DB::DB_TABLE_REGFORMAT, FMT_COL_ASFLOAT_NAME, FMT_COL_WORDORDER_NAME,
             dataCol(DB::DATA_COL_DEVICE), dataCol(DB::DATA_COL_REGADDR));
}

QString sqlSelectRegisters(bool withFormats)
{
    return QStringLiteral("%1 WHERE %2.%3=:%3 AND %2.%4=1 ORDER BY %2.%5 ASC;")
        .arg(sqlRegisterRows(withFormats), DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_DEVICE),
             dataCol(DB::DATA_COL_PARENT), dataCol(DB::DATA_COL_REGADDR));
}

const QString& sqlCreateFormatTable()
{
    static const QString sql =
        QStringLiteral("CREATE TABLE IF NOT EXISTS %1 ( %2 INTEGER NOT NULL, %3 INTEGER NOT NULL, %4 INTEGER "
                       "NOT NULL DEFAULT 0, %5 TEXT NOT NULL DEFAULT 'ABCD', PRIMARY KEY ( %2, %3 ) );")
            .arg(DB::DB_TABLE_REGFORMAT, dataCol(DB::DATA_COL_DEVICE), dataCol(DB::DATA_COL_REGADDR),
                 FMT_COL_ASFLOAT_NAME, FMT_COL_WORDORDER_NAME);
    return sql;
}

const QString& sqlWriteFormat()
{
    static const QString sql =
        QStringLiteral("INSERT OR REPLACE INTO %1 ( %2, %3, %4, %5 ) VALUES ( ?, ?, ?, ? );")
            .arg(DB::DB_TABLE_REGFORMAT, dataCol(DB::DATA_COL_DEVICE), dataCol(DB::DATA_COL_REGADDR),
                 FMT_COL_ASFLOAT_NAME, FMT_COL_WORDORDER_NAME);
    return sql;
}

// A new format's value and full value, the time of the uplink kept.
const QString& sqlReformatValue()
{
    static const QString sql =
        QStringLiteral("UPDATE %1 SET %2=?, %3=? WHERE %4=? AND %5=?;")
            .arg(DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_VALUE), dataCol(DB::DATA_COL_FULLVALUE),
                 dataCol(DB::DATA_COL_DEVICE), dataCol(DB::DATA_COL_REGADDR));
    return sql;
}

FMT::SRegisterFormat formatOf(const QVariant& asFloat, const QVariant& wordOrder)
{
    FMT::SRegisterFormat format;
    format.asFloat = asFloat.toInt() != 0;
    FMT::parseWordOrder(wordOrder.toString(), format.wordOrder);
    return format;
}

const QString& sqlRegisteredDevices()
{
    static const QString sql =
        QStringLiteral("SELECT %2 FROM %1;").arg(DB::DB_TABLE_DEVICES, devCol(DB::DEV_COL_DEVEUI));
    return sql;
}

QString sqlRegisterParam(bool withFormats)
{
    return QStringLiteral("%1 WHERE %2.%4 IN ( SELECT %3.%5 FROM %3 WHERE %3.%6=:%6 ) AND %2.%7=:%7;")
        .arg(sqlRegisterRows(withFormats), DB::DB_TABLE_DEVDATA, DB::DB_TABLE_DEVICES,
             dataCol(DB::DATA_COL_DEVICE), devCol(DB::DEV_COL_DEVICE), devCol(DB::DEV_COL_DEVEUI),
             dataCol(DB::DATA_COL_REGADDR));
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

// A packet waits this long for another writer's lock before it is kept for a
// retry; the window's own writes, rarer and awaited by the operator, longer.
const int SAVE_BUSY_MS = 100;
const int WINDOW_BUSY_MS = 1000;
// Kept packets are tried again after 0.25 s, doubling to 2 s; after this many
// failed tries in a row (about ten minutes) they are given up.
const int RETRY_FIRST_MS = 250;
const int RETRY_MAX_MS = 2000;
const int RETRY_LIMIT = 300;
// How long a stop keeps trying to store kept packets.
const int SHUTDOWN_FLUSH_MS = 3000;
const QString SQLITE_READONLY_CODE = QStringLiteral("8");

const QString LOG_DAMAGED = QStringLiteral(
    "CRITICAL_ERROR! Data base [%1] is damaged! Error_text[%2]. DataBaseHandler is not running!");
const QString LOG_READ_ONLY =
    QStringLiteral("ERROR: [%1] Data base [%2] is read-only, uplinks will not be stored! Error_text[%3]");
const QString LOG_WRITABLE =
    QStringLiteral("INFO: [CDataBaseHandler::retryPendingSlot] Data base [%1] is writable again, uplinks are "
                   "stored");
const QString LOG_KEPT =
    QStringLiteral("WARNING: [CDataBaseHandler::saveRegisterData] Packet of [%1] rolled back "
                   "and kept, with the newest of every device, for a retry! Error_text[%2]");
const QString LOG_KEPT_STORED =
    QStringLiteral("INFO: [CDataBaseHandler::retryPendingSlot] Kept packets stored after %1 s of failures");
const QString LOG_KEPT_DROPPED = QStringLiteral(
    "ERROR: [CDataBaseHandler::retryPendingSlot] %1 kept packets dropped after %2 failed tries!");
const QString LOG_OLDER =
    QStringLiteral("INFO: [CDataBaseHandler::saveRegisterData] Packet of [%1] taken at [%2] is "
                   "older than the one stored [%3], not stored");
const QString LOG_UNREADABLE = QStringLiteral(
    "ERROR: [CDataBaseHandler::readRegisterWords] Registers of port [%1] cannot be read, Modbus "
    "reads are refused! Error_text[%2]");
const QString LOG_READABLE =
    QStringLiteral("INFO: [CDataBaseHandler::readRegisterWords] Registers of port [%1] can be read again");
const QString LOG_CHECKPOINT = QStringLiteral(
    "WARNING: [CDataBaseHandler::shutdown] Journal is not fully written into [%1]! Error_text[%2]");
const QString LOG_LOST = QStringLiteral(
    "ERROR: [CDataBaseHandler::shutdown] %1 kept packets could not be stored before the stop!");

const QString SQL_BEGIN = QStringLiteral("BEGIN IMMEDIATE;");
const QString SQL_COMMIT = QStringLiteral("COMMIT;");
const QString SQL_ROLLBACK = QStringLiteral("ROLLBACK;");
const QString SQL_BUSY_TIMEOUT = QStringLiteral("PRAGMA busy_timeout=%1;");
const QString SQL_USER_VERSION = QStringLiteral("PRAGMA user_version;");
const QString SQL_USER_VERSION_SET = QStringLiteral("PRAGMA user_version=%1;");
const QString SQL_QUICK_CHECK = QStringLiteral("PRAGMA quick_check;");
const QString SQL_CHECKPOINT = QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE);");

const QString& sqlPorts()
{
    static const QString sql =
        QStringLiteral("SELECT DISTINCT %2 FROM %1;").arg(DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_PORT));
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
    if (!wal && !walWarned.exchange(true))
        addLog(QStringLiteral("WARNING: [CDataBaseHandler::tuneConnection] WAL journal is not available!"));
    query.exec(QStringLiteral("PRAGMA synchronous=NORMAL;"));
    query.exec(SQL_BUSY_TIMEOUT.arg(WINDOW_BUSY_MS));
}

// Template offsets can be any int: addresses wrap as the decoder's offsets do
// instead of overflowing, so a save finds the row its registration wrote.
int registerAddress(int startAddr, int offset)
{
    return static_cast<int>(static_cast<unsigned int>(startAddr) + static_cast<unsigned int>(offset));
}

QString timeText(qint64 msecs)
{
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC).toString(Qt::ISODateWithMs);
}

const CPortRegisterImage& emptyImage()
{
    static const CPortRegisterImage image = [] {
        CPortRegisterImage empty;
        empty.finish();
        return empty;
    }();
    return image;
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
    // Packets reach this object queued, from other threads.
    qRegisterMetaType<DB::SDbDeviceRegDataSet>("DB::SDbDeviceRegDataSet");
    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &CDataBaseHandler::retryPendingSlot);

    // The map owns the connection, so that releasing it leaves no copy behind.
    SConnection* main = connections.insert(QThread::currentThread(), std::make_shared<SConnection>())->get();
    main->db = QSqlDatabase::addDatabase(DB::SQL_DRIVER, DB::DB_NAME);
    main->db.setDatabaseName(DB::DB_FILENAME);
    dbPath = QFileInfo(DB::DB_FILENAME).absoluteFilePath();
    if (!main->db.open()) {
        fail(QStringLiteral("CRITICAL_ERROR! Data base hasn't been created/opened! Error_text[%1]. "
                            "DataBaseHandler is not running!")
                 .arg(main->db.lastError().text()));
        return;
    }
    if (!passesQuickCheck())
        return;
    tuneConnection(main->db);
    if (!createTables())
        return;
    createIndexes();
    formatTable = main->db.tables().contains(DB::DB_TABLE_REGFORMAT);
    QString error;
    if (!probeWritable(error)) {
        readOnly = true;
        addLog(LOG_READ_ONLY.arg(QStringLiteral("CDataBaseHandler::CDataBaseHandler"), dbPath, error));
    }
    std::unique_lock<std::mutex> writer(imageWriters);
    rebuildAllImages();
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

// Damaged pages or a file that is no database would otherwise be served as
// zeros: such a file is refused as one that cannot be opened.
bool CDataBaseHandler::passesQuickCheck()
{
    QSqlQuery query(connection());
    QStringList problems;
    if (!query.exec(SQL_QUICK_CHECK))
        problems << query.lastError().databaseText();
    while (query.next()) {
        const QString line = query.value(0).toString();
        if (line != QLatin1String("ok"))
            problems << line;
    }
    query.finish();
    if (problems.isEmpty())
        return true;
    fail(LOG_DAMAGED.arg(dbPath, problems.join(QStringLiteral("; ")).simplified()));
    return false;
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
    QSqlQuery query(connection());
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
            QSqlQuery query(connection());
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

// Null once the handler is shut down.
CDataBaseHandler::SConnection* CDataBaseHandler::threadConnection()
{
    QThread* current = QThread::currentThread();
    {
        std::unique_lock<std::mutex> locker(connectionsMutex);
        if (closed)
            return nullptr;
        const auto found = connections.constFind(current);
        if (found != connections.constEnd())
            return found.value().get();
    }
    // Only this thread adds its own entry, so the file is opened without the lock.
    auto added = std::make_shared<SConnection>();
    const QString name = DB::DB_NAME + QStringLiteral("-thread-") + QString::number(threadConnectionCount++);
    added->db = QSqlDatabase::addDatabase(DB::SQL_DRIVER, name);
    added->db.setDatabaseName(dbPath);
    added->generation = generation;
    if (!added->db.open()) {
        addLog(QStringLiteral(
                   "ERROR: [CDataBaseHandler::connection] Data base hasn't been opened for this thread! "
                   "Error_text[%1]")
                   .arg(added->db.lastError().text()));
        added.reset();
        QSqlDatabase::removeDatabase(name);
        return nullptr;
    }
    tuneConnection(added->db);
    std::unique_lock<std::mutex> locker(connectionsMutex);
    return connections.insert(current, added).value().get();
}

QSqlDatabase CDataBaseHandler::connection()
{
    SConnection* current = threadConnection();
    return current ? current->db : QSqlDatabase();
}

// A connection that found the file read-only stays so: after the file became
// writable every connection opens it again before its next write.
QSqlDatabase CDataBaseHandler::writableConnection()
{
    SConnection* current = threadConnection();
    if (!current)
        return QSqlDatabase();
    if (current->generation != generation) {
        current->statements.clear();
        current->db.close();
        if (current->db.open())
            tuneConnection(current->db);
        current->generation = generation;
        current->busyMs = -1;
    }
    return current->db;
}

bool CDataBaseHandler::prepared(const QString& sql, QSqlQuery& query)
{
    SConnection* current = threadConnection();
    if (!current)
        return false;
    const auto found = current->statements.constFind(sql);
    if (found != current->statements.constEnd()) {
        query = found.value();
        return true;
    }
    query = QSqlQuery(current->db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return false;
    current->statements.insert(sql, query);
    return true;
}

void CDataBaseHandler::releaseConnections()
{
    QStringList names;
    {
        std::unique_lock<std::mutex> locker(connectionsMutex);
        for (const std::shared_ptr<SConnection>& current : qAsConst(connections)) {
            current->statements.clear();
            names << current->db.connectionName();
            current->db.close();
        }
        connections.clear();
    }
    for (const QString& name : qAsConst(names))
        QSqlDatabase::removeDatabase(name);
}

// False only when SQLite says the file (or its journal) cannot be written; a
// write lock held elsewhere is no reason to stop storing.
bool CDataBaseHandler::probeWritable(QString& error)
{
    QSqlDatabase current = writableConnection();
    QSqlError failure;
    if (beginImmediate(0, failure)) {
        // BEGIN alone succeeds on a read-only file: the header is written
        // back as it is, and that write is rolled back.
        QSqlQuery query(current);
        const int version = query.exec(SQL_USER_VERSION) && query.next() ? query.value(0).toInt() : 0;
        query.finish();
        const bool written = query.exec(SQL_USER_VERSION_SET.arg(version));
        failure = query.lastError();
        query.finish();
        endTransaction(false);
        if (written)
            return true;
    }
    error = failure.databaseText();
    return failure.nativeErrorCode() != SQLITE_READONLY_CODE && !current.isOpenError();
}

bool CDataBaseHandler::beginImmediate(int busyMs, QSqlError& error)
{
    SConnection* current = threadConnection();
    if (!current)
        return false;
    if (current->busyMs != busyMs) {
        QSqlQuery(current->db).exec(SQL_BUSY_TIMEOUT.arg(busyMs));
        current->busyMs = busyMs;
    }
    QSqlQuery begin;
    if (prepared(SQL_BEGIN, begin) && begin.exec())
        return true;
    error = begin.lastError();
    return false;
}

// COMMIT, or ROLLBACK, of the calling thread's transaction.
bool CDataBaseHandler::endTransaction(bool commit, QSqlError* error)
{
    QSqlQuery end;
    if (prepared(commit ? SQL_COMMIT : SQL_ROLLBACK, end) && end.exec())
        return true;
    if (error)
        *error = end.lastError();
    return false;
}

// The rows are fetched at once, so whoever reads them later never touches the
// connection nor keeps a read snapshot open on it.
QSqlQuery CDataBaseHandler::materialised(QSqlQuery query)
{
    query.last();
    query.seek(-1);
    return query;
}

// BEGIN IMMEDIATE takes the write lock before the first statement, so the
// work cannot stop half-way for want of it.
bool CDataBaseHandler::runAtomically(const QString& origin, const std::function<bool()>& work)
{
    writableConnection();
    QSqlError error;
    if (!beginImmediate(WINDOW_BUSY_MS, error)) {
        addLog(QStringLiteral("ERROR: [%1] Transaction is not started! Error_text[%2]")
                   .arg(origin, error.text()));
        return false;
    }
    if (!work()) {
        endTransaction(false);
        return false;
    }
    if (!endTransaction(true, &error)) {
        addLog(QStringLiteral("ERROR: [%1] Transaction is not committed! Error_text[%2]")
                   .arg(origin, error.text()));
        endTransaction(false);
        return false;
    }
    return true;
}

void CDataBaseHandler::forgetRegisterParams()
{
    std::unique_lock<std::mutex> locker(paramsMutex);
    registerParams.clear();
    ++paramsGeneration;
}

bool CDataBaseHandler::registerNewDevice(const DB::SDeviceRegMapDescription& desc, const unsigned short& port)
{
    forgetRegisterParams();
    if (!runAtomically(QStringLiteral("CDataBaseHandler::registerNewDevice"),
                       [&]() { return insertDevice(desc, port); })) {
        // A format table made inside the transaction went with it.
        formatTable = connection().tables().contains(DB::DB_TABLE_REGFORMAT);
        return false;
    }
    {
        std::unique_lock<std::mutex> writer(imageWriters);
        rebuildPortImage(port);
    }
    // The rows read "never received" until a packet lands; the window may show them now.
    emit registerDataCommitted(desc.devEui);
    return true;
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

bool CDataBaseHandler::queryDeviceId(const QString& devEui, bool& found, unsigned int& deviceId,
                                     QSqlError* error)
{
    QSqlQuery query;
    const bool ok = prepared(sqlDeviceId(), query) &&
                    (query.bindValue(placeholder(devCol(DB::DEV_COL_DEVEUI)), devEui), query.exec());
    if (!ok) {
        if (error)
            *error = query.lastError();
        return false;
    }
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
        if (!reg.format.isDefault() && !writeFormat(deviceId, address, reg.format))
            return false;
    }
    return true;
}

// The table is made by the first format written, so a file in which nobody
// chose one stays as an older gateway left it.
bool CDataBaseHandler::writeFormat(unsigned int deviceId, int regAddr, const FMT::SRegisterFormat& format)
{
    if (!formatTable)
        formatTable = QSqlQuery(writableConnection()).exec(sqlCreateFormatTable());
    QSqlQuery query;
    const bool ok = formatTable && prepared(sqlWriteFormat(), query) &&
                    (query.bindValue(0, deviceId), query.bindValue(1, regAddr),
                     query.bindValue(2, format.asFloat ? 1 : 0),
                     query.bindValue(3, FMT::wordOrderName(format.wordOrder)), query.exec());
    if (!ok)
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::writeFormat] Invalid SQL request [1]"),
                   sqlWriteFormat());
    return ok;
}

bool CDataBaseHandler::deleteDevice(unsigned int deviceId)
{
    forgetRegisterParams();
    // Both tables go together, so a failure cannot leave orphaned register rows.
    if (!runAtomically(QStringLiteral("CDataBaseHandler::deleteDevice"),
                       [&]() { return deleteRows(deviceId); }))
        return false;
    std::unique_lock<std::mutex> writer(imageWriters);
    for (const int port : portsHolding(deviceId))
        rebuildPortImage(port);
    return true;
}
bool CDataBaseHandler::deleteRows(unsigned int deviceId)
{
    QList<QPair<QString, QString>> tables = {{DB::DB_TABLE_DEVICES, devCol(DB::DEV_COL_DEVICE)},
                                             {DB::DB_TABLE_DEVDATA, dataCol(DB::DATA_COL_DEVICE)}};
    if (formatTable)
        tables.append({DB::DB_TABLE_REGFORMAT, dataCol(DB::DATA_COL_DEVICE)});
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
    QSqlQuery query(connection());
    bool ok = query.prepare(sqlSelectRegisters(formatTable));
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
    const QPair<QString, unsigned int> key(devEui, regAddr);
    quint64 asked = 0;
    {
        std::unique_lock<std::mutex> locker(paramsMutex);
        const auto known = registerParams.constFind(key);
        if (known != registerParams.constEnd())
            return *known;
        asked = paramsGeneration;
    }
    QSqlQuery query;
    const QString sql = sqlRegisterParam(formatTable);
    bool ok = prepared(sql, query);
    if (ok) {
        query.bindValue(placeholder(devCol(DB::DEV_COL_DEVEUI)), devEui);
        query.bindValue(placeholder(dataCol(DB::DATA_COL_REGADDR)), regAddr);
        ok = query.exec();
    }
    if (!ok) {
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Invalid SQL request [1]"),
                   sql);
        return param;
    }
    if (!query.next()) {
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!"), sql);
        return param;
    }
    param.gratingPeriod = query.value(DB::DATA_COL_GRATINGPERIOD).toDouble();
    param.startValue = query.value(DB::DATA_COL_STARTVALUE).toDouble();
    param.unit = query.value(DB::DATA_COL_UNIT).toString();
    param.format = formatOf(query.value(DB::FMT_COL_ASFLOAT), query.value(DB::FMT_COL_WORDORDER));
    param.regAddr = regAddr;
    query.finish();
    // Not kept if the operator changed the scaling while the row was read.
    std::unique_lock<std::mutex> locker(paramsMutex);
    if (asked == paramsGeneration)
        registerParams.insert(key, param);
    return param;
}

void CDataBaseHandler::updateRegInfo(DB::SDbDevRegParamInfo info)
{
    if (info.params.isEmpty())
        return;
    forgetRegisterParams();
    writableConnection();
    QSqlQuery query;
    const bool ready = prepared(sqlUpdateRegInfo(), query);
    bool reformatted = false;
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
            break;
        }
        // Only a register that exists gets a format; its stored value is served in it at once.
        if ((formatTable || !param.format.isDefault()) && query.numRowsAffected() > 0) {
            reformatted |= reformatValue(info.deviceId, int(param.regAddr), param.format);
            if (!writeFormat(info.deviceId, int(param.regAddr), param.format))
                break;
        }
    }
    if (!reformatted)
        return;
    std::unique_lock<std::mutex> writer(imageWriters);
    for (const int port : portsHolding(info.deviceId))
        rebuildPortImage(port);
}

// True when the register's stored value changed to suit the new format.
bool CDataBaseHandler::reformatValue(unsigned int deviceId, int regAddr, const FMT::SRegisterFormat& format)
{
    const QString select = QStringLiteral("%1 WHERE %2.%3=? AND %2.%4=?;")
                               .arg(sqlRegisterRows(formatTable), DB::DB_TABLE_DEVDATA,
                                    dataCol(DB::DATA_COL_DEVICE), dataCol(DB::DATA_COL_REGADDR));
    QSqlQuery query;
    if (!prepared(select, query) ||
        (query.bindValue(0, deviceId), query.bindValue(1, regAddr), !query.exec()) || !query.next())
        return false;
    const QString dataType = query.value(DB::DATA_COL_DATATYPE).toString();
    const QString stored = query.value(DB::DATA_COL_FULLVALUE).toString();
    const QString served =
        FMT::hasWordOrder(query.value(DB::DATA_COL_BITSIZE).toInt(), dataType)
            ? FMT::reformatted(stored, dataType == REGS::REGS_JSON_KEY_TYPE_INT,
                               formatOf(query.value(DB::FMT_COL_ASFLOAT), query.value(DB::FMT_COL_WORDORDER)),
                               format)
            : stored;
    query.finish();
    if (served == stored)
        return false;
    QSqlQuery update;
    const bool ok = prepared(sqlReformatValue(), update) &&
                    (update.bindValue(0, served.left(4)), update.bindValue(1, served),
                     update.bindValue(2, deviceId), update.bindValue(3, regAddr), update.exec());
    if (!ok)
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::updateRegInfo] Invalid SQL request [2]"),
                   sqlReformatValue());
    return ok;
}

// known stays false for an EUI without a device, which is logged and not retried.
bool CDataBaseHandler::findDeviceId(const QString& devEui, unsigned int& deviceId, bool& known,
                                    SFailure& failure)
{
    bool found = false;
    known = false;
    if (!queryDeviceId(devEui, found, deviceId, &failure.error)) {
        failure.lines << QStringLiteral(
            "ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [1]");
        return false;
    }
    if (!found) {
        addLog(
            QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [%1]").arg(devEui));
        return true;
    }
    if (deviceId == 0) {
        addLog(QStringLiteral("ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [ID=0] [%1]")
                   .arg(devEui));
        return true;
    }
    known = true;
    return true;
}

// Stops at the first failing statement: the caller rolls the packet back.
bool CDataBaseHandler::writeRegisterValues(unsigned int deviceId, const DB::SDbDeviceRegDataSet& regData,
                                           SFailure& failure)
{
    QSqlQuery query;
    const bool ready = prepared(sqlUpdateValue(), query);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const DB::SDbDeviceRegDataRewrite& entry : regData.rewriteList) {
        const int address = registerAddress(regData.startAddr, entry.regOffset);
        if (ready) {
            // By position, in the statement's order: value, full_value, time, device, reg_addr.
            query.bindValue(0, entry.value);
            query.bindValue(1, entry.fullValue.isEmpty() ? QVariant() : QVariant(entry.fullValue));
            query.bindValue(2, now);
            query.bindValue(3, deviceId);
            query.bindValue(4, address);
        }
        if (!ready || !query.exec()) {
            failure.error = query.lastError();
            failure.lines << QStringLiteral(
                                 "ERROR: [CDataBaseHandler::saveRegisterData] Invalid SQL request [2]")
                          << QStringLiteral("    Query [%1]").arg(sqlUpdateValue())
                          << QStringLiteral("    Set: deviceId[%1], regAddr[%2]")
                                 .arg(QString::number(deviceId), QString::number(address));
            return false;
        }
    }
    return true;
}

// The whole packet in one transaction or nothing of it. failure holds the
// lines that tell why, for the caller to log once per episode.
CDataBaseHandler::EStore CDataBaseHandler::storePacket(const DB::SDbDeviceRegDataSet& regData,
                                                       SFailure& failure)
{
    writableConnection();
    if (!beginImmediate(SAVE_BUSY_MS, failure.error)) {
        failure.lines << QStringLiteral(
                             "ERROR: [CDataBaseHandler::saveRegisterData] Transaction is not started! "
                             "Error_text[%1]")
                             .arg(failure.error.text());
        return EStore::Failed;
    }
    unsigned int deviceId = 0;
    bool known = false;
    const bool written = findDeviceId(regData.devEui, deviceId, known, failure) &&
                         (!known || writeRegisterValues(deviceId, regData, failure));
    if (!written || !known) {
        endTransaction(false);
        return written ? EStore::Dropped : EStore::Failed;
    }
    if (!endTransaction(true, &failure.error)) {
        failure.lines << QStringLiteral(
                             "ERROR: [CDataBaseHandler::saveRegisterData] Transaction is not committed! "
                             "Error_text[%1]")
                             .arg(failure.error.text());
        endTransaction(false);
        return EStore::Failed;
    }
    committed(deviceId, regData);
    return EStore::Stored;
}

// The packet's rows are committed: the next image of its port is published
// first, so whoever hears the signal reads the new words.
void CDataBaseHandler::committed(unsigned int deviceId, const DB::SDbDeviceRegDataSet& regData)
{
    if (regData.packetTime > 0)
        storedTimes.insert(regData.devEui, regData.packetTime);
    {
        std::unique_lock<std::mutex> writer(imageWriters);
        for (const int port : portsHolding(deviceId)) {
            const ImagePtr current = images.value(port);
            // A port that could not be read is built again from the rows, this packet's included.
            if (!current) {
                rebuildPortImage(port);
                continue;
            }
            auto next = std::make_shared<CPortRegisterImage>(*current);
            for (const DB::SDbDeviceRegDataRewrite& entry : regData.rewriteList)
                next->patch(deviceId, registerAddress(regData.startAddr, entry.regOffset), entry.fullValue);
            publish(port, next);
        }
    }
    emit registerDataCommitted(regData.devEui);
}

bool CDataBaseHandler::isOlderThanKept(const DB::SDbDeviceRegDataSet& regData) const
{
    if (regData.packetTime <= 0)
        return false;
    const qint64 stored = storedTimes.value(regData.devEui, 0);
    const auto waiting = pendingOrder.constFind(regData.devEui);
    const qint64 kept = waiting == pendingOrder.constEnd() ? 0 : pending.value(waiting.value()).packetTime;
    const qint64 newest = qMax(stored, kept);
    if (regData.packetTime >= newest)
        return false;
    addLog(LOG_OLDER.arg(regData.devEui, timeText(regData.packetTime), timeText(newest)));
    return true;
}

void CDataBaseHandler::saveRegisterData(DB::SDbDeviceRegDataSet regData)
{
    if (regData.rewriteList.isEmpty() && regData.modifList.isEmpty()) {
        addLog(QStringLiteral("INFO: [CDataBaseHandler::saveRegisterData] Empty input data"));
        return;
    }
    // Past a stop nothing is written: the file has been handed over whole.
    if (closed || isOlderThanKept(regData))
        return;
    // While packets wait, a new one waits behind them: trying it now would
    // only wait for the same lock again and reorder the device's packets.
    if (!pending.isEmpty() || readOnly) {
        keepPending(regData);
        if (!retryTimer->isActive())
            scheduleRetry();
        return;
    }
    storeOrKeep(regData);
}

void CDataBaseHandler::storeOrKeep(const DB::SDbDeviceRegDataSet& regData)
{
    SFailure failure;
    if (storePacket(regData, failure) != EStore::Failed)
        return;
    keepPending(regData);
    startEpisode(failure);
}

// One entry per device: a newer packet replaces the one kept before it.
void CDataBaseHandler::keepPending(const DB::SDbDeviceRegDataSet& regData)
{
    const auto before = pendingOrder.constFind(regData.devEui);
    if (before != pendingOrder.constEnd())
        pending.remove(before.value());
    pendingOrder.insert(regData.devEui, ++arrivals);
    pending.insert(arrivals, regData);
}

void CDataBaseHandler::startEpisode(const SFailure& failure)
{
    if (failure.error.nativeErrorCode() == SQLITE_READONLY_CODE) {
        readOnly = true;
        addLog(LOG_READ_ONLY.arg(QStringLiteral("CDataBaseHandler::saveRegisterData"), dbPath,
                                 failure.error.databaseText()));
    } else {
        for (const QString& line : failure.lines)
            addLog(line);
        addLog(LOG_KEPT.arg(pending.last().devEui, failure.error.databaseText()));
    }
    retryAttempts = 0;
    scheduleRetry();
}

void CDataBaseHandler::scheduleRetry()
{
    if (episodeStart == 0)
        episodeStart = QDateTime::currentMSecsSinceEpoch();
    const int shift = qMin(retryAttempts, 3);
    retryTimer->start(qMin(RETRY_FIRST_MS << shift, RETRY_MAX_MS));
}

// Stores the kept packets in arrival order; false at the first that fails.
bool CDataBaseHandler::flushPending()
{
    while (!pending.isEmpty()) {
        const DB::SDbDeviceRegDataSet regData = pending.first();
        SFailure failure;
        if (storePacket(regData, failure) == EStore::Failed) {
            if (failure.error.nativeErrorCode() == SQLITE_READONLY_CODE && !readOnly) {
                readOnly = true;
                addLog(LOG_READ_ONLY.arg(QStringLiteral("CDataBaseHandler::saveRegisterData"), dbPath,
                                         failure.error.databaseText()));
            }
            return false;
        }
        pendingOrder.remove(regData.devEui);
        pending.remove(pending.firstKey());
    }
    return true;
}

void CDataBaseHandler::retryPendingSlot()
{
    if (closed)
        return;
    const bool wasReadOnly = readOnly;
    if (readOnly) {
        // A connection that found the file read-only never writes: open it again.
        ++generation;
        QString error;
        if (!probeWritable(error)) {
            ++retryAttempts;
            scheduleRetry();
            return;
        }
        readOnly = false;
        addLog(LOG_WRITABLE.arg(dbPath));
    }
    if (flushPending()) {
        if (!wasReadOnly)
            addLog(LOG_KEPT_STORED.arg(
                QString::number((QDateTime::currentMSecsSinceEpoch() - episodeStart) / 1000.0, 'f', 1)));
        retryAttempts = 0;
        episodeStart = 0;
        return;
    }
    // Read-only waits for the file however long it takes; other failures are given up in the end.
    if (++retryAttempts >= RETRY_LIMIT && !readOnly) {
        addLog(LOG_KEPT_DROPPED.arg(QString::number(pending.size()), QString::number(retryAttempts)));
        pending.clear();
        pendingOrder.clear();
        retryAttempts = 0;
        episodeStart = 0;
        return;
    }
    scheduleRetry();
}

void CDataBaseHandler::shutdown()
{
    if (closed)
        return;
    // Saves queued before the stop are stored first.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    retryTimer->stop();
    QElapsedTimer waited;
    waited.start();
    while (!pending.isEmpty() && !readOnly && waited.elapsed() < SHUTDOWN_FLUSH_MS) {
        if (!flushPending())
            QThread::msleep(50);
    }
    if (!pending.isEmpty())
        addLog(LOG_LOST.arg(QString::number(pending.size())));
    checkpoint();
    closed = true;
    releaseConnections();
}

// Every other connection is closed first, so that no reader keeps the
// checkpoint from emptying the journal; closing the last one removes it.
void CDataBaseHandler::checkpoint()
{
    QThread* current = QThread::currentThread();
    QStringList names;
    {
        std::unique_lock<std::mutex> locker(connectionsMutex);
        for (auto it = connections.begin(); it != connections.end();) {
            if (it.key() == current) {
                ++it;
                continue;
            }
            it.value()->statements.clear();
            it.value()->db.close();
            names << it.value()->db.connectionName();
            it = connections.erase(it);
        }
    }
    for (const QString& name : qAsConst(names))
        QSqlDatabase::removeDatabase(name);
    SConnection* own = threadConnection();
    if (!own)
        return;
    own->statements.clear();
    QSqlQuery query(own->db);
    query.exec(SQL_BUSY_TIMEOUT.arg(WINDOW_BUSY_MS));
    const bool done = query.exec(SQL_CHECKPOINT) && query.next() && query.value(0).toInt() == 0;
    if (!done && !readOnly)
        addLog(LOG_CHECKPOINT.arg(dbPath, query.lastError().isValid() ? query.lastError().databaseText()
                                                                      : QStringLiteral("busy")));
}
// The image of a port as its rows are now, read on the calling thread's connection.
bool CDataBaseHandler::buildPortImage(int port, ImagePtr& image, QString& error)
{
    QSqlQuery query;
    if (!prepared(sqlRegisterRange(), query)) {
        error = query.lastError().databaseText();
        return false;
    }
    query.bindValue(0, port);
    query.bindValue(1, std::numeric_limits<int>::min());
    query.bindValue(2, std::numeric_limits<int>::max());
    if (!query.exec()) {
        error = query.lastError().databaseText();
        return false;
    }
    auto built = std::make_shared<CPortRegisterImage>();
    bool any = false;
    while (query.next()) {
        built->appendRow(query.value(3).toUInt(), query.value(0).toInt(), query.value(1).toInt(),
                         query.value(2).toByteArray());
        any = true;
    }
    const QSqlError failure = query.lastError();
    query.finish();
    if (failure.isValid()) {
        error = failure.databaseText();
        return false;
    }
    built->finish();
    image = any ? built : nullptr;
    return true;
}

// The caller holds imageWriters. A port that cannot be read is published as
// such and logged once; reads of it fail until a rebuild succeeds.
void CDataBaseHandler::rebuildPortImage(int port)
{
    ImagePtr image;
    QString error;
    const bool built = buildPortImage(port, image, error);
    const auto before = images.constFind(port);
    const bool wasBroken = before != images.constEnd() && !before.value();
    if (!built) {
        if (!wasBroken) {
            logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterData] Invalid SQL request [1]"),
                       sqlRegisterRange());
            addLog(LOG_UNREADABLE.arg(QString::number(port), error));
        }
        publish(port, nullptr);
        return;
    }
    if (wasBroken)
        addLog(LOG_READABLE.arg(QString::number(port)));
    publish(port, image, !image);
}

void CDataBaseHandler::rebuildAllImages()
{
    QSqlQuery query;
    if (!prepared(sqlPorts(), query) || !query.exec()) {
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterData] Invalid SQL request [1]"),
                   sqlPorts());
        return;
    }
    QList<int> ports;
    while (query.next())
        ports << query.value(0).toInt();
    query.finish();
    for (const int port : qAsConst(ports))
        rebuildPortImage(port);
}

// The caller holds imageWriters, so the map cannot change meanwhile.
QList<int> CDataBaseHandler::portsHolding(unsigned int deviceId) const
{
    QList<int> ports;
    for (auto it = images.cbegin(); it != images.cend(); ++it) {
        if (!it.value() || it.value()->holdsDevice(deviceId))
            ports << it.key();
    }
    return ports;
}

// The caller holds imageWriters; the old image is let go outside the lock.
void CDataBaseHandler::publish(int port, const ImagePtr& image, bool remove)
{
    ImagePtr old;
    std::unique_lock<std::mutex> locker(imagesMutex);
    const auto found = images.find(port);
    if (found != images.end())
        old.swap(found.value());
    if (remove)
        images.remove(port);
    else
        images.insert(port, image);
}

bool CDataBaseHandler::readRegisterWords(int port, int firstRegister, int count,
                                         QVector<unsigned short>& words)
{
    words.clear();
    if (count <= 0)
        return true;
    if (!imagesEnabled) {
        QMap<unsigned short, unsigned short> rows;
        if (!readRegisterRows(port, firstRegister, count, rows))
            return false;
        words = CRegisterImage::wordsOf(rows, firstRegister, count);
        return true;
    }
    ImagePtr image;
    if (!currentImage(port, image))
        return false;
    words = (image ? *image : emptyImage()).readWords(firstRegister, count);
    return true;
}

QMap<unsigned short, unsigned short>
CDataBaseHandler::getRegisterData(const int& port, const int& firstRegister, const int& count)
{
    QMap<unsigned short, unsigned short> words;
    ImagePtr image;
    if (count <= 0)
        return words;
    if (!imagesEnabled)
        readRegisterRows(port, firstRegister, count, words);
    else if (currentImage(port, image))
        words = (image ? *image : emptyImage()).read(firstRegister, count);
    return words;
}

// The port's published image, null for a port without one; false when its rows cannot be read.
bool CDataBaseHandler::currentImage(int port, ImagePtr& image) const
{
    std::unique_lock<std::mutex> locker(imagesMutex);
    const auto found = images.constFind(port);
    if (found == images.constEnd())
        return true;
    image = found.value();
    return image != nullptr;
}

void CDataBaseHandler::setRegisterImagesEnabled(bool enabled)
{
    imagesEnabled = enabled;
}

// Rows are taken from below the range too, as far back as the port's widest
// datum reaches, so a datum that starts before the range still shows in it.
bool CDataBaseHandler::readRegisterRows(int port, int firstRegister, int count,
                                        QMap<unsigned short, unsigned short>& words)
{
    const int last = firstRegister + count - 1;
    QSqlQuery widest;
    QSqlQuery query;
    bool ok = prepared(sqlWidestDatum(), widest);
    if (ok) {
        widest.bindValue(placeholder(dataCol(DB::DATA_COL_PORT)), port);
        ok = widest.exec();
    }
    const int span = ok ? CRegisterImage::span(widest.next() ? widest.value(0).toInt() : 0) : 1;
    widest.finish();
    ok = ok && prepared(sqlRegisterRange(), query);
    if (ok) {
        query.bindValue(0, port);
        query.bindValue(1, firstRegister - span + 1);
        query.bindValue(2, last);
        ok = query.exec();
    }
    if (!ok) {
        logWithSql(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterData] Invalid SQL request [1]"),
                   sqlRegisterRange());
        return false;
    }
    for (int i = 0; i < count; ++i)
        words.insert(words.constEnd(), static_cast<unsigned short>(firstRegister + i), 0);
    while (query.next()) {
        const QByteArray fullValue = query.value(2).toByteArray();
        CRegisterImage::put(words, query.value(0).toInt(), query.value(1).toInt(), fullValue.constData(),
                            fullValue.size(), firstRegister, last);
    }
    query.finish();
    return true;
}
