#include <QtTest>

#include <QDir>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "app/CLogFile.h"
#include "devices/CAllDeviceHandler.h"

namespace {
const QString EUI_A = QStringLiteral("7A5200E75E00AA01");
const QString EUI_B = QStringLiteral("7A5200E75E00BB02");

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

DB::SDeviceRegMapDescription device(const QString& devEui, const QString& name = QStringLiteral("meter"))
{
    DB::SDeviceRegMapDescription desc;
    desc.devEui = devEui;
    desc.appEui = QStringLiteral("7A5200E75E000001");
    desc.name = name;
    desc.startAddr = 100;
    return desc;
}

QString readLog()
{
    QFile file(QStringLiteral("history.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool accepts(quint16 port)
{
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    const bool connected = client.waitForConnected(2000);
    client.abort();
    return connected;
}
} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void devicesOnOnePortShareItsListener();
    void sameDeviceTwiceKeepsOneEntry();
    void removal_data();
    void removal();

private:
    QTemporaryDir* dir = nullptr;
    QString previousDir;
};

void TestRegistry::init()
{
    previousDir = QDir::currentPath();
    dir = new QTemporaryDir();
    QVERIFY(dir->isValid());
    QDir::setCurrent(dir->path());
    CLogFile::getInstance(QStringLiteral("history.log"), QString());
}

void TestRegistry::cleanup()
{
    CAllDeviceHandler::resetInstance();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete CLogFile::getInstance();
    QDir::setCurrent(previousDir);
    delete dir;
    dir = nullptr;
}

void TestRegistry::devicesOnOnePortShareItsListener()
{
    CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
    const quint16 port = freePort();
    registry->addNewDevice(device(EUI_A), port);
    QVERIFY(registry->hasListener(port));
    QVERIFY(accepts(port));
    registry->addNewDevice(device(EUI_B), port);
    QCOMPARE(registry->listenerPorts(), QList<unsigned short>{port});
    QCOMPARE(registry->listenerDevices(port), (QStringList{EUI_A, EUI_B}));
    QVERIFY(registry->isRegistered(EUI_A));
    QVERIFY(registry->isRegistered(EUI_B));
    const QString info =
        QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(port);
    QTRY_VERIFY(readLog().contains(info));
    QTRY_VERIFY(readLog().contains(
        QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[%1], port[%2]")
            .arg(EUI_B)
            .arg(port)));
    // Only the second device found the port open.
    QCOMPARE(readLog().count(info), 1);
    QVERIFY(accepts(port));
}

void TestRegistry::sameDeviceTwiceKeepsOneEntry()
{
    CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
    const quint16 port = freePort();
    registry->addNewDevice(device(EUI_A, QStringLiteral("first")), port);
    registry->addNewDevice(device(EUI_A, QStringLiteral("second")), port);
    QCOMPARE(registry->listenerDevices(port), QStringList{EUI_A});
    QVERIFY(registry->isRegistered(EUI_A));
    // One device left, one removal closes the port.
    registry->removeDevice(EUI_A, port);
    QVERIFY(!registry->hasListener(port));
    QVERIFY(!registry->isRegistered(EUI_A));
}

void TestRegistry::removal_data()
{
    QTest::addColumn<QStringList>("added"); // EUIs added on the port, in order
    QTest::addColumn<QString>("removed");
    QTest::addColumn<bool>("wrongPort");
    QTest::addColumn<bool>("stillOpen");
    QTest::addColumn<QStringList>("leftOnPort");

    QTest::newRow("removing one of two devices keeps the port open")
        << QStringList{EUI_A, EUI_B} << EUI_A << false << true << QStringList{EUI_B};
    QTest::newRow("removing the last device closes the port")
        << QStringList{EUI_A} << EUI_A << false << false << QStringList{};
    QTest::newRow("removing both devices one by one closes the port")
        << QStringList{EUI_A, EUI_B} << QStringLiteral("both") << false << false << QStringList{};
    QTest::newRow("removing with a wrong port warns and keeps the real port open")
        << QStringList{EUI_A} << EUI_A << true << true << QStringList{EUI_A};
    QTest::newRow("removing in another letter case than added closes the port")
        << QStringList{EUI_A.toLower()} << EUI_A << false << false << QStringList{};
    QTest::newRow("removing a device the port does not serve keeps it open")
        << QStringList{EUI_A} << EUI_B << false << true << QStringList{EUI_A};
}

void TestRegistry::removal()
{
    QFETCH(QStringList, added);
    QFETCH(QString, removed);
    QFETCH(bool, wrongPort);
    QFETCH(bool, stillOpen);
    QFETCH(QStringList, leftOnPort);
    CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
    const quint16 port = freePort();
    // Any other port: the registry has no listener there.
    const quint16 otherPort = quint16(port == 65535 ? port - 1 : port + 1);
    for (const QString& eui : added)
        registry->addNewDevice(device(eui), port);
    QVERIFY(accepts(port));

    const QStringList toRemove = removed == QLatin1String("both") ? added : QStringList{removed};
    for (const QString& eui : toRemove)
        registry->removeDevice(eui, wrongPort ? otherPort : port);
    for (const QString& eui : toRemove)
        QVERIFY(!registry->isRegistered(eui));
    QCOMPARE(registry->hasListener(port), stillOpen);
    QCOMPARE(registry->listenerDevices(port), leftOnPort);
    QVERIFY(!registry->hasListener(otherPort));

    const QString warning =
        QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(otherPort);
    if (wrongPort)
        QTRY_VERIFY(readLog().contains(warning));
    // The deferred deletion of a closed listener runs here.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::qWait(20);
    QCOMPARE(accepts(port), stillOpen);
    QCOMPARE(readLog().contains(QStringLiteral("uncknown port")), wrongPort);
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
