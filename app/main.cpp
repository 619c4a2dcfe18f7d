#include <clocale>
#include <cstdio>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLockFile>
#include <QMessageBox>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/CTerminationWatcher.h"
#include "app/InstanceLock.h"
#include "app/StartFailures.h"
#include "app/StartOptions.h"
#include "app/global.h"
#include "core/CGatewayCore.h"
#include "headless/HeadlessMain.h"
#include "server/CServerHandler.h"
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

// Help, version and the working directory are settled before any window
// exists, so that --version also answers on a machine without a display.
bool settleCommandLine(int argc, char* argv[], SStartOptions& options, int& exitCode)
{
    QCoreApplication parserApp(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick"));
    options = readStartOptions(QCoreApplication::arguments());
    if (options.action != START_RUN) {
        std::fprintf(options.action == START_EXIT_OK ? stdout : stderr, "%s\n", qPrintable(options.text));
        exitCode = options.action == START_EXIT_OK ? 0 : 2;
        return false;
    }
    QString error;
    if (!options.workDir.isEmpty() && !enterWorkDir(options.workDir, error)) {
        std::fprintf(stderr, "CRITICAL_ERROR! [main] %s The gateway stops.\n", qPrintable(error));
        exitCode = 1;
        return false;
    }
    return true;
}

void reportFatal(const QString& msg)
{
    std::fprintf(stderr, "%s\n", qPrintable(msg));
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QMessageBox::critical(nullptr, COMM::TITLE, msg);
}

// Qt reads its own options from the arguments the application object gets.
struct SQtArguments
{
    explicit SQtArguments(const char* program, const QStringList& qtArguments)
    {
        bytes.append(QByteArray(program));
        for (const QString& arg : qtArguments)
            bytes.append(arg.toLocal8Bit());
        for (QByteArray& arg : bytes)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        argc = int(bytes.size());
    }
    QList<QByteArray> bytes;
    std::vector<char*> pointers;
    int argc = 0;
};

// A second gateway in the same directory would write into the same database and log.
bool failIfLocked(QLockFile& lock)
{
    QString holder;
    if (lockWorkDir(lock, holder) != LOCK_HELD)
        return false;
    reportFatal(heldDirFailure(holder));
    return true;
}

// Without a writable directory there would be no database and no log.
int failWithoutWritableDir()
{
    reportFatal(notWritableFailure());
    return 1;
}

// Without storage the gateway could neither keep devices nor serve values.
int failWithoutStorage()
{
    const QString msg = noStorageFailure();
    addLog(msg);
    QCoreApplication::processEvents();
    reportFatal(msg);
    return 1;
}
} // namespace

int main(int argc, char* argv[])
{
    setlocale(LC_ALL, "");
    int exitCode = 0;
    SStartOptions options;
    if (!settleCommandLine(argc, argv, options, exitCode))
        return exitCode;
    if (options.mode != MODE_WINDOW)
        return runWithoutWindow(argc, argv, options);
    SQtArguments qtArgs(argv[0], options.qtArguments);
    QApplication app(qtArgs.argc, qtArgs.pointers.data());
    QGuiApplication::setDesktopFileName(QStringLiteral("tarnwick"));
    CTerminationWatcher terminationWatcher;
    installStyleSheet(app);
    QLockFile lock(QDir::current().absoluteFilePath(LOCK::LOCK_FILENAME));
    if (failIfLocked(lock))
        return 1;
    if (!isWorkDirWritable())
        return failWithoutWritableDir();
    // Stops cleanly when the loop ends: on a closed window, SIGTERM or SIGINT.
    CGatewayCore core;
    if (!core.start())
        return failWithoutStorage();

    CAddNewDeviceForm* addForm = CAddNewDeviceForm::getInstance();
    QObject::connect(CServerHandler::getInstance(), &CServerHandler::getDevicesListResp, addForm,
                     &CAddNewDeviceForm::getDevicesListRespSlot, Qt::QueuedConnection);
    CEditDeviceForm::getInstance();

    MainWindow window;
    window.show();
    return app.exec();
}
