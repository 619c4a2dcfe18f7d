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

DB::SDeviceRegMapDescription device(const QString& devEui)
{
    return DB::SDeviceRegMapDescription{devEui, QStringLiteral("7A5200E75E000001"), devEui, 100, {}};
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
    void sameDeviceTwiceKeepsOneEntry();
    void removal_data();
    void removal();

private:
    QTemporaryDir* dir = nullptr;
    QString previousDir;
    CAllDeviceHandler* registry = nullptr;
    quint16 port = 0;
};

void TestRegistry::init()
{
    previousDir = QDir::currentPath();
    dir = new QTemporaryDir();
    QVERIFY(QDir::setCurrent(dir->path()));
    CLogFile::getInstance(QStringLiteral("history.log"), QString());
    registry = CAllDeviceHandler::getInstance();
    QTcpServer probe; // a port the OS picks, free once the probe is gone
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    port = probe.serverPort();
}

void TestRegistry::cleanup()
{
    CAllDeviceHandler::resetInstance();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete CLogFile::getInstance();
    QDir::setCurrent(previousDir);
    delete dir;
}

void TestRegistry::devicesOnOnePortShareItsListener()
{
    registry->addNewDevice(device(EUI_A), port);
    registry->addNewDevice(device(EUI_B), port);
    QCOMPARE(registry->listenerPorts(), QList<unsigned short>{port});
    QCOMPARE(registry->listenerDevices(port), (QStringList{EUI_A, EUI_B}));
    QVERIFY(accepts(port));
    // Only the second device finds the port open.
    QTRY_COMPARE(
        readLog().count(
            QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(port)),
        1);
}

void TestRegistry::sameDeviceTwiceKeepsOneEntry()
{
    registry->addNewDevice(device(EUI_A), port);
    registry->addNewDevice(device(EUI_A), port);
    QCOMPARE(registry->listenerDevices(port), QStringList{EUI_A});
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
        readLog().contains(
            QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(otherPort)),
        wrongPort);
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
