#include "app/CLogFile.h"

#include <QDateTime>
#include <QDebug>
#include <QMetaObject>

namespace {
CLogFile* instance = nullptr;
QMutex instanceMutex;
const QString DATE_TIME_FORMSTR_LOG = QStringLiteral("dd-MMM-yy HH:mm:ss.zzz");
const QString BANNER_STARS = QString(65, QLatin1Char('*'));
const QString BANNER_NEW_SESSION =
    QStringLiteral("**                      New session                            **");
// Months of an unattended gateway must not fill a small disk.
const qint64 ROTATE_BYTES = 10 * 1024 * 1024;
const QString ROTATED_SUFFIX = QStringLiteral(".1");
} // namespace

CLogFile* CLogFile::getInstance(const QString& fileName, const QString& sessionName)
{
    if (instance)
        return instance;
    QMutexLocker locker(&instanceMutex);
    if (!instance)
        instance = new CLogFile(fileName, sessionName);
    return instance;
}

CLogFile* CLogFile::getInstance()
{
    return instance;
}

CLogFile::CLogFile(const QString& fileName, const QString& _sessionName, QObject* parent)
    : QObject(parent), sessionName(_sessionName)
{
    qRegisterMetaType<CLogFile::ELogMessageType>("CLogFile::ELogMessageType");
    file.setFileName(QStringLiteral("./") + fileName);
    const QIODevice::OpenMode mode = file.exists()
                                         ? QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text
                                         : QIODevice::ReadWrite | QIODevice::Text;
    if (!file.open(mode)) {
        qDebug() << "[CLogFile] Invalid file opening!";
        return;
    }
    if (file.size() >= ROTATE_BYTES) {
        rotate();
        return;
    }
    addLogMetod(BANNER_STARS, LOG_TYPE_NORMAL);
    addLogMetod(bannerText(), LOG_TYPE_NORMAL);
}

QString CLogFile::bannerText() const
{
    return sessionName.isEmpty()
               ? BANNER_NEW_SESSION
               : QStringLiteral("**  New session  [") + sessionName + QStringLiteral("] **");
}

// The full file becomes the one older file; the new one opens with the banner.
void CLogFile::rotate()
{
    const QString name = file.fileName();
    file.close();
    QFile::remove(name + ROTATED_SUFFIX);
    if (!QFile::rename(name, name + ROTATED_SUFFIX))
        qDebug() << "[CLogFile::rotate] Cannot rename" << name;
    file.setFileName(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        qDebug() << "[CLogFile::rotate] Invalid file opening!";
        return;
    }
    file.write(stamped(BANNER_STARS).toUtf8() + stamped(bannerText()).toUtf8());
    file.flush();
}

QString CLogFile::stamped(const QString& logStr)
{
    return QStringLiteral("\n[") + QDateTime::currentDateTime().toString(DATE_TIME_FORMSTR_LOG) +
           QStringLiteral("]") + logStr;
}

CLogFile::~CLogFile()
{
    file.close();
    if (instance == this)
        instance = nullptr;
}

QString CLogFile::writeEntry(const QString& logStr)
{
    const QString entry = stamped(logStr);
    const QByteArray bytes = entry.toUtf8();
    if (file.isOpen() && file.size() > 0 && file.size() + bytes.size() > ROTATE_BYTES)
        rotate();
    if (file.isOpen()) {
        file.write(bytes);
        file.flush();
    } else {
        qDebug() << "[CLogFile::addLogMetod] File is closed!";
    }
    return entry;
}

void CLogFile::addLogMetod(QString logStr, CLogFile::ELogMessageType type)
{
    QMutexLocker locker(&mutex);
    QString entry = writeEntry(logStr);
    entry.remove(QLatin1Char('\n'));
    emit addLogSignal(entry, type);
}

void CLogFile::addLogIntoFileOnly(QString logStr)
{
    QMutexLocker locker(&mutex);
    writeEntry(logStr);
}

void addLog(QString logStr, CLogFile::ELogMessageType type, bool echo)
{
    const bool posted =
        QMetaObject::invokeMethod(CLogFile::getInstance(), "addLogMetod", Qt::QueuedConnection,
                                  Q_ARG(QString, logStr), Q_ARG(CLogFile::ELogMessageType, type));
    if (!posted)
        qDebug() << "["
                 << "void addLog(QString, CLogFile::ELogMessageType, bool)"
                 << "] невозможно создать invokeMethod";
    if (echo)
        qDebug() << logStr;
}

void addLogIntoFileOnly(QString logStr)
{
    const bool posted = QMetaObject::invokeMethod(CLogFile::getInstance(), "addLogIntoFileOnly",
                                                  Qt::QueuedConnection, Q_ARG(QString, logStr));
    if (!posted)
        qDebug() << "["
                 << "void addLogIntoFileOnly(QString)"
                 << "] невозможно создать invokeMethod";
}
