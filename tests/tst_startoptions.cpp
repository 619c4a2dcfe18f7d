#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "app/StartOptions.h"

class TestStartOptions : public QObject
{
    Q_OBJECT
private slots:
    void commandLine_data();
    void commandLine();
    void workDirIsCreatedAndEntered();
    void workDirBlockedByFile();
};

void TestStartOptions::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("workDir");
    QTest::addColumn<QString>("text");

    QTest::newRow("nothing") << QStringList{} << int(START_RUN) << QString() << QString();
    QTest::newRow("workdir") << QStringList{"--workdir", "/srv/gw"} << int(START_RUN) << "/srv/gw"
                             << QString();
    QTest::newRow("workdir=") << QStringList{"--workdir=/srv/gw"} << int(START_RUN) << "/srv/gw" << QString();
    QTest::newRow("qt options kept for the application")
        << QStringList{"-platform", "offscreen", "-style=fusion", "-reverse", "--workdir", "d"}
        << int(START_RUN) << "d" << QString();
    QTest::newRow("version") << QStringList{"--version"} << int(START_EXIT_OK) << QString()
                             << "tarnwick 1.0.6";
    QTest::newRow("help") << QStringList{"-h"} << int(START_EXIT_OK) << QString() << "--workdir <dir>";
    QTest::newRow("workdir without value")
        << QStringList{"--workdir"} << int(START_EXIT_FAIL) << QString() << "Missing value";
    QTest::newRow("empty workdir") << QStringList{"--workdir="} << int(START_EXIT_FAIL) << QString()
                                   << "needs a directory";
    QTest::newRow("unknown option") << QStringList{"--port", "502"} << int(START_EXIT_FAIL) << QString()
                                    << "Unknown option 'port'";
    QTest::newRow("stray argument") << QStringList{"server.db"} << int(START_EXIT_FAIL) << QString()
                                    << "Unexpected argument: server.db";
}

void TestStartOptions::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, action);
    QFETCH(QString, workDir);
    QFETCH(QString, text);

    const SStartOptions options = readStartOptions(QStringList{"tarnwick"} + args);
    QCOMPARE(int(options.action), action);
    QCOMPARE(options.workDir, workDir);
    if (text.isEmpty())
        QVERIFY(options.text.isEmpty());
    else
        QVERIFY2(options.text.contains(text), qPrintable(options.text));
}

void TestStartOptions::workDirIsCreatedAndEntered()
{
    QTemporaryDir tmp;
    const QString before = QDir::currentPath();
    const QString dir = tmp.filePath("a/b/gateway");
    QString error;
    QVERIFY(enterWorkDir(dir, error));
    QCOMPARE(QDir::currentPath(), QDir(dir).canonicalPath());
    QVERIFY(isWorkDirWritable());
    QVERIFY(QDir::setCurrent(before));
}

void TestStartOptions::workDirBlockedByFile()
{
    QTemporaryDir tmp;
    QFile file(tmp.filePath("taken"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString before = QDir::currentPath();
    QString error;
    QVERIFY(!enterWorkDir(file.fileName(), error));
    QVERIFY(error.contains(file.fileName()));
    QCOMPARE(QDir::currentPath(), before);
}

QTEST_GUILESS_MAIN(TestStartOptions)
#include "tst_startoptions.moc"
