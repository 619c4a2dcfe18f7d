// The gateway without a window: the headless gateway as a service runs it,
// the device commands, and one gateway per working directory.

#include <csignal>

#include <QLockFile>
#include <QTemporaryDir>

#include "GatewayHarness.h"
#include "WorkDir.h"
#include "app/CSettings.h"
#include "app/InstanceLock.h"
#include "headless/StoredServer.h"

using namespace harness;

namespace {
const QString KNOWN = QStringLiteral("7A52000000010001"); // in the stand-in's list, pulse counter template
const int START_ADDR = 100;

// One pulse counter sending every 100 ms, counting from 1000.
const char* STANDIN_CONFIG = R"({"host": "127.0.0.1", "port": 0, "login": "operator", "password": "tarnwick",
    "history_size": 3, "devices": [{"dev_eui": "7a52000000010001", "dev_name": "Boiler room",
    "app_eui": "7A52000000000001", "period_ms": 100, "port": 2, "packet_type": 1, "packet_size": 8,
    "fields": [{"offset": 1, "size": 4, "order": "be", "generator": "counter", "start": 1000, "step": 1}]}]})";

// No display of any kind: the headless gateway must not need one.
QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    return env;
}
} // namespace

class TestHeadless : public QObject
{
    Q_OBJECT
    QProcess standin;
    int standinPort = 0;
    std::unique_ptr<CWorkDir> work;

    // Runs the gateway in the test's directory; its exit code, -1 if it hung.
    int run(const QStringList& args, QString* output = nullptr,
            const QProcessEnvironment& env = withoutDisplay())
    {
        QProcess gateway;
        gateway.setProcessEnvironment(env);
        gateway.start(QStringLiteral(TW_GATEWAY_BIN), args + QStringList{"--workdir", work->path()});
        if (!gateway.waitForFinished(30000))
            return -1;
        if (output)
            *output =
                QString::fromLocal8Bit(gateway.readAllStandardOutput() + gateway.readAllStandardError());
        return gateway.exitCode();
    }

private slots:

    void initTestCase()
    {
        QTemporaryDir configDir;
        QFile config(configDir.filePath("standin.json"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(STANDIN_CONFIG);
        config.close();
        startStandin(standin, config.fileName(), 0, standinPort);
    }

    void cleanupTestCase()
    {
        standin.kill();
        standin.waitForFinished();
    }

    void init()
    {
        work.reset(new CWorkDir(false));
        QVERIFY(work->isValid());
        copySampleTemplates();
        writeSettings(standinPort);
    }

    void cleanup() { work.reset(); }

    // The window stores an IPv6 address bare; the URL needs its brackets.
    void storedIpv6ServerIsReached()
    {
        QFile settings(SETT::SETT_FILENAME);
        QVERIFY(settings.open(QIODevice::WriteOnly | QIODevice::Truncate));
        settings.write("[server]\nip=::1\nport=8002\nlogin=operator\npassword=tarnwick\n");
        settings.close();
        CSettings::getInstance(SETT::SETT_FILENAME);
        QCOMPARE(readStoredServer().origin, QStringLiteral("ws://[::1]:8002"));
        CSettings::resetInstance();
    }

    void deviceCommands_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("listedAfter"); // the known device

        const QStringList add{"--add-device", KNOWN, "--port", "1502", "--start", "100"};
        QTest::newRow("a device the server knows is added with its template and the server's name")
            << "" << add << 0 << "Device 7A52000000010001 (Boiler room) added on port 1502 from register 100"
            << true;
        QTest::newRow("a device added twice is refused the second time")
            << "added" << add << 1 << "is registered already" << true;
        QTest::newRow("a device the server does not list is refused")
            << "" << QStringList{"--add-device", "7A520000000100FF", "--port", "1502", "--start", "0"} << 1
            << "lists no device [7A520000000100FF]" << false;
        QTest::newRow("a device whose application has no template is refused")
            << "no templates" << add << 1
            << "No template in deviceFolder has the application EUI [7A52000000000001]" << false;
        QTest::newRow("without a server in settings.conf nothing can be added")
            << "no settings" << add << 1 << "settings.conf names no network server" << false;
        QTest::newRow("a registered device is removed")
            << "added" << QStringList{"--remove-device", KNOWN.toLower()} << 0 << "removed" << false;
        const QStringList map{"--export-map", "map.csv"};
        QTest::newRow("the register map lists the added device's seven registers")
            << "added" << map << 0 << "Register map with 7 registers written to /" << true;
        QTest::newRow("the register map is written beside a gateway that holds the directory")
            << "added, locked" << map << 0 << "Register map with 7 registers written" << true;
        QTest::newRow("no command changes devices while a gateway holds the directory")
            << "added, locked" << QStringList{"--remove-device", KNOWN} << 1
            << QString("Another gateway (process %1)").arg(QCoreApplication::applicationPid()) << true;
    }

    void deviceCommands()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, says);
        QFETCH(bool, listedAfter);

        if (setup.contains("added"))
            QCOMPARE(run({"--add-device", KNOWN, "--port", "1502", "--start", "100"}), 0);
        if (setup == "no templates")
            QVERIFY(QDir(COMM::DEVICE_FOLDER).removeRecursively());
        if (setup == "no settings")
            QVERIFY(QFile::remove(SETT::SETT_FILENAME));
        QLockFile lock(LOCK::LOCK_FILENAME);
        if (setup.contains("locked"))
            QVERIFY(lock.tryLock(0));

        QString output;
        QCOMPARE(run(args, &output), exitCode);
        QVERIFY2(output.contains(says), qPrintable(output));
        lock.unlock();
        QVERIFY(run({"--list-devices"}, &output) == 0);
        QCOMPARE(output.contains(KNOWN + "   7A52000000000001    1502   100  Boiler room"), listedAfter);
        QVERIFY(!QFile::exists(DB::DB_FILENAME + "-wal")); // server.db stands alone after a command
    }

    // A service's failure must reach history.log too: stderr may go nowhere.
    void headlessStopsWithoutStorage()
    {
        QVERIFY(QDir().mkdir(DB::DB_FILENAME)); // a folder where the database file should be
        QString output;
        QCOMPARE(run({"--headless"}, &output), 1);
        const QString line = "CRITICAL_ERROR! [main] Data base [server.db] cannot be opened in [";
        QVERIFY2(output.contains(line) && CWorkDir::log().contains(line), qPrintable(output));
    }

    // As a service runs it: no display, values served over Modbus, the directory
    // its own, and SIGTERM a clean end.
    void headlessGateway()
    {
        const int modbusPort = freePort();
        QCOMPARE(run({"--add-device", KNOWN, "--port", QString::number(modbusPort), "--start",
                      QString::number(START_ADDR)}),
                 0);
        QProcess gateway;
        gateway.setProcessEnvironment(withoutDisplay());
        gateway.start(QStringLiteral(TW_GATEWAY_BIN), {"--headless", "--workdir", work->path()});
        QVERIFY(gateway.waitForStarted());
        const auto pulses = [&] {
            const QVector<quint16> words = readRegisters(modbusPort, START_ADDR, 2);
            return words.size() == 2 ? (qint64(words.at(0)) << 16) | words.at(1) : -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(pulses() > 1000, 15000);

        QProcessEnvironment offscreen = withoutDisplay();
        offscreen.insert("QT_QPA_PLATFORM", "offscreen"); // the window's second instance needs one
        for (const QStringList& second : {QStringList{"--headless"}, QStringList{}}) {
            QString err;
            QCOMPARE(run(second, &err, offscreen), 1);
            const QString held = QString("CRITICAL_ERROR! [main] Another gateway (process %1) runs in [");
            QVERIFY2(err.contains(held.arg(gateway.processId())) && err.endsWith("This one stops.\n"),
                     qPrintable(err));
        }
        terminateCleanly(gateway);
        QFile log(COMM::LOG_FILENAME);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY(text.contains("Logged in to ws://127.0.0.1") && text.contains("1 of 1 devices caught up"));
    }
};

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
