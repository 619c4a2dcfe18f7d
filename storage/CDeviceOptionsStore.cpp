#include "storage/CDeviceOptionsStore.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "app/global.h"

namespace {
// This file's own table; its columns in the order the SELECT reads them.
const QString TABLE = QStringLiteral("device_options");
enum EColumn
{
    COL_DEVEUI = 0,
    COL_STATUSADDR = 1,
    COL_STALEMINUTES = 2,
    COL_STALEEXCEPTION = 3,
};
const QString SQL_CREATE =
    QStringLiteral("CREATE TABLE IF NOT EXISTS device_options ( dev_eui TEXT PRIMARY KEY NOT NULL, "
                   "status_addr INTEGER, stale_minutes INTEGER NOT NULL DEFAULT 0, "
                   "stale_exception INTEGER NOT NULL DEFAULT 0 )");
const QString SQL_UPSERT = QStringLiteral(
    "INSERT OR REPLACE INTO device_options (dev_eui, status_addr, stale_minutes, stale_exception) "
    "VALUES (?, ?, ?, ?)");
const QString SQL_SELECT =
    QStringLiteral("SELECT dev_eui, status_addr, stale_minutes, stale_exception FROM device_options");
const QString CONNECTION = QStringLiteral("device-options");

// The time each device's registers were last stored, by its EUI. Built on
// first use: the names are globals of another file.
const QString& sqlLastStored()
{
    static const QString sql =
        QStringLiteral("SELECT d.%3, MAX(v.%5) FROM %1 d JOIN %2 v ON v.%6 = d.%4 GROUP BY d.%4")
            .arg(DB::DB_TABLE_DEVICES, DB::DB_TABLE_DEVDATA, DB::DbTableDevicesList.at(DB::DEV_COL_DEVEUI),
                 DB::DbTableDevicesList.at(DB::DEV_COL_DEVICE), DB::DbTableDevDataList.at(DB::DATA_COL_TIME),
                 DB::DbTableDevDataList.at(DB::DATA_COL_DEVICE));
    return sql;
}

// A connection for one call, removed when the call ends.
class CScopedConnection
{
public:
    CScopedConnection()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(DB::SQL_DRIVER, CONNECTION);
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
    if (!connection.opened || !connection.run(query, sqlLastStored())) {
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
        const QVariant address = query.value(COL_STATUSADDR);
        read.statusAddress = address.isNull() ? SDeviceOptions::NO_STATUS_BLOCK : address.toInt();
        read.staleMinutes = query.value(COL_STALEMINUTES).toInt();
        read.staleException = query.value(COL_STALEEXCEPTION).toBool();
        options.insert(COMM::euiKey(query.value(COL_DEVEUI).toString()), read);
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
