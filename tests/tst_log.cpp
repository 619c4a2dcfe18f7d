#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QSignalSpy>

#include "WorkDir.h"
#include "app/CSettings.h"

namespace {
const QString STAMP = QStringLiteral("\\[\\d{2}-\\w{3}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\]");
const QString STARS = QString(65, QLatin1Char('*'));
const QString NEW_SESSION =
    QStringLiteral("**                      New session                            **");

int modeOf(const QString& path)
{
    struct stat st;
    return ::stat(qPrintable(path), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

QByteArray readFile(const QString& name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestLog : public QObject
{
    Q_OBJECT
    std::unique_ptr<CWorkDir> work;

private slots:
    void init()
    {
        work.reset(new CWorkDir(false));
        QVERIFY(work->isValid());
    }
    void cleanup()
    {
        CSettings::resetInstance();
        work.reset();
    }

    void sessionStart_data()
    {
        QTest::addColumn<int>("existingBytes"); // -1: no file yet
        QTest::addColumn<QString>("session");
        QTest::addColumn<int>("lineBytes"); // a line logged after the start, 0: none
        QTest::addColumn<QString>("logPattern");
        QTest::addColumn<bool>("rotated");

        const QString banner = QStringLiteral("\n") + STAMP + QRegularExpression::escape(STARS) +
                               QStringLiteral("\n") + STAMP + QRegularExpression::escape(NEW_SESSION);
        const int limit = 10 * 1024 * 1024;
        QTest::newRow("a new file starts with the banner") << -1 << "" << 0 << "^" + banner + "$" << false;
        QTest::newRow("a named session shows its name in the banner")
            << -1 << "night shift" << 0
            << QRegularExpression::escape("]**  New session  [night shift] **") + "$" << false;
        QTest::newRow("an existing file is appended to") << 20 << "" << 0 << "^x{20}" + banner + "$" << false;
        QTest::newRow("a file of 10 MiB moves to history.log.1 at the start")
            << limit << "" << 0 << "^" + banner + "$" << true;
        QTest::newRow("the line that would pass 10 MiB starts a new file after the banner")
            << limit - 1000 << "" << 2000 << "^" + banner + "\\n" + STAMP + "y{2000}$" << true;
    }

    // Months of lines must not fill the disk: one older file is kept, no more.
    void sessionStart()
    {
        QFETCH(int, existingBytes);
        QFETCH(QString, session);
        QFETCH(int, lineBytes);
        QFETCH(QString, logPattern);
        QFETCH(bool, rotated);

        const QByteArray existing(qMax(existingBytes, 0), 'x');
        const QString older = QStringLiteral("history.log.1");
        QFile::remove(older);
        QVERIFY(QFile(older).open(QIODevice::WriteOnly));
        if (existingBytes >= 0) {
            QFile f(QStringLiteral("history.log"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(existing);
        }
        CLogFile::getInstance(QStringLiteral("history.log"), session);
        if (lineBytes > 0) {
            addLog(QString(lineBytes, QLatin1Char('y')));
            QCoreApplication::processEvents();
        }
        const QString text = QString::fromUtf8(readFile(QStringLiteral("history.log")));
        QVERIFY2(QRegularExpression(logPattern).match(text).hasMatch(), qPrintable(text.right(300)));
        const QByteArray old = readFile(older);
        QCOMPARE(old.startsWith(existing) && !old.isEmpty(), rotated);
        QVERIFY(old.size() <= 10 * 1024 * 1024);
    }

    void entryFormat_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("signalled"); // empty list: the file only, nothing signalled

        QTest::newRow("an ordinary line") << "INFO: [X::y] done" << 0 << "INFO: [X::y] done";
        QTest::newRow("embedded newlines are written but not signalled") << "a\nb\n" << 2 << "ab";
        QTest::newRow("non-ASCII text is written as UTF-8") << "Grüße °C" << 0 << "Grüße °C";
        QTest::newRow("a line for the file only is not signalled") << "quiet line" << -1 << QString();
    }

    void entryFormat()
    {
        QFETCH(QString, message);
        QFETCH(int, type);
        QFETCH(QString, signalled);

        CLogFile* log = CLogFile::getInstance(QStringLiteral("history.log"), QString());
        const QByteArray before = readFile(QStringLiteral("history.log"));
        QSignalSpy spy(log, &CLogFile::addLogSignal);
        if (type < 0)
            addLogIntoFileOnly(message);
        else
            addLog(message, static_cast<CLogFile::ELogMessageType>(type));
        QVERIFY(spy.isEmpty()); // posted, not written in the caller
        QTRY_VERIFY(readFile(QStringLiteral("history.log")).size() > before.size());
        QCOMPARE(spy.count(), type < 0 ? 0 : 1);

        const QString added = QString::fromUtf8(readFile(QStringLiteral("history.log")).mid(before.size()));
        const auto stamped = [](const QString& text) {
            return QRegularExpression("^\n?" + STAMP + QRegularExpression::escape(text) + "\\z");
        };
        QVERIFY2(stamped(message).match(added).hasMatch() && added.startsWith('\n'), qPrintable(added));
        if (type < 0)
            return;
        QVERIFY(stamped(signalled).match(spy.at(0).at(0).toString()).hasMatch());
        QCOMPARE(spy.at(0).at(1).value<CLogFile::ELogMessageType>(),
                 static_cast<CLogFile::ELogMessageType>(type));
    }

    void settingsFile_data()
    {
        QTest::addColumn<QString>("before"); // what stands where settings.conf goes
        QTest::addColumn<QString>("error");  // the reason a save gives, empty when it succeeds

        QTest::newRow("no file: keys read empty and the first save creates it 0600") << "none" << QString();
        QTest::newRow("a file of the last release reads alike, tightened at start, replaced whole")
            << "release file, mode 0644" << QString();
        QTest::newRow("a directory: the save fails, named with its reason")
            << "directory" << QStringLiteral("Is a directory");
        QTest::newRow("a full disk: the save fails, the device keeps its mode")
            << "link to a full device" << QStringLiteral("No space left on device");
    }

    void settingsFile()
    {
        QFETCH(QString, before);
        QFETCH(QString, error);
        const QString file = SETT::SETT_FILENAME;
        const QString password = SETT::SETT_SECT_SERVER + SETT::SETT_SERVER_PASSWORD;
        const QString release = QStringLiteral(TW_SOURCE_DIR "/tests/fixtures/settings-1.0.6.conf");
        // Root could replace /dev itself on a fault: it gets a node of its own in the test folder.
        const QString device = ::mknod("full", S_IFCHR | 0666, makedev(1, 7)) == 0 ? "full" : "/dev/full";
        const int devMode = modeOf(device);
        if (before.startsWith(QStringLiteral("release"))) {
            QVERIFY(QFile::copy(release, file) && ::link(qPrintable(file), "held.conf") == 0);
            QVERIFY(::chmod(qPrintable(file), 0644) == 0);
        } else if (before == QStringLiteral("directory")) {
            QVERIFY(QDir().mkdir(file));
        } else if (before.startsWith(QStringLiteral("link"))) {
            QVERIFY(QFile::link(device, file));
        }
        CLogFile::getInstance(QStringLiteral("history.log"), QString());
        QVERIFY(CSettings::getInstance(file));
        if (before.startsWith(QStringLiteral("release"))) {
            QCOMPARE(modeOf(file), 0600);
            QCOMPARE(CSettings::readValue(password).toString(), QStringLiteral("p;a,ss=w\"ord %1"));
        } else {
            QCOMPARE(CSettings::readValue(password), QVariant());
        }

        QCOMPARE(CSettings::writeValues({{password, QStringLiteral("new;pw")}}), error.isEmpty());

        QCoreApplication::processEvents();
        const QString log = QString::fromUtf8(readFile(QStringLiteral("history.log")));
        const QString logged =
            QStringLiteral("]ERROR: [CSettings::save] Settings file [settings.conf] is not written: ");
        QCOMPARE(log.count(logged + error), error.isEmpty() ? 0 : 1);
        QCOMPARE(log.contains("was open to other users (mode 644), now 0600"), before.startsWith("release"));
        QCOMPARE(CSettings::lastError().isEmpty(), error.isEmpty());
        QCOMPARE(modeOf(device), devMode);
        if (!error.isEmpty())
            return;
        QCOMPARE(modeOf(file), 0600);
        // The old file was replaced, not overwritten: a link to it still holds it whole.
        if (QFile::exists(QStringLiteral("held.conf")))
            QCOMPARE(readFile(QStringLiteral("held.conf")), readFile(release));
        CSettings::resetInstance();
        CSettings::getInstance(file);
        QCOMPARE(CSettings::readValue(password).toString(), QStringLiteral("new;pw"));
        const QString port = SETT::SETT_SECT_SERVER + SETT::SETT_SERVER_PORT;
        QCOMPARE(CSettings::readValue(port).toString(),
                 before == "none" ? QString() : QStringLiteral("8002"));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
