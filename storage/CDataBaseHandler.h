#pragma once

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include "app/global.h"

// Owner of server.db. Lives in the storage thread, where the queued
// saveRegisterData calls run; every other operation is called directly from
// the main thread. One mutex serialises all use of the connection.
class CDataBaseHandler : public QObject
{
    Q_OBJECT
public:
    static CDataBaseHandler* getInstance();

    bool registerNewDevice(const DB::SDeviceRegMapDescription& desc, const unsigned short& port);
    bool deleteDevice(unsigned int deviceId);
    QSqlQuery getDevices(QString filter);
    QSqlQuery getRegisters(unsigned int deviceId);
    QStringList getRegisteredDevices();
    DB::SDbRegParamInfo getRegisterParam(QString devEui, unsigned int regAddr);
    void updateRegInfo(DB::SDbDevRegParamInfo info);
    QMap<unsigned short, unsigned short> getRegisterData(const int& port, const int& firstRegister, const int& count);

public slots:
    void saveRegisterData(DB::SDbDeviceRegDataSet regData);

private:
    explicit CDataBaseHandler(QObject* parent = nullptr);
    ~CDataBaseHandler() override;

    QSqlDatabase db;
    QMutex mutex;
};
