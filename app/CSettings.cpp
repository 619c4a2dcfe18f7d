#include "app/CSettings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>

#include "app/CLogFile.h"

namespace {
CSettings* settings = nullptr;

const QString LOG_NOT_SAVED =
    QStringLiteral("ERROR: [CSettings::save] Settings file [%1] is not written: %2");
const QString LOG_TIGHTENED =
    QStringLiteral("WARNING: [CSettings] Settings file [%1] was open to other users (mode %2), now 0600");
const QString STATUS_NOT_SAVED = QStringLiteral("%1 not saved: %2");
const QFileDevice::Permissions OWNER_ONLY = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// A file of ours that others may read (it was written by an older build, or
// by hand) is tightened; links, devices and files of other users are left alone.
void tightenExisting(const QString& fileName)
{
    struct stat st;
    const QByteArray path = QFile::encodeName(fileName);
    if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
        return;
    if ((st.st_mode & 0777 & ~0600) == 0)
        return;
    if (::chmod(path.constData(), 0600) == 0)
        addLog(LOG_TIGHTENED.arg(fileName, QString::number(st.st_mode & 0777, 8)));
}

// The values in QSettings' own INI text, so that every build reads them back alike.
QByteArray iniText(const QMap<QString, QVariant>& values, QString& error)
{
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        error = scratch.errorString();
        return QByteArray();
    }
    const QString path = scratch.filePath(QStringLiteral("settings.conf"));
    {
        QSettings ini(path, QSettings::IniFormat);
        for (auto it = values.constBegin(); it != values.constEnd(); ++it)
            ini.setValue(it.key(), it.value());
        ini.sync();
        if (ini.status() != QSettings::NoError) {
            error = QStringLiteral("Settings text cannot be prepared in [%1]").arg(scratch.path());
            return QByteArray();
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return QByteArray();
    }
    return file.readAll();
}

// A character device in the file's place (a stand-in for a full disk) is
// written directly; nothing else that is not a regular file is touched.
QString writeDirectly(const QString& target, const QByteArray& text)
{
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(text) != text.size())
        return file.errorString();
    return QString();
}

// Replaces the file whole: a new file of mode 0600 renamed over the old one.
// Returns why it could not, or nothing.
QString writeFile(const QString& fileName, const QByteArray& text)
{
    const QFileInfo info(fileName);
    const QString target = info.isSymLink() ? info.symLinkTarget() : fileName;
    struct stat st;
    if (::stat(QFile::encodeName(target).constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return qt_error_string(EISDIR);
        if (S_ISCHR(st.st_mode))
            return writeDirectly(target, text);
        if (!S_ISREG(st.st_mode))
            return QStringLiteral("Not a regular file");
    }
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    // Only the new file is ours to set: QSaveFile writes a temporary file first.
    file.setPermissions(OWNER_ONLY);
    file.write(text);
    if (!file.commit())
        return file.errorString();
    return QString();
}
} // namespace

CSettings::CSettings(const QString& _fileName) : fileName(_fileName)
{
    tightenExisting(fileName);
    QSettings ini(fileName, QSettings::IniFormat);
    for (const QString& key : ini.allKeys())
        values.insert(key, ini.value(key));
}

CSettings* CSettings::getInstance(const QString& fileName)
{
    if (!settings) {
        if (fileName.isEmpty()) {
            qDebug() << "ERROR: [CSettings::getInstance] Invalid fileName";
            return nullptr;
        }
        settings = new CSettings(fileName);
    }
    return settings;
}

void CSettings::resetInstance()
{
    delete settings;
    settings = nullptr;
}

QVariant CSettings::readValue(const QString& key, const QVariant& defaultValue)
{
    CSettings* s = settings ? settings : getInstance(QString());
    if (!s) {
        qDebug() << "ERROR: [CSettings::readValue] Invalid object";
        return QVariant();
    }
    return s->values.value(key, defaultValue);
}

bool CSettings::writeValues(const QMap<QString, QVariant>& values)
{
    CSettings* s = settings ? settings : getInstance(QString());
    if (!s) {
        qDebug() << "ERROR: [CSettings::writeValues] Invalid object";
        return false;
    }
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        s->values.insert(it.key(), it.value());
    return s->save();
}

QString CSettings::lastError()
{
    return settings ? settings->error : QString();
}

bool CSettings::save()
{
    QString reason;
    const QByteArray text = iniText(values, reason);
    if (reason.isEmpty())
        reason = writeFile(fileName, text);
    if (reason.isEmpty()) {
        error.clear();
        return true;
    }
    error = STATUS_NOT_SAVED.arg(fileName, reason);
    addLog(LOG_NOT_SAVED.arg(fileName, reason));
    return false;
}
