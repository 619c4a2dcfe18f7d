#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

// The settings file settings.conf: the server connection fields between runs.
class CSettings : public QSettings
{
    Q_OBJECT
public:
    static CSettings* getInstance(const QString& fileName);
    static QVariant readValue(const QString& key, const QVariant& defaultValue = QVariant());
    static bool writeValue(const QString& key, const QVariant& value);

    // Tests only: forget the instance so the next getInstance opens a new file.
    static void resetInstance();

private:
    explicit CSettings(const QString& fileName);
    static void restrictToOwner(const QString& fileName);
};
