#pragma once

#include <QMap>
#include <QString>
#include <QVariant>

// The settings file settings.conf: the server connection fields between runs.
// It holds the server password in clear text, so it is kept at mode 0600 and
// replaced whole on every save: a crash mid-write leaves the old file.
class CSettings
{
public:
    static CSettings* getInstance(const QString& fileName);
    static QVariant readValue(const QString& key, const QVariant& defaultValue = QVariant());
    // Saves the values with the ones already held; false (and an "ERROR:" line) when the file
    // cannot be written.
    static bool writeValues(const QMap<QString, QVariant>& values);
    // Why the last save failed, for the window's status line; empty after a good one.
    static QString lastError();

    // Tests only: forget the instance so the next getInstance opens a new file.
    static void resetInstance();

private:
    explicit CSettings(const QString& fileName);
    bool save();

    QString fileName;
    QMap<QString, QVariant> values;
    QString error;
};
