// How the gateway comes through faults around it: the network server going
// away, a hard kill while uplinks pour in, a Modbus port held by someone else,
// and a working directory it may not write.

#include <atomic>
#include <csignal>
#include <thread>

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include "GatewayHarness.h"
#include "WorkDir.h"

using namespace harness;

namespace {
const QString APP_EUI = QStringLiteral("7a52000000000001"); // the pulse counter template
// Register offsets of that template: pulse count (32 bits), frame counter (32 bits).
const int PULSE_OFFSET = 0;
const int FCNT_OFFSET = 12;
const int MAP_SIZE = 16;
const uid_t NOBODY = 65534;
const int WAIT_MS = 15000;
const QVector<quint16> STORED_WORDS{0x0001, 0xe240, 0x0ce4}; // what storePulseCount stores

struct SPlannedDevice
{
    QString devEui;
    int port = 0;
    int startAddr = 0;
};

// The 32-bit datum at an offset of a device's map; -1 when the read failed.
qint64 servedDatum(const SPlannedDevice& dev, int offset, bool inProcess = false)
{
    const QVector<quint16> words = inProcess ? readWhileServing(dev.port, dev.startAddr + offset, 2)
                                             : readRegisters(dev.port, dev.startAddr + offset, 2);
    if (words.size() != 2)
        return -1;
    return (qint64(words.at(0)) << 16) | words.at(1);
}

QJsonObject standinDevice(const QString& devEui, int periodMs, int counterStart)
{
    const QJsonArray fields = {
        QJsonObject{{"offset", 1},
                    {"size", 4},
                    {"order", "be"},
                    {"generator", "counter"},
                    {"start", counterStart},
                    {"step", 1}},
        QJsonObject{{"offset", 5}, {"size", 2}, {"order", "le"}, {"generator", "const"}, {"value", 3300}},
        QJsonObject{{"offset", 7}, {"size", 1}, {"generator", "const"}, {"value", 60}},
    };
    return QJsonObject{{"dev_eui", devEui},
                       {"dev_name", devEui},
                       {"app_eui", APP_EUI},
                       {"period_ms", periodMs},
                       {"port", 2},
                       {"freq", 868100000},
                       {"dr", 5},
                       {"rssi", -71},
                       {"snr", 9.5},
                       {"packet_type", 1},
                       {"packet_size", 8},
                       {"fields", fields}};
}

void writeStandinConfig(const QList<SPlannedDevice>& devices, int periodMs, int counterStart)
{
    QJsonArray list;
    for (const SPlannedDevice& dev : devices)
        list.append(standinDevice(dev.devEui, periodMs, counterStart));
    const QJsonObject config{{"host", "127.0.0.1"},    {"port", 0},         {"login", "operator"},
                             {"password", "tarnwick"}, {"history_size", 5}, {"devices", list}};
    QFile file(QStringLiteral("standin.json"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(config).toJson());
}

QProcessEnvironment gatewayEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

// The stored datum at an offset of every device's map, by device EUI, read
// from the file by a read-only connection of its own; -1 when nothing is
// stored. The connection lives only for the call, so it holds no snapshot;
// given a string, it also takes the file's integrity check.
QMap<QString, qint64> storedDatum(const QString& dbPath, int offset, QString* integrity = nullptr)
{
    QMap<QString, qint64> values;
    const QString name = QStringLiteral("inspect");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(DB::SQL_DRIVER, name);
        db.setDatabaseName(dbPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery query(db);
            if (integrity && query.exec(QStringLiteral("PRAGMA integrity_check;")) && query.next())
                *integrity = query.value(0).toString();
            query.finish();
            query.exec(QStringLiteral("SELECT d.dev_eui, r.full_value FROM dev_data r JOIN devices d "
                                      "ON r.device = d.device WHERE r.reg_addr = d.start_addr + %1;")
                           .arg(offset));
            while (query.next()) {
                bool ok = false;
                const qint64 value = query.value(1).toString().toLongLong(&ok, 16);
                values.insert(query.value(0).toString(), ok ? value : -1);
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return values;
}

// Names and bytes of every file in a folder.
QMap<QString, QByteArray> folderContents(const QString& path)
{
    QMap<QString, QByteArray> contents;
    for (const QString& name : QDir(path).entryList(QDir::Files | QDir::Hidden)) {
        QFile file(QDir(path).filePath(name));
        contents.insert(name, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>"));
    }
    return contents;
}
} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void serverGoesAwayAndComesBack();
    void killedDuringUplinkStorm();
    void modbusPortTakenAtStart();
    void modbusAnsweredWhileWindowIsBusy();
    void sigtermLeavesDatabaseWhole();
    void readOnlyWorkingDirectory_data();
    void readOnlyWorkingDirectory();

private:
    void startStandin(int port = 0);
    void registerDevices(const QList<SPlannedDevice>& devices);
    void storePulseCount(const SPlannedDevice& dev);
    QString dbPath() const { return QDir(work->path()).absoluteFilePath(DB::DB_FILENAME); }

    std::unique_ptr<CWorkDir> work;
    QProcess standin;
    QProcess gateway;
    int standinPort = 0;
    CInProcessGateway inProcess;
};

void TestFaults::init()
{
    work = std::make_unique<CWorkDir>(false);
    QVERIFY(work->isValid());
    copySampleTemplates();
}

void TestFaults::cleanup()
{
    inProcess.stop();
    for (QProcess* process : {&gateway, &standin}) {
        if (process->state() != QProcess::NotRunning) {
            ::kill(pid_t(process->processId()), SIGCONT);
            process->kill();
            process->waitForFinished();
        }
    }
    // Folders left read-only by a test must open again for removal.
    for (const QString& sub : QDir(work->path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        QFile::setPermissions(QDir(work->path()).filePath(sub),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    work.reset();
}

void TestFaults::startStandin(int port)
{
    harness::startStandin(standin, QStringLiteral("standin.json"), port, standinPort);
}

// Writes the devices into server.db of the working directory with the
// product's own registration, as the add dialog would, then lets go of it.
void TestFaults::registerDevices(const QList<SPlannedDevice>& devices)
{
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    QVERIFY(storage);
    const REGS::SDeviceRegisterInfo info =
        CAllDeviceHandler::getInstance()->getRegisterInfo(APP_EUI.toUpper());
    QVERIFY(!info.registers.isEmpty());
    for (const SPlannedDevice& dev : devices) {
        const DB::SDeviceRegMapDescription desc{dev.devEui, APP_EUI, dev.devEui, dev.startAddr,
                                                info.registers};
        QVERIFY(storage->registerNewDevice(desc, quint16(dev.port)));
    }
    CAllDeviceHandler::resetInstance();
    CDataBaseHandler::resetInstance();
    QCoreApplication::processEvents();
    delete CLogFile::getInstance();
}

// A pulse count of 123456 and battery of 3300 in server.db for the device.
void TestFaults::storePulseCount(const SPlannedDevice& dev)
{
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    DB::SDbDeviceRegDataSet data{dev.devEui, dev.startAddr, {}, {}};
    data.appendRewriteData(QStringLiteral("0001"), 0, QStringLiteral("0001e240"));
    data.appendRewriteData(QStringLiteral("e240"), 1, QString());
    data.appendRewriteData(QStringLiteral("0ce4"), 2, QStringLiteral("0ce4"));
    CDataBaseHandler::getInstance()->saveRegisterData(data);
    CDataBaseHandler::resetInstance();
    QCoreApplication::processEvents();
    delete CLogFile::getInstance();
}

// While the server is away the status says so and Modbus clients keep reading
// the last stored packet; the uplinks come back with the server.
void TestFaults::serverGoesAwayAndComesBack()
{
    const SPlannedDevice dev{QStringLiteral("7a52000000010001"), freePort(), 100};
    writeStandinConfig({dev}, 50, 1000);
    startStandin();
    const int serverPort = standinPort;
    writeSettings(serverPort);
    registerDevices({dev});
    inProcess.start();

    QLabel* status = nullptr;
    for (QLabel* label : inProcess.window()->findChildren<QLabel*>())
        if (label->text() == QLatin1String("Connection state..."))
            status = label;
    QVERIFY(status);
    QTRY_VERIFY_WITH_TIMEOUT(servedDatum(dev, PULSE_OFFSET, true) >= 1000, WAIT_MS);

    standin.kill();
    QVERIFY(standin.waitForFinished());
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("DISCONNECTED"), WAIT_MS);
    // Saves still queued when the server vanished may land a moment later.
    QTRY_COMPARE_WITH_TIMEOUT(servedDatum(dev, PULSE_OFFSET, true),
                              storedDatum(dbPath(), PULSE_OFFSET).value(dev.devEui), WAIT_MS);
    // Both come from the same packet: the counter runs in step with fcnt.
    QCOMPARE(servedDatum(dev, PULSE_OFFSET, true), 1000 + servedDatum(dev, FCNT_OFFSET, true));

    // The server returns on its old port with counters far from the old ones.
    writeStandinConfig({dev}, 50, 500000);
    startStandin(serverPort);
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("SUCCESS"), WAIT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(servedDatum(dev, PULSE_OFFSET, true) >= 500000, WAIT_MS);
}

// SIGKILL while four devices send every 10 ms, three times over: the file
// stays sound, a restart serves exactly what was stored, and storing goes on.
void TestFaults::killedDuringUplinkStorm()
{
    const int portA = freePort();
    const int portB = freePort();
    const QList<SPlannedDevice> devices = {
        {QStringLiteral("7A52000000110001"), portA, 100},
        {QStringLiteral("7A52000000110002"), portA, 200},
        {QStringLiteral("7A52000000110003"), portB, 100},
        {QStringLiteral("7A52000000110004"), portB, 200},
    };
    writeStandinConfig(devices, 10, 1000);
    startStandin();
    writeSettings(standinPort);
    registerDevices(devices);

    QMap<QString, qint64> stored; // frame counters in the file after the last kill
    for (int round = 0; round < 3; ++round) {
        startGatewayProcess(gateway, work->path());
        QVERIFY(gateway.waitForStarted());
        for (const SPlannedDevice& dev : devices)
            QTRY_VERIFY_WITH_TIMEOUT(servedDatum(dev, FCNT_OFFSET) > stored.value(dev.devEui, 0), WAIT_MS);
        // Kill well inside the storm, not on its first packet.
        const qint64 first = servedDatum(devices.first(), FCNT_OFFSET);
        QTRY_VERIFY_WITH_TIMEOUT(servedDatum(devices.first(), FCNT_OFFSET) >= first + 50, WAIT_MS);
        gateway.kill();
        QVERIFY(gateway.waitForFinished());
        QCOMPARE(gateway.exitStatus(), QProcess::CrashExit);

        QString integrity;
        stored = storedDatum(dbPath(), FCNT_OFFSET, &integrity);
        QCOMPARE(integrity, QStringLiteral("ok"));
        QCOMPARE(stored.size(), devices.size());
        // A packet is stored whole or not at all: its counter runs in step with fcnt.
        const QMap<QString, qint64> pulses = storedDatum(dbPath(), PULSE_OFFSET);
        QStringList figures;
        for (const SPlannedDevice& dev : devices) {
            QVERIFY2(stored.value(dev.devEui) > 0, qPrintable(dev.devEui));
            QCOMPARE(pulses.value(dev.devEui), 1000 + stored.value(dev.devEui));
            figures << QString::number(stored.value(dev.devEui));
        }
        qInfo("kill %d: integrity_check %s, stored fcnt %s", round + 1, qPrintable(integrity),
              qPrintable(figures.join(QLatin1Char(' '))));
    }

    // With the server frozen nothing new arrives, so what a restarted gateway
    // serves must be exactly what the file holds.
    const QMap<QString, qint64> pulses = storedDatum(dbPath(), PULSE_OFFSET);
    QVERIFY(::kill(pid_t(standin.processId()), SIGSTOP) == 0);
    startGatewayProcess(gateway, work->path());
    QVERIFY(gateway.waitForStarted());
    for (const SPlannedDevice& dev : devices) {
        QTRY_COMPARE_WITH_TIMEOUT(servedDatum(dev, FCNT_OFFSET), stored.value(dev.devEui), WAIT_MS);
        QCOMPARE(servedDatum(dev, PULSE_OFFSET), pulses.value(dev.devEui));
    }
    qInfo("restarted with the server frozen: every device served its stored fcnt and pulse count");
    QVERIFY(::kill(pid_t(standin.processId()), SIGCONT) == 0);
    for (const SPlannedDevice& dev : devices)
        QTRY_VERIFY_WITH_TIMEOUT(servedDatum(dev, FCNT_OFFSET) > stored.value(dev.devEui), WAIT_MS);
    qInfo("server resumed: fcnt of %s went from %lld to %lld", qPrintable(devices.first().devEui),
          stored.value(devices.first().devEui), servedDatum(devices.first(), FCNT_OFFSET));

    terminateCleanly(gateway);
    QString integrity;
    storedDatum(dbPath(), FCNT_OFFSET, &integrity);
    QCOMPARE(integrity, QStringLiteral("ok"));
}

// One port held by another program: that port alone is reported, in one line
// with the reason, and stays with its holder; the gateway keeps running and
// serves the device on the other port.
void TestFaults::modbusPortTakenAtStart()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    const SPlannedDevice blocked{QStringLiteral("7A52000000120001"), holder.serverPort(), 100};
    const SPlannedDevice served{QStringLiteral("7A52000000120002"), freePort(), 100};
    registerDevices({blocked, served});

    storePulseCount(served);

    startGatewayProcess(gateway, work->path());
    QVERIFY(gateway.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(readRegisters(served.port, served.startAddr, 3), STORED_WORDS, WAIT_MS);

    const QRegularExpression warning(
        QStringLiteral("WARNING: \\[CDeviceHandler::CDeviceHandler\\] Port \\[%1\\] is not listened: \\S.*")
            .arg(blocked.port));
    QTRY_VERIFY_WITH_TIMEOUT(warning.match(CWorkDir::log()).hasMatch(), WAIT_MS);
    const QString log = CWorkDir::log();
    qInfo().noquote() << warning.match(log).captured(0);
    QCOMPARE(log.count(QStringLiteral("is not listened")), 1);
    QCOMPARE(gateway.state(), QProcess::Running);
    // The held port still belongs to its holder.
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, blocked.port);
    QVERIFY(holder.waitForNewConnection(WAIT_MS));

    terminateCleanly(gateway);
}

// A window busy for half a second (a long repaint, a dialog's query) must not
// hold up a SCADA poll.
void TestFaults::modbusAnsweredWhileWindowIsBusy()
{
    const SPlannedDevice dev{QStringLiteral("7A52000000140001"), freePort(), 100};
    registerDevices({dev});
    storePulseCount(dev);
    inProcess.start();
    QTRY_COMPARE_WITH_TIMEOUT(readWhileServing(dev.port, dev.startAddr, 3), STORED_WORDS, WAIT_MS);

    std::atomic<bool> answered{false};
    std::thread scada([&] { answered = readRegisters(dev.port, dev.startAddr, 3) == STORED_WORDS; });
    QThread::msleep(500); // the window's thread turns no event loop meanwhile
    const bool answeredWhileBusy = answered;
    scada.join();
    QVERIFY(answeredWhileBusy);
}

// After SIGTERM server.db alone, without the journal beside it, holds every
// device and its last stored value: what a copy or a backup takes.
void TestFaults::sigtermLeavesDatabaseWhole()
{
    const int port = freePort();
    const QList<SPlannedDevice> devices = {{QStringLiteral("7A52000000150001"), port, 100},
                                           {QStringLiteral("7A52000000150002"), port, 200}};
    writeStandinConfig(devices, 20, 1000);
    startStandin();
    writeSettings(standinPort);
    registerDevices(devices);
    startGatewayProcess(gateway, work->path());
    QVERIFY(gateway.waitForStarted());
    for (const SPlannedDevice& dev : devices)
        QTRY_VERIFY_WITH_TIMEOUT(servedDatum(dev, FCNT_OFFSET) > 20, WAIT_MS);
    terminateCleanly(gateway);

    const QMap<QString, qint64> stored = storedDatum(dbPath(), FCNT_OFFSET);
    QCOMPARE(stored.size(), devices.size());
    QTemporaryDir copy;
    const QString alone = QDir(copy.path()).filePath(DB::DB_FILENAME);
    QVERIFY(QFile::copy(dbPath(), alone));
    QCOMPARE(storedDatum(alone, FCNT_OFFSET), stored);
}

void TestFaults::readOnlyWorkingDirectory_data()
{
    QTest::addColumn<bool>("earlierRun");
    QTest::newRow("fresh folder") << false;
    QTest::newRow("folder holding the database and log of an earlier run") << true;
}

// The gateway must not run on without storage or log: it says why and stops.
void TestFaults::readOnlyWorkingDirectory()
{
    QFETCH(bool, earlierRun);
    const bool asRoot = geteuid() == 0;
    // Root writes into a mode-0555 folder all the same; an unprivileged user does not.
    const QStringList asNobody{QStringLiteral("--reuid=%1").arg(NOBODY),
                               QStringLiteral("--regid=%1").arg(NOBODY), QStringLiteral("--clear-groups")};
    QVERIFY(QFile::setPermissions(work->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                                    QFile::ExeOther));
    // A copy beside the folder, so that the build's own path need not be open to that user.
    QString gatewayBin = QStringLiteral(TW_GATEWAY_BIN);
    if (asRoot) {
        const QString copy = QDir(work->path()).absoluteFilePath(QStringLiteral("tarnwick"));
        QVERIFY(QFile::copy(gatewayBin, copy));
        gatewayBin = copy;
        QProcess probe;
        probe.start(QStringLiteral("setpriv"),
                    asNobody + QStringList{QStringLiteral("test"), QStringLiteral("-x"), gatewayBin});
        if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
            probe.exitCode() != 0)
            QSKIP("setpriv is missing: an unprivileged user is needed to make a folder read-only");
    }

    const QString roPath = QDir(work->path()).absoluteFilePath(QStringLiteral("readonly"));
    QVERIFY(QDir().mkdir(roPath));
    QDir::setCurrent(roPath);
    QDir().mkdir(COMM::DEVICE_FOLDER);
    QVERIFY(QFile::copy(QStringLiteral(TW_SOURCE_DIR "/templates/pulse_counter.json"),
                        COMM::DEVICE_FOLDER + QStringLiteral("/pulse_counter.json")));
    if (earlierRun) {
        writeSettings(freePort());
        registerDevices({{QStringLiteral("7A52000000130001"), freePort(), 100}});
        QVERIFY(QFile::exists(DB::DB_FILENAME) && QFile::exists(COMM::LOG_FILENAME));
    }
    QDir::setCurrent(work->path());
    // The earlier run was the same user's, so its files stay writable to it:
    // only the folder says no.
    if (asRoot) {
        for (const QString& name : QDir(roPath).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
            QCOMPARE(::chown(qPrintable(QDir(roPath).filePath(name)), NOBODY, NOBODY), 0);
        QCOMPARE(::chown(qPrintable(roPath), NOBODY, NOBODY), 0);
    }
    QVERIFY(QFile::setPermissions(roPath, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                              QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    const QMap<QString, QByteArray> before = folderContents(roPath);

    gateway.setProcessEnvironment(gatewayEnvironment());
    gateway.setWorkingDirectory(roPath);
    if (asRoot)
        gateway.start(QStringLiteral("setpriv"), asNobody + QStringList{gatewayBin});
    else
        gateway.start(gatewayBin, {});
    QVERIFY(gateway.waitForStarted());
    QVERIFY2(gateway.waitForFinished(10000), "the gateway kept running in a read-only folder");
    const QByteArray errors = gateway.readAllStandardError();
    qInfo().noquote() << "exit code" << gateway.exitCode() << "stderr:" << errors.trimmed();
    QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gateway.exitCode(), 1);
    const QByteArray expected = "CRITICAL_ERROR! [main] Working directory [" +
                                QFileInfo(roPath).canonicalFilePath().toUtf8() +
                                "] is not writable. The gateway stops.";
    QVERIFY2(errors.contains(expected), errors.constData());
    QCOMPARE(folderContents(roPath), before);
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
