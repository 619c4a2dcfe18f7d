#include <clocale>
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QThread>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/CTerminationWatcher.h"
#include "app/global.h"
#include "devices/CAllDeviceHandler.h"
#include "server/CServerHandler.h"
#include "storage/CDataBaseHandler.h"
#include "ui/CAddNewDeviceForm.h"
#include "ui/CEditDeviceForm.h"
#include "ui/mainwindow.h"
#include "widgets/color.h"

namespace {
void installStyleSheet(QApplication& app)
{
    QFile file(QStringLiteral("://style/style.qss"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.readAll();
    file.close();
    app.setStyleSheet(replaceColor(QString::fromLatin1(bytes.constData())));
}

// Without storage the gateway could neither keep devices nor serve values.
int failWithoutStorage()
{
    const QString msg = QStringLiteral("CRITICAL_ERROR! [main] Data base [%1] cannot be opened in [%2]. "
                                       "The gateway stops; see history.log.")
                            .arg(DB::DB_FILENAME, QDir::currentPath());
    addLog(msg);
    QCoreApplication::processEvents();
    std::fprintf(stderr, "%s\n", qPrintable(msg));
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QMessageBox::critical(nullptr, COMM::TITLE, msg);
    return 1;
}

QThread* startStorageThread(CDataBaseHandler* storage)
{
    auto* thread = new QThread();
    storage->moveToThread(thread);
    thread->start(QThread::InheritPriority);
    while (!thread->isRunning())
        QThread::msleep(30);
    return thread;
}
} // namespace

int main(int argc, char* argv[])
{
    setlocale(LC_ALL, "");
    QApplication app(argc, argv);
    qRegisterMetaType<CLogFile::ELogMessageType>("CLogFile::ELogMessageType");
    qRegisterMetaType<DB::SDbDeviceRegDataSet>("DB::SDbDeviceRegDataSet");
    CTerminationWatcher terminationWatcher;
    installStyleSheet(app);
    globalVarInit();
    CSettings::getInstance(SETT::SETT_FILENAME);
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());

    CServerHandler* server = CServerHandler::getInstance();

    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (!storage)
        return failWithoutStorage();
    QThread* storageThread = startStorageThread(storage);

    CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
    QObject::connect(server, &CServerHandler::newPacketReceived, registry,
                     &CAllDeviceHandler::newPacketReceivedSlot, Qt::QueuedConnection);
    CAddNewDeviceForm* addForm = CAddNewDeviceForm::getInstance();
    QObject::connect(server, &CServerHandler::getDevicesListResp, addForm,
                     &CAddNewDeviceForm::getDevicesListRespSlot, Qt::QueuedConnection);
    CEditDeviceForm::getInstance();

    MainWindow window;
    window.show();
    const int result = app.exec();
    storageThread->quit();
    storageThread->wait();
    return result;
}
