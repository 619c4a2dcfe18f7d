#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "app/StartOptions.h"

class TestStartOptions : public QObject
{
    Q_OBJECT
private slots:

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("expected"); // the working directory, or a part of the text
        QTest::addColumn<QStringList>("qtArguments");
        QTest::addColumn<QString>("device"); // EUI|port|start|name

        const QString none = "|0|0|";
        const int run = START_RUN, fail = START_EXIT_FAIL;
        QTest::newRow("nothing starts the window here")
            << QStringList{} << run << 0 << "" << QStringList{} << none;
        QTest::newRow("Qt's options in every form reach the application as -name value")
            << QString("--platform|offscreen|-style=fusion|--qwindowgeometry=640x480|-reverse|--workdir|d|"
                       "-qwindowtitle|Plant 4")
                   .split('|')
            << run << 0 << "d"
            << QString("-platform|offscreen|-style|fusion|-qwindowgeometry|640x480|-reverse|-qwindowtitle|"
                       "Plant 4")
                   .split('|')
            << none;
        QTest::newRow("-platform=offscreen with the headless gateway")
            << QStringList{"-platform=offscreen", "--headless"} << run << int(MODE_HEADLESS) << ""
            << QStringList{"-platform", "offscreen"} << none;
        QTest::newRow("help names the device commands")
            << QStringList{"-h"} << int(START_EXIT_OK) << 0 << "--add-device <eui>" << QStringList{} << none;
        QTest::newRow("empty workdir")
            << QStringList{"--workdir="} << fail << 0 << "needs a directory" << QStringList{} << none;
        QTest::newRow("unknown option") << QStringList{"--modbus", "502"} << fail << 0
                                        << "Unknown option 'modbus'" << QStringList{} << none;
        QTest::newRow("stray argument") << QStringList{"server.db"} << fail << 0
                                        << "Unexpected argument: server.db" << QStringList{} << none;
        QTest::newRow("adding a device with port, start and name")
            << QStringList{"--add-device", "7a52000000010001", "--port", "1502", "--start", "0", "--name",
                           "Boiler"}
            << run << int(MODE_ADD_DEVICE) << "" << QStringList{} << "7a52000000010001|1502|0|Boiler";
        QTest::newRow("adding a device without a port is refused")
            << QStringList{"--add-device", "7a52000000010001", "--start", "0"} << fail << int(MODE_ADD_DEVICE)
            << "needs --port" << QStringList{} << "7a52000000010001|0|0|";
        QTest::newRow("a start register past 65535 is refused")
            << QStringList{"--add-device", "7a52000000010001", "--port", "1502", "--start", "65536"} << fail
            << int(MODE_ADD_DEVICE) << "needs --start" << QStringList{} << "7a52000000010001|1502|65536|";
        QTest::newRow("an EUI of 15 digits is refused")
            << QStringList{"--remove-device", "7a5200000001000"} << fail << int(MODE_REMOVE_DEVICE)
            << "16 hexadecimal digits" << QStringList{} << "7a5200000001000|0|0|";
        QTest::newRow("a port without a device to add is refused")
            << QStringList{"--list-devices", "--port", "1502"} << fail << int(MODE_LIST_DEVICES)
            << "--port belongs to --add-device" << QStringList{} << none;
        QTest::newRow("two commands at once are refused")
            << QStringList{"--headless", "--list-devices"} << fail << int(MODE_LIST_DEVICES) << "Give one of"
            << QStringList{} << none;
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, action);
        QFETCH(int, mode);
        QFETCH(QString, expected);
        QFETCH(QStringList, qtArguments);
        QFETCH(QString, device);

        const SStartOptions options = readStartOptions(QStringList{"tarnwick"} + args);
        QCOMPARE(int(options.action), action);
        QCOMPARE(int(options.mode), mode);
        QCOMPARE(options.qtArguments, qtArguments);
        const SDeviceArguments& dev = options.device;
        QCOMPARE(
            QStringList({dev.devEui, QString::number(dev.port), QString::number(dev.startAddr), dev.name})
                .join('|'),
            device);
        if (action == START_RUN)
            QCOMPARE(options.workDir + options.text, expected);
        else
            QVERIFY2(options.text.contains(expected), qPrintable(options.text));
    }

    void workDir_data()
    {
        QTest::addColumn<bool>("blockedByFile");
        QTest::newRow("a missing path is created and entered") << false;
        QTest::newRow("a file in the way is refused and named") << true;
    }

    void workDir()
    {
        QFETCH(bool, blockedByFile);
        QTemporaryDir tmp;
        const QString dir = tmp.filePath("a/b/gateway");
        QVERIFY(QDir().mkpath(tmp.filePath("a/b")));
        QFile file(dir);
        if (blockedByFile)
            QVERIFY(file.open(QIODevice::WriteOnly));
        const QString before = QDir::currentPath();
        QString error;
        QCOMPARE(enterWorkDir(dir, error), !blockedByFile);
        QCOMPARE(QDir::currentPath(), blockedByFile ? before : QDir(dir).canonicalPath());
        QCOMPARE(error.contains(dir), blockedByFile);
        QVERIFY(QDir::setCurrent(before));
    }
};

QTEST_GUILESS_MAIN(TestStartOptions)
#include "tst_startoptions.moc"
