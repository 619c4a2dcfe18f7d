#include <QtSql>
#include <QtTest>

#include <QHostAddress>
#include <QTcpSocket>

#include "GatewayHarness.h"
#include "WorkDir.h"

namespace {
const QString EUI_A = QStringLiteral("7A5200E75E00AA01");
const QString EUI_B = QStringLiteral("7A5200E75E00BB02");
const QString HUMIDITY_APP = QStringLiteral("7A52000000000002"); // fills registers 0 to 11

DB::SDeviceRegMapDescription device(const QString& devEui)
{
    return DB::SDeviceRegMapDescription{devEui, QStringLiteral("7A5200E75E000001"), devEui, 100, {}};
}

bool accepts(quint16 port)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    return client.waitForConnected(2000);
}
} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void devicesOnOnePortShareItsListener();
    void removal_data();
    void removal();
    void lookupsTakeAnyCase_data();
    void lookupsTakeAnyCase();
    void storedDevicesAtStart_data();
    void storedDevicesAtStart();

private:
    std::unique_ptr<CWorkDir> work;
    CAllDeviceHandler* registry = nullptr;
    CGatewayCore* core = nullptr;
    quint16 port = 0;
};

void TestRegistry::init()
{
    work = std::make_unique<CWorkDir>();
    QVERIFY(work->isValid());
    harness::copySampleTemplates();
    registry = CAllDeviceHandler::getInstance();
    port = quint16(harness::freePort());
}

void TestRegistry::cleanup()
{
    delete core;
    core = nullptr;
    CAllDeviceHandler::resetInstance();
    CServerHandler::resetInstance();
    CDataBaseHandler::resetInstance();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    work.reset();
}

void TestRegistry::devicesOnOnePortShareItsListener()
{
    registry->addNewDevice(device(EUI_A), port);
    registry->addNewDevice(device(EUI_A), port);
    registry->addNewDevice(device(EUI_B), port);
    QCOMPARE(registry->listenerPorts(), QList<unsigned short>{port});
    QCOMPARE(registry->listenerDevices(port), (QStringList{EUI_A, EUI_B}));
    QVERIFY(accepts(port));
    // Every device after the first finds the port open.
    QTRY_COMPARE(
        CWorkDir::log().count(
            QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(port)),
        2);
}

void TestRegistry::removal_data()
{
    QTest::addColumn<QStringList>("added");
    QTest::addColumn<bool>("wrongPort");
    QTest::addColumn<QStringList>("leftOnPort");
    // EUI_A is removed in every row.
    QTest::newRow("removing one of two devices keeps the port open")
        << QStringList{EUI_A, EUI_B} << false << QStringList{EUI_B};
    QTest::newRow("removing the last device closes the port") << QStringList{EUI_A} << false << QStringList{};
    QTest::newRow("removing with a wrong port warns and keeps the real port open")
        << QStringList{EUI_A} << true << QStringList{EUI_A};
    QTest::newRow("removing in another letter case than added closes the port")
        << QStringList{EUI_A.toLower()} << false << QStringList{};
}

void TestRegistry::removal()
{
    QFETCH(QStringList, added);
    QFETCH(bool, wrongPort);
    QFETCH(QStringList, leftOnPort);
    const quint16 otherPort = port + 1; // no listener there
    for (const QString& eui : added)
        registry->addNewDevice(device(eui), port);
    QVERIFY(accepts(port));

    registry->removeDevice(EUI_A, wrongPort ? otherPort : port);
    QVERIFY(!registry->isRegistered(EUI_A));
    QCOMPARE(registry->listenerDevices(port), leftOnPort);
    // The deferred deletion of a closed listener runs here.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(accepts(port), !leftOnPort.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(
        CWorkDir::log().contains(
            QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(otherPort)),
        wrongPort);
}

void TestRegistry::lookupsTakeAnyCase_data()
{
    QTest::addColumn<QString>("appEui");
    QTest::addColumn<QString>("devEui");
    QTest::newRow("EUIs as the template writes them") << HUMIDITY_APP << EUI_A;
    QTest::newRow("EUIs in lower case, as some servers send them")
        << HUMIDITY_APP.toLower() << EUI_A.toLower();
}

// The dialog, the device list and the title all look a device up by what the server sent.
void TestRegistry::lookupsTakeAnyCase()
{
    QFETCH(QString, appEui);
    QFETCH(QString, devEui);
    registry->addNewDevice({devEui, appEui, devEui, 100, {}}, port);
    QVERIFY(registry->hasTemplate(appEui));
    const REGS::SDeviceTemplateInfo info = registry->getTemplateInfo(appEui);
    QCOMPARE(info.devType, QStringLiteral("Temperature and humidity"));
    QCOMPARE(info.color, QColor(QStringLiteral("#88dcbe")));
    QCOMPARE(registry->getRegisterInfo(appEui).registers.size(), 5);
    QVERIFY(registry->isRegistered(EUI_A.toLower()) && registry->isRegistered(EUI_A));
    QCOMPARE(registry->listenerDevices(port), QStringList{EUI_A});
}

void TestRegistry::storedDevicesAtStart_data()
{
    QTest::addColumn<int>("startB");
    QTest::addColumn<qint64>("portB");    // 0: the port of device A
    QTest::addColumn<QString>("warning"); // A, B and P stand for the EUIs and the port
    QTest::newRow("devices whose registers overlap on one port are both served, with one warning")
        << 105 << qint64(0)
        << "WARNING: [CGatewayCore::openStoredDevices] Devices [A] and [B] overlap on port [P] at "
           "registers 105-111: both are served, and a read there mixes their words";
    QTest::newRow("devices apart on one port are served without a warning") << 112 << qint64(0) << QString();
    // 70000 would land on port 4464 if cut to 16 bits.
    QTest::newRow("a stored port outside 1-65535 is skipped with a warning")
        << 112 << qint64(70000)
        << "WARNING: [CGatewayCore::openStoredDevices] Device [B] has the stored port [70000], outside "
           "1-65535: it is not served";
}

void TestRegistry::storedDevicesAtStart()
{
    QFETCH(int, startB);
    QFETCH(qint64, portB);
    QFETCH(QString, warning);
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    QVERIFY(storage->registerNewDevice({EUI_A, HUMIDITY_APP, "A", 100, {}}, port));
    QVERIFY(storage->registerNewDevice({EUI_B, HUMIDITY_APP, "B", startB, {}}, port));
    if (portB) {
        QSqlDatabase other = QSqlDatabase::addDatabase(DB::SQL_DRIVER, QStringLiteral("other"));
        other.setDatabaseName(DB::DB_FILENAME);
        QVERIFY(other.open() &&
                QSqlQuery(other).exec(QStringLiteral("UPDATE devices SET port=%1 WHERE dev_eui='%2'")
                                          .arg(QString::number(portB), EUI_B)));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
    core = new CGatewayCore();
    QVERIFY(core->start());

    QCOMPARE(registry->isRegistered(EUI_B), portB == 0);
    QCOMPARE(registry->listenerPorts(), QList<unsigned short>{port});
    QVERIFY(accepts(port));
    QCoreApplication::processEvents();
    QCOMPARE(CWorkDir::log().count(QStringLiteral("WARNING: [CGatewayCore")), warning.isEmpty() ? 0 : 1);
    if (!warning.isEmpty())
        QVERIFY(CWorkDir::log().contains(warning.replace("[A]", "[" + EUI_A + "]")
                                             .replace("[B]", "[" + EUI_B + "]")
                                             .replace("[P]", QStringLiteral("[%1]").arg(port))));
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
