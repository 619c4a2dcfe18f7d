#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "app/global.h"

namespace {
const QString STAMP = QStringLiteral("\\[\\d{2}-\\w{3}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\]");
const QString STARS = QString(65, QLatin1Char('*'));
const QString NEW_SESSION =
    QStringLiteral("**                      New session                            **");

QByteArray readFile(const QString& name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestLog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void bannerOfNewFile();
    void bannerWithSessionName();
    void appendsToExistingFile();
    void entryFormat_data();
    void entryFormat();
    void lineBeforeInstanceIsLost();
    void fileOnlyEmitsNothing();
    void settingsRoundTrip();

private:
    QTemporaryDir* dir = nullptr;
    QString oldCwd;
};

void TestLog::init()
{
    oldCwd = QDir::currentPath();
    dir = new QTemporaryDir();
    QVERIFY(dir->isValid());
    QDir::setCurrent(dir->path());
}

void TestLog::cleanup()
{
    delete CLogFile::getInstance();
    CSettings::resetInstance();
    QDir::setCurrent(oldCwd);
    delete dir;
    dir = nullptr;
}

void TestLog::bannerOfNewFile()
{
    CLogFile::getInstance(QStringLiteral("history.log"), QString());
    const QString text = QString::fromUtf8(readFile(QStringLiteral("history.log")));
    const QRegularExpression re(QStringLiteral("^\n") + STAMP + QRegularExpression::escape(STARS) +
                                QStringLiteral("\n") + STAMP + QRegularExpression::escape(NEW_SESSION) +
                                QStringLiteral("$"));
    QVERIFY2(re.match(text).hasMatch(), qPrintable(text));
    QCOMPARE(NEW_SESSION.size(), 65);
}

void TestLog::bannerWithSessionName()
{
    CLogFile::getInstance(QStringLiteral("history.log"), QStringLiteral("night shift"));
    const QString text = QString::fromUtf8(readFile(QStringLiteral("history.log")));
    QVERIFY2(text.endsWith(QStringLiteral("]**  New session  [night shift] **")), qPrintable(text));
}

void TestLog::appendsToExistingFile()
{
    {
        QFile f(QStringLiteral("history.log"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("old content");
    }
    CLogFile::getInstance(QStringLiteral("history.log"), QString());
    addLog(QStringLiteral("after restart"));
    QCoreApplication::processEvents();
    const QString text = QString::fromUtf8(readFile(QStringLiteral("history.log")));
    QVERIFY(text.startsWith(QStringLiteral("old content\n[")));
    QVERIFY(text.endsWith(QStringLiteral("]after restart")));
    QCOMPARE(text.count(STARS), 1);
}

void TestLog::entryFormat_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("signalled");

    QTest::newRow("an ordinary line") << "INFO: [X::y] done" << 0 << "INFO: [X::y] done";
    QTest::newRow("an empty message leaves only the stamp") << "" << 0 << "";
    QTest::newRow("embedded newlines are written but not signalled") << "a\nb\n" << 2 << "ab";
    QTest::newRow("non-ASCII text is written as UTF-8") << "Grüße °C" << 0 << "Grüße °C";
}

void TestLog::entryFormat()
{
    QFETCH(QString, message);
    QFETCH(int, type);
    QFETCH(QString, signalled);

    CLogFile* log = CLogFile::getInstance(QStringLiteral("history.log"), QString());
    const QByteArray before = readFile(QStringLiteral("history.log"));
    QSignalSpy spy(log, &CLogFile::addLogSignal);
    addLog(message, static_cast<CLogFile::ELogMessageType>(type));
    QVERIFY(spy.isEmpty()); // posted, not written in the caller
    QTRY_COMPARE(spy.count(), 1);

    const QByteArray added = readFile(QStringLiteral("history.log")).mid(before.size());
    const QRegularExpression re(QStringLiteral("^\n") + STAMP + QStringLiteral("$"));
    const QString addedText = QString::fromUtf8(added);
    QVERIFY2(addedText.endsWith(message), qPrintable(addedText));
    QVERIFY(re.match(addedText.left(addedText.size() - message.size())).hasMatch());

    const QString sigText = spy.at(0).at(0).toString();
    QVERIFY(sigText.startsWith(QLatin1Char('[')));
    QVERIFY(sigText.endsWith(QStringLiteral("]") + signalled));
    QCOMPARE(spy.at(0).at(1).value<CLogFile::ELogMessageType>(),
             static_cast<CLogFile::ELogMessageType>(type));
}

void TestLog::lineBeforeInstanceIsLost()
{
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("invokeMethod")));
    addLog(QStringLiteral("too early"));
    CLogFile::getInstance(QStringLiteral("history.log"), QString());
    QCoreApplication::processEvents();
    QVERIFY(!readFile(QStringLiteral("history.log")).contains("too early"));
}

void TestLog::fileOnlyEmitsNothing()
{
    CLogFile* log = CLogFile::getInstance(QStringLiteral("history.log"), QString());
    QSignalSpy spy(log, &CLogFile::addLogSignal);
    addLogIntoFileOnly(QStringLiteral("quiet line"));
    QTRY_VERIFY(readFile(QStringLiteral("history.log")).endsWith("]quiet line"));
    QCOMPARE(spy.count(), 0);
}

// Keys read as empty until written; the first write creates the file with its
// server group, readable by its owner only (it holds the password).
void TestLog::settingsRoundTrip()
{
    QVERIFY(CSettings::getInstance(SETT::SETT_FILENAME));
    const QString key = SETT::SETT_SECT_SERVER + SETT::SETT_SERVER_PORT;
    QCOMPARE(CSettings::readValue(key, QVariant()).toString(), QString());
    QVERIFY(!QFile::exists(SETT::SETT_FILENAME));
    QVERIFY(CSettings::writeValue(key, QVariant(QStringLiteral("80a"))));
    QVERIFY(
        CSettings::writeValue(SETT::SETT_SECT_SERVER + SETT::SETT_SERVER_PASSWORD, QStringLiteral("secret")));
    const QByteArray file = readFile(SETT::SETT_FILENAME);
    QVERIFY2(file.contains("[server]") && file.contains("port=80a"), file.constData());
    const QFile::Permissions perms = QFile::permissions(SETT::SETT_FILENAME);
    QVERIFY(perms & QFileDevice::ReadOwner);
    QVERIFY(!(perms & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteOther)));
    CSettings::resetInstance();
    CSettings::getInstance(SETT::SETT_FILENAME);
    QCOMPARE(CSettings::readValue(key, QVariant()).toString(), QStringLiteral("80a"));
}

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
