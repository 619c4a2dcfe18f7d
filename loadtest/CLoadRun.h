#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <vector>

#include "loadtest/CModbusPoller.h"
#include "loadtest/LoadPlan.h"

class CStandinServer;

struct SLoadOptions
{
    int seconds = 60;
    int clients = 8;
    int devices = 50;
    int ports = 5;
    int periodMs = 250; // per device
    QString gatewayBin;
    QString templateFile;
    QString workDir; // empty: a temporary one, removed after a passing run
};

struct SRssSample
{
    qint64 atMs = 0; // since the load began
    qint64 kib = 0;
};

// One load run of the real gateway executable: seeds a working directory,
// registers the devices, serves them uplinks from an in-process stand-in
// network server while Modbus clients poll, then checks that the last
// uplink of every device was stored, and prints the figures.
class CLoadRun
{
public:
    explicit CLoadRun(const SLoadOptions& options);
    ~CLoadRun();

    // 0 when every criterion held.
    int exec();

private:
    bool prepareWorkDir();
    bool registerDevices();
    bool startStandin();
    bool startGateway();
    bool waitForListeners();
    bool waitForLogin();
    void runLoad();
    void drain();
    void checkDatabase();
    void stopGateway();
    int report();

    void sendUplink(int index);
    void sampleRss(qint64 atMs);
    bool gatewayAlive();
    void fail(const QString& text);
    // Every device read once over fresh connections; false entries could not be read.
    std::vector<bool> readAllDevices(std::vector<SDecodedAnswer>& answers);

    SLoadOptions options;
    QString dir;
    std::unique_ptr<QTemporaryDir> tempDir;
    QList<SLoadDevice> devices;
    QList<quint16> modbusPorts;
    std::unique_ptr<CStandinServer> standin;
    QProcess gateway;
    qint64 gatewayPid = 0;

    SLoadShared shared;
    std::vector<int64_t> nextFcnt;
    QStringList failures;
    QStringList faults;

    // Figures.
    int probes = 0;
    qint64 uplinksSent = 0;
    qint64 loadMs = 0;
    std::vector<SRssSample> rss;
    qint64 rssAtHalf = 0;
    SPollerStats total;
    int pollers = 0;
    int drainedModbus = 0;
    qint64 drainMs = 0;
    int storedInDb = 0;
    int gatewayLogErrors = 0;
    int exitCode = -1;
    bool exitNormal = false;
};
