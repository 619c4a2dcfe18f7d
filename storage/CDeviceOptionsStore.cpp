#include "storage/CDeviceOptionsStore.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "app/global.h"

namespace {
const QString TABLE = QStringLiteral("device_options");
const QString SQL_CREATE =
    QStringLiteral("CREATE TABLE IF NOT EXISTS device_options ( dev_eui TEXT PRIMARY KEY NOT NULL, "
                   "status_addr INTEGER, stale_minutes INTEGER NOT NULL DEFAULT 0, "
                   "stale_exception INTEGER NOT NULL DEFAULT 0 )");
const QString SQL_UPSERT = QStringLiteral(
    "INSERT OR REPLACE INTO device_options (dev_eui, status_addr, stale_minutes, stale_exception) "
    "VALUES (?, ?, ?, ?)");
const QString SQL_SELECT =
    QStringLiteral("SELECT dev_eui, status_addr, stale_minutes, stale_exception FROM device_options");
const QString SQL_LAST_STORED = QStringLiteral("SELECT d.dev_eui, MAX(v.time) FROM devices d "
                                               "JOIN dev_data v ON v.device = d.device GROUP BY d.device");
const QString SQL_DRIVER = QStringLiteral("QSQLITE");
const QString CONNECTION = QStringLiteral("device-options");

// A connection for one call, removed when the call ends.
class CScopedConnection
{
public:
    CScopedConnection()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(SQL_DRIVER, CONNECTION);
        db.setDatabaseName(QFileInfo(DB::DB_FILENAME).absoluteFilePath());
        db.setConnectOptions(
            QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(CDeviceOptionsStore::BUSY_TIMEOUT_MS));
        opened = db.open();
        if (!opened)
            reason = db.lastError().text();
    }
    ~CScopedConnection()
    {
        QSqlDatabase::database(CONNECTION, false).close();
        QSqlDatabase::removeDatabase(CONNECTION);
    }
    bool run(QSqlQuery& query, const QString& sql, const QVariantList& values = {})
    {
        query = QSqlQuery(QSqlDatabase::database(CONNECTION, false));
        bool ok = query.prepare(sql);
        for (int i = 0; ok && i < values.size(); ++i)
            query.bindValue(i, values.at(i));
        ok = ok && query.exec();
        if (!ok)
            reason = query.lastError().text();
        return ok;
    }

    bool opened = false;
    QString reason;
};

bool hasTable()
{
    return QSqlDatabase::database(CONNECTION, false).tables().contains(TABLE);
}
} // namespace

bool CDeviceOptionsStore::load(QHash<QString, SDeviceOptions>& options, QHash<QString, qint64>& lastStored,
                               QString& error)
{
    options.clear();
    lastStored.clear();
    CScopedConnection connection;
    QSqlQuery query;
    if (!connection.opened || !connection.run(query, SQL_LAST_STORED)) {
        error = connection.reason;
        return false;
    }
    while (query.next())
        if (!query.value(1).isNull())
            lastStored.insert(COMM::euiKey(query.value(0).toString()), query.value(1).toLongLong());
    if (!hasTable())
        return true;
    if (!connection.run(query, SQL_SELECT)) {
        error = connection.reason;
        return false;
    }
    while (query.next()) {
        SDeviceOptions read;
        read.statusAddress =
            query.value(1).isNull() ? SDeviceOptions::NO_STATUS_BLOCK : query.value(1).toInt();
        read.staleMinutes = query.value(2).toInt();
        read.staleException = query.value(3).toBool();
        options.insert(COMM::euiKey(query.value(0).toString()), read);
    }
    return true;
}

bool CDeviceOptionsStore::save(const QString& devEui, const SDeviceOptions& options, QString& error)
{
    CScopedConnection connection;
    // Nothing chosen and nothing stored: the file stays as an older gateway wrote it.
    if (connection.opened && options == SDeviceOptions() && !hasTable())
        return true;
    QSqlQuery query;
    const QVariant address = options.statusAddress == SDeviceOptions::NO_STATUS_BLOCK
                                 ? QVariant()
                                 : QVariant(options.statusAddress);
    const bool ok =
        connection.opened && connection.run(query, SQL_CREATE) &&
        connection.run(query, SQL_UPSERT,
                       {COMM::euiKey(devEui), address, options.staleMinutes, int(options.staleException)});
    if (!ok)
        error = connection.reason;
    return ok;
}
