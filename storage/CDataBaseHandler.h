#pragma once

#include <functional>

#include <QHash>
#include <QMap>
#include <QPair>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include "app/global.h"
#include "storage/CPortRegisterImage.h"

class QThread;

// Owner of server.db. Lives in the storage thread, where the queued
// saveRegisterData calls run; every other operation is called directly from
// the main thread. One mutex serialises all use of the connection.
class CDataBaseHandler : public QObject
{
    Q_OBJECT
public:
    static CDataBaseHandler* getInstance();
    // Tests only: drops the instance so the next getInstance opens the file again.
    static void resetInstance();

    bool registerNewDevice(const DB::SDeviceRegMapDescription& desc, const unsigned short& port);
    bool deleteDevice(unsigned int deviceId);
    QSqlQuery getDevices(QString filter);
    QSqlQuery getRegisters(unsigned int deviceId);
    QStringList getRegisteredDevices();
    DB::SDbRegParamInfo getRegisterParam(QString devEui, unsigned int regAddr);
    void updateRegInfo(DB::SDbDevRegParamInfo info);
    QMap<unsigned short, unsigned short> getRegisterData(const int& port, const int& firstRegister,
                                                         const int& count);
    // Tests and benchmarks only: false sends every read to SQL, to compare it
    // with the in-memory images (which saves keep patching either way).
    void setRegisterImagesEnabled(bool enabled);

public slots:
    void saveRegisterData(DB::SDbDeviceRegDataSet regData);

private:
    explicit CDataBaseHandler(QObject* parent = nullptr);
    ~CDataBaseHandler() override;

    // Construction steps.
    bool createTables();
    bool createTable(const QString& table, bool sizeValid, const QString& sqlTemplate);
    void createIndexes();
    void fail(const QString& message);

    // Connections and statements; the caller holds the mutex.
    QSqlDatabase connection();
    QSqlDatabase openThreadConnection(QThread* thread);
    bool prepared(const QString& sql, QSqlQuery& query);
    void releaseConnections();

    // Registration steps, run inside one transaction.
    bool insertDevice(const DB::SDeviceRegMapDescription& desc, const unsigned short& port);
    bool isNewDevice(const QString& devEui);
    bool insertDeviceRow(const DB::SDeviceRegMapDescription& desc, const unsigned short& port);
    bool queryDeviceId(const QString& devEui, bool& found, unsigned int& deviceId);
    bool readDeviceId(const QString& devEui, unsigned int& deviceId);
    bool insertRegisterRows(const DB::SDeviceRegMapDescription& desc, const unsigned short& port,
                            unsigned int deviceId);
    bool deleteRows(unsigned int deviceId);
    bool runAtomically(const QString& origin, const std::function<bool()>& work);

    // Register value helpers.
    bool findDeviceId(const QString& devEui, unsigned int& deviceId);
    void writeRegisterValues(unsigned int deviceId, const DB::SDbDeviceRegDataSet& regData);
    bool widestSpan(int port, int& span);
    bool execRegisterRange(QSqlQuery& query, int port, int low, int high);
    QMap<unsigned short, unsigned short> readRegisterRows(int port, int firstRegister, int count);
    CPortRegisterImage* portImage(int port);
    void patchPortImages(unsigned int deviceId, int regAddr, const QString& fullValue);
    void dropPortImagesOf(unsigned int deviceId);
    QSqlQuery materialised(QSqlQuery query);

    QSqlDatabase db; // connection of the thread that created the handler (main)
    QMutex mutex;
    // Every other thread that calls in gets a connection of its own: a Qt SQL
    // connection may only be used by the thread that opened it.
    QHash<QThread*, QSqlDatabase> threadConnections;
    QString dbPath; // absolute, so later connections find the file whatever the working directory
    // Statements prepared once per connection, by connection name and SQL text.
    QHash<QString, QHash<QString, QSqlQuery>> statements;
    // Widest datum of each port, in registers; reset whenever devices change.
    QHash<int, int> portSpans;
    // Register words of each port read so far, so that a Modbus read runs no
    // query; built on a port's first read, dropped when its devices change.
    QHash<int, CPortRegisterImage> portImages;
    bool registerImagesEnabled = true;
    // Scaling of registers the decoder asked for, by device EUI and address;
    // every uplink asks again, while only the operator changes them.
    QHash<QPair<QString, unsigned int>, DB::SDbRegParamInfo> registerParams;
};
