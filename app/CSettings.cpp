#include "app/CSettings.h"

#include <QDebug>
#include <QFile>

namespace {
CSettings* settings = nullptr;
} // namespace

CSettings::CSettings(const QString& fileName) : QSettings(fileName, QSettings::IniFormat) {}

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
    return s->value(key, defaultValue);
}

// The file holds the server password in clear text, so only its owner may read it.
// Created before the first write, so it is never readable by others, not even briefly.
void CSettings::restrictToOwner(const QString& fileName)
{
    if (fileName.isEmpty())
        return;
    QFile file(fileName);
    if (!file.exists() && file.open(QIODevice::WriteOnly))
        file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

bool CSettings::writeValue(const QString& key, const QVariant& value)
{
    CSettings* s = settings ? settings : getInstance(QString());
    if (!s) {
        qDebug() << "ERROR: [CSettings::writeValue] Invalid object";
        return false;
    }
    restrictToOwner(s->fileName());
    s->setValue(key, value);
    s->sync();
    restrictToOwner(s->fileName());
    return true;
}
