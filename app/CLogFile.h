#pragma once

#include <QFile>
#include <QMutex>
#include <QObject>
#include <QString>

// The operator's log, history.log in the working directory. Lines are posted
// to it from any thread and written in the main thread, one at a time. Past
// 10 MiB it is renamed history.log.1 and a new file begins.
class CLogFile : public QObject
{
    Q_OBJECT
public:
    enum ELogMessageType
    {
        LOG_TYPE_NORMAL = 0,
        LOG_TYPE_ERROR = 2,
    };
    Q_ENUM(ELogMessageType)

    static CLogFile* getInstance(const QString& fileName, const QString& sessionName);
    static CLogFile* getInstance();

    ~CLogFile() override;

signals:
    void addLogSignal(QString logStr, CLogFile::ELogMessageType type);

public slots:
    void addLogMetod(QString logStr = QString(), CLogFile::ELogMessageType type = LOG_TYPE_NORMAL);
    void addLogIntoFileOnly(QString logStr);

protected:
    CLogFile(const QString& fileName, const QString& sessionName, QObject* parent = nullptr);

private:
    // Writes one entry; the caller holds the mutex. Returns the entry text.
    QString writeEntry(const QString& logStr);
    void rotate();
    static QString stamped(const QString& logStr);
    QString bannerText() const;

    QFile file;
    QMutex mutex;
    QString sessionName;
};

Q_DECLARE_METATYPE(CLogFile::ELogMessageType)

void addLog(QString logStr, CLogFile::ELogMessageType type = CLogFile::LOG_TYPE_NORMAL, bool echo = false);
void addLogIntoFileOnly(QString logStr);
