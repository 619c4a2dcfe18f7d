#include "devices/CTemplateLoader.h"

#include <dirent.h>

#include <cerrno>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>

#include "app/CLogFile.h"

namespace {
const QString LOG_NO_FOLDER =
    QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is not existed");
const QString LOG_EMPTY_FOLDER =
    QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is empty");
const QString LOG_UNREADABLE_FOLDER = QStringLiteral(
    "ERROR: [CAllDeviceHandler::init] Directory [%1] with device templates cannot be read: %2");
const QString LOG_NOT_EXIST = QStringLiteral("File [%1] is not exist");
const QString LOG_NOT_OPENED = QStringLiteral("File [%1] is not opened");
const QString LOG_TOO_LARGE = QStringLiteral(
    "ERROR: [CAllDeviceHandler::loadTemplateFile] Template file [%1] is larger than %2 bytes, not loaded");
const QString LOG_BAD_JSON =
    QStringLiteral("ERROR: [CAllDeviceHandler] Invalid parsing JSON file [%1]: error[%2], row[%3]");
const QString LOG_NO_DOCUMENT = QStringLiteral("File [%1] is not contans JSON document");
const QString LOG_DUPLICATE = QStringLiteral("Device [%1] already inited. Skip");
const QString LOG_LOADED = QStringLiteral("Device [%1] inited SUCCESSULLY");
const QString LOG_UNDECODABLE = QStringLiteral("WARNING: [CAllDeviceHandler::loadTemplateFile] Template "
                                               "[%1], packet [%2], field [%3]: %4, never decoded");

// Type bytes 0x80..0xFF may be written as -128..-1 (the decoder accepts both).
bool typeCanMatch(int packetType)
{
    return packetType >= -128 && packetType <= 255;
}

bool isDecodableSize(int bitSize)
{
    return bitSize == 8 || bitSize == 16 || bitSize == 32 || bitSize == 64;
}

// The reason a directory that exists cannot be listed; empty when it can.
QString unreadableReason(const QString& folder)
{
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return qt_error_string(errno);
    ::closedir(dir);
    return QString();
}
} // namespace

void CTemplateLoader::loadFolder(const QString& folder, QMap<QString, REGS::SDeviceTemplate>& templates)
{
    QDir dir(folder);
    QString message;
    if (!dir.exists())
        message = LOG_NO_FOLDER;
    else if (const QString reason = unreadableReason(folder); !reason.isEmpty())
        message = LOG_UNREADABLE_FOLDER.arg(folder, reason);
    const QStringList files = message.isEmpty()
                                  ? dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)
                                  : QStringList();
    if (message.isEmpty() && files.isEmpty())
        message = LOG_EMPTY_FOLDER;
    if (!message.isEmpty()) {
        addLog(message);
        qDebug().noquote() << message;
        return;
    }
    qDebug() << files;
    for (const QString& name : files)
        loadFile(folder + QStringLiteral("/") + name, name, templates);
}

void CTemplateLoader::loadFile(const QString& path, const QString& fileName,
                               QMap<QString, REGS::SDeviceTemplate>& templates)
{
    QFile file(path);
    if (!file.exists()) {
        addLog(LOG_NOT_EXIST.arg(fileName));
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        addLog(LOG_NOT_OPENED.arg(fileName));
        return;
    }
    // Read one byte past the limit: a device or a link to one reports no size.
    const QByteArray content = file.read(MAX_FILE_SIZE + 1);
    if (content.size() > MAX_FILE_SIZE) {
        addLog(LOG_TOO_LARGE.arg(file.fileName(), QString::number(MAX_FILE_SIZE)));
        return;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        addLog(LOG_BAD_JSON.arg(file.fileName(), error.errorString(), QString::number(error.offset)));
        return;
    }
    if (doc.isEmpty()) {
        addLog(LOG_NO_DOCUMENT.arg(fileName));
        return;
    }
    const REGS::SDeviceTemplate deviceTemplate(doc.object());
    if (!deviceTemplate.isValid)
        return;
    const QString key = COMM::euiKey(deviceTemplate.appEui);
    if (templates.contains(key)) {
        addLog(LOG_DUPLICATE.arg(deviceTemplate.appEui));
        return;
    }
    for (const QString& warning : undecodableFields(deviceTemplate, fileName))
        addLog(warning);
    addLog(LOG_LOADED.arg(deviceTemplate.appEui));
    templates.insert(key, deviceTemplate);
}

QStringList CTemplateLoader::undecodableFields(const REGS::SDeviceTemplate& deviceTemplate,
                                               const QString& fileName)
{
    QStringList warnings;
    for (const REGS::SDevicePacket& packet : deviceTemplate.devicePackets) {
        const QString type = QString::number(packet.packetType);
        if (!typeCanMatch(packet.packetType))
            warnings << LOG_UNDECODABLE.arg(fileName, type, REGS::REGS_JSON_KEY_PACKETTYPE,
                                            QStringLiteral("packet type outside 0-255"));
        for (const REGS::SDevicePacketField& field : packet.packetFields) {
            if (!isDecodableSize(field.dataBitSize))
                warnings << LOG_UNDECODABLE.arg(
                    fileName, type, field.dataName,
                    QStringLiteral("data size of %1 bits is not 8, 16, 32 or 64").arg(field.dataBitSize));
            if (field.packetBias < 0)
                warnings << LOG_UNDECODABLE.arg(fileName, type, field.dataName,
                                                QStringLiteral("negative offset %1").arg(field.packetBias));
        }
    }
    return warnings;
}
