#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include <QHash>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include "app/global.h"
#include "storage/CPortRegisterImage.h"

class QThread;
class QTimer;

// Owner of server.db. Lives in the storage thread, where the queued
// saveRegisterData calls run; the window's operations are called directly
// from the main thread. Each thread has a connection of its own and no lock is
// held across SQL: a packet is one BEGIN IMMEDIATE transaction with a short
// busy wait, and Modbus reads are answered from per-port register images that
// each commit publishes whole.
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

    // Any thread. count words from firstRegister as of the last commit (never
    // half of one); waits for no SQL, no storage thread and no window. False
    // when the port's registers cannot be read (logged once when that began).
    // Word i is that of address firstRegister + i (cut to 16 bits).
    bool readRegisterWords(int port, int firstRegister, int count, QVector<unsigned short>& words);
    QMap<unsigned short, unsigned short> getRegisterData(const int& port, const int& firstRegister,
                                                         const int& count);
    // Tests and benchmarks only: false sends every read to SQL in the caller's
    // thread, to compare it with the images (which commits keep publishing).
    void setRegisterImagesEnabled(bool enabled);

signals:
    // A packet of the device (or its registration) is committed and readable.
    void registerDataCommitted(const QString& devEui);

public slots:
    void saveRegisterData(DB::SDbDeviceRegDataSet regData);
    // At a clean stop, in the storage thread: stores the saves still queued,
    // checkpoints the journal into server.db and closes every connection.
    void shutdown();

private slots:
    void retryPendingSlot();

private:
    struct SConnection
    {
        QSqlDatabase db;
        QHash<QString, QSqlQuery> statements; // prepared once, by SQL text
        int generation = 0;
        int busyMs = -1; // busy_timeout set last
    };

    // Why a packet was not stored: the lines to log once per episode and SQLite's error.
    struct SFailure
    {
        QStringList lines;
        QSqlError error;
    };

    enum class EStore
    {
        Stored,
        Dropped, // unknown device: logged, not retried
        Failed,
    };

    using ImagePtr = std::shared_ptr<const CPortRegisterImage>;

    explicit CDataBaseHandler(QObject* parent = nullptr);
    ~CDataBaseHandler() override;

    // Construction steps.
    bool passesQuickCheck();
    bool createTables();
    bool createTable(const QString& table, bool sizeValid, const QString& sqlTemplate);
    void createIndexes();
    void fail(const QString& message);

    // Connections and statements of the calling thread.
    SConnection* threadConnection();
    QSqlDatabase connection();
    QSqlDatabase writableConnection();
    bool prepared(const QString& sql, QSqlQuery& query);
    void releaseConnections();
    bool probeWritable(QString& error);
    void checkpoint();

    // Registration steps, run inside one transaction.
    bool insertDevice(const DB::SDeviceRegMapDescription& desc, const unsigned short& port);
    bool isNewDevice(const QString& devEui);
    bool insertDeviceRow(const DB::SDeviceRegMapDescription& desc, const unsigned short& port);
    bool queryDeviceId(const QString& devEui, bool& found, unsigned int& deviceId,
                       QSqlError* error = nullptr);
    bool readDeviceId(const QString& devEui, unsigned int& deviceId);
    bool insertRegisterRows(const DB::SDeviceRegMapDescription& desc, const unsigned short& port,
                            unsigned int deviceId);
    bool deleteRows(unsigned int deviceId);
    bool writeFormat(unsigned int deviceId, int regAddr, const FMT::SRegisterFormat& format);
    bool reformatValue(unsigned int deviceId, int regAddr, const FMT::SRegisterFormat& format);
    bool beginImmediate(int busyMs, QSqlError& error);
    bool endTransaction(bool commit, QSqlError* error = nullptr);
    bool runAtomically(const QString& origin, const std::function<bool()>& work);
    void forgetRegisterParams();

    // Saving a packet whole, and keeping it for a retry when that fails.
    EStore storePacket(const DB::SDbDeviceRegDataSet& regData, SFailure& failure);
    bool findDeviceId(const QString& devEui, unsigned int& deviceId, bool& known, SFailure& failure);
    bool writeRegisterValues(unsigned int deviceId, const DB::SDbDeviceRegDataSet& regData,
                             SFailure& failure);
    bool isOlderThanKept(const DB::SDbDeviceRegDataSet& regData) const;
    void keepPending(const DB::SDbDeviceRegDataSet& regData);
    void storeOrKeep(const DB::SDbDeviceRegDataSet& regData);
    void startEpisode(const SFailure& failure);
    bool flushPending();
    void scheduleRetry();
    void committed(unsigned int deviceId, const DB::SDbDeviceRegDataSet& regData);

    // Register images.
    bool buildPortImage(int port, ImagePtr& image, QString& error);
    void rebuildPortImage(int port);
    void rebuildAllImages();
    QList<int> portsHolding(unsigned int deviceId) const;
    void publish(int port, const ImagePtr& image, bool remove = false);
    bool currentImage(int port, ImagePtr& image) const;
    bool readRegisterRows(int port, int firstRegister, int count,
                          QMap<unsigned short, unsigned short>& words);
    QSqlQuery materialised(QSqlQuery query);

    QString dbPath; // absolute, so later connections find the file whatever the working directory
    // Every thread that calls in gets a connection of its own: a Qt SQL
    // connection may only be used by the thread that opened it. The lock
    // guards the map alone.
    std::mutex connectionsMutex;
    QHash<QThread*, std::shared_ptr<SConnection>> connections;
    std::atomic<int> generation{0}; // raised when connections must open the file again
    std::atomic<bool> closed{false};

    // Published images by port; a null image is a port whose rows cannot be
    // read. imagesMutex is held only to copy or swap a pointer; imageWriters
    // keeps two writers from publishing from the same old image.
    mutable std::mutex imagesMutex;
    QHash<int, ImagePtr> images;
    std::mutex imageWriters;
    std::atomic<bool> imagesEnabled{true};

    // Scaling of registers the decoder asked for, by device EUI and address;
    // every uplink asks again, while only the operator changes them.
    std::mutex paramsMutex;
    QHash<QPair<QString, unsigned int>, DB::SDbRegParamInfo> registerParams;
    quint64 paramsGeneration = 0;

    // Storage-thread state: packets that could not be stored yet, the newest
    // of each device in arrival order, and the time stamps of stored packets.
    QMap<quint64, DB::SDbDeviceRegDataSet> pending;
    QHash<QString, quint64> pendingOrder;
    quint64 arrivals = 0;
    QHash<QString, qint64> storedTimes;
    QTimer* retryTimer = nullptr;
    int retryAttempts = 0;
    qint64 episodeStart = 0;
    std::atomic<bool> readOnly{false};
    // Table "reg_format" is there; it is made when the first format is written.
    std::atomic<bool> formatTable{false};
};
