#pragma once

// What the end-to-end and fault tests share: Modbus reads with libmodbus, the
// gateway as a process or inside the test, and the stand-in server process.

#include <chrono>
#include <future>

#include <modbus.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QThread>
#include <QVector>
#include <QtTest>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/global.h"
#include "core/CGatewayCore.h"
#include "devices/CAllDeviceHandler.h"
#include "server/CServerHandler.h"
#include "storage/CDataBaseHandler.h"
#include "ui/CAddNewDeviceForm.h"
#include "ui/CEditDeviceForm.h"
#include "ui/mainwindow.h"

namespace harness {

// Reads holding registers with libmodbus; empty on any failure, whose errno
// goes to `error` when given.
inline QVector<quint16> readRegisters(int port, int addr, int count, int* error = nullptr)
{
    QVector<quint16> words(count);
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx)
        return {};
    modbus_set_response_timeout(ctx, 2, 0);
    const bool ok =
        modbus_connect(ctx) == 0 && modbus_read_registers(ctx, addr, count, words.data()) == count;
    if (error)
        *error = ok ? 0 : errno;
    modbus_close(ctx);
    modbus_free(ctx);
    return ok ? words : QVector<quint16>();
}

// An in-process gateway serves from this thread's event loop, so the client
// runs beside it while the loop keeps turning.
inline QVector<quint16> readWhileServing(int port, int addr, int count)
{
    auto result = std::async(std::launch::async, [=] { return readRegisters(port, addr, count); });
    while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return result.get();
}

// The gateway listens on all interfaces, so a port is free only if it is free there.
inline int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

// The sample templates into deviceFolder of the current directory.
inline void copySampleTemplates()
{
    QDir().mkdir(COMM::DEVICE_FOLDER);
    for (const QString& name : QDir(QStringLiteral(TW_SOURCE_DIR "/templates")).entryList({"*.json"}))
        QVERIFY(QFile::copy(QStringLiteral(TW_SOURCE_DIR "/templates/") + name,
                            COMM::DEVICE_FOLDER + QStringLiteral("/") + name));
}

inline void writeSettings(int serverPort)
{
    QFile settings(SETT::SETT_FILENAME);
    QVERIFY(settings.open(QIODevice::WriteOnly | QIODevice::Truncate));
    settings.write(QStringLiteral("[server]\nip=127.0.0.1\nport=%1\nlogin=operator\npassword=tarnwick\n")
                       .arg(serverPort)
                       .toUtf8());
}

inline void startGatewayProcess(QProcess& gateway, const QString& workDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    gateway.setProcessEnvironment(env);
    gateway.setWorkingDirectory(workDir);
    gateway.start(QStringLiteral(TW_GATEWAY_BIN), {});
}

// SIGTERM must end the gateway as closing its window does: exit code 0.
inline void terminateCleanly(QProcess& gateway)
{
    gateway.terminate();
    QVERIFY(gateway.waitForFinished(10000));
    QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gateway.exitCode(), 0);
}

// Starts the stand-in with its configuration file and takes the port it reports.
inline void startStandin(QProcess& standin, const QString& config, int requestedPort, int& port)
{
    QStringList args{QStringLiteral("--config"), config};
    if (requestedPort)
        args << QStringLiteral("--port") << QString::number(requestedPort);
    standin.start(QStringLiteral(TW_STANDIN_BIN), args);
    QVERIFY(standin.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(standin.canReadLine(), 10000);
    const QByteArray line = standin.readLine().trimmed();
    QVERIFY2(line.startsWith("LISTENING "), line.constData());
    port = line.mid(10).toInt();
    QVERIFY(port > 0);
}

// The core of a test that started one, as main owns its own.
inline CGatewayCore*& core()
{
    static CGatewayCore* started = nullptr;
    return started;
}

// The core and the dialogs, wired as main wires them; false without storage.
inline bool startServices()
{
    core() = new CGatewayCore();
    if (!core()->start())
        return false;
    QObject::connect(CServerHandler::getInstance(), &CServerHandler::getDevicesListResp,
                     CAddNewDeviceForm::getInstance(), &CAddNewDeviceForm::getDevicesListRespSlot,
                     Qt::QueuedConnection);
    CEditDeviceForm::getInstance();
    return true;
}

// Undoes startServices and the settings and log, so that a test can start again.
inline void stopServices()
{
    CEditDeviceForm::resetInstance();
    CAddNewDeviceForm::resetInstance();
    delete core();
    core() = nullptr;
    CAllDeviceHandler::resetInstance();
    CServerHandler::resetInstance();
    CDataBaseHandler::resetInstance();
    CSettings::resetInstance();
    QCoreApplication::processEvents();
    delete CLogFile::getInstance();
}

// The whole gateway as main builds it, window included, in the current directory.
class CInProcessGateway
{
public:
    void start()
    {
        QVERIFY(startServices());
        mainWindow = new MainWindow();
        mainWindow->show();
    }

    void stop()
    {
        delete mainWindow;
        mainWindow = nullptr;
        stopServices();
    }

    MainWindow* window() const { return mainWindow; }

private:
    MainWindow* mainWindow = nullptr;
};

} // namespace harness
