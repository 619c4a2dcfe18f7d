#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include "app/global.h"

// Reads the device templates of a folder into the registry's map, keyed by
// application EUI. Each file refused and each field that can never decode
// gets its own log line; templates with such fields still load.
class CTemplateLoader
{
public:
    // No template comes near this; a larger file is refused unread.
    static constexpr qint64 MAX_FILE_SIZE = 1024 * 1024;

    static void loadFolder(const QString& folder, QMap<QString, REGS::SDeviceTemplate>& templates);
    static void loadFile(const QString& path, const QString& fileName,
                         QMap<QString, REGS::SDeviceTemplate>& templates);

    // One warning line per field of the template whose values no uplink can decode.
    static QStringList undecodableFields(const REGS::SDeviceTemplate& deviceTemplate,
                                         const QString& fileName);
};
