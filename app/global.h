#pragma once

// Names, keys and records shared by every subsystem of the gateway.

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QJsonObject>

#include <cstdint>

#include "app/RegisterFormat.h"

namespace COMM {
inline const QString TITLE_VERSION = QStringLiteral("1.0.6");
// Release-candidate number; empty for a release.
inline const QString TITLE_RC = QString();
inline const QString TITLE =
    QStringLiteral("Tarnwick %1%2")
        .arg(TITLE_VERSION, TITLE_RC.isEmpty() ? QString() : QStringLiteral("rc") + TITLE_RC);
inline const QString DEVICE_FOLDER = QStringLiteral("deviceFolder");
inline const QString LOG_FILENAME = QStringLiteral("history.log");

// The one key under which a device or application EUI is looked up anywhere:
// servers and operators write EUIs in either case.
inline QString euiKey(const QString& eui)
{
    return eui.trimmed().toUpper();
}

// The server's URL as every front end builds it from the connection fields;
// an IPv6 address needs its brackets there.
inline QString serverOrigin(const QString& scheme, const QString& host, const QString& port)
{
    const bool bare6 = host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('['));
    return QStringLiteral("%1://%2:%3").arg(scheme, bare6 ? QStringLiteral("[%1]").arg(host) : host, port);
}

enum EServerStatus
{
    SUCCESS = 0,
    PING_WAITING = 1,
    INVALID_PING = 2,
    AUTH_WAITING = 3,
    INVALID_AUTH = 4,
    DISCONNECTED = 5,
};
} // namespace COMM

namespace SETT {
inline const QString SETT_FILENAME = QStringLiteral("settings.conf");
inline const QString SETT_SECT_SERVER = QStringLiteral("server/");
inline const QString SETT_SERVER_SCHEME = QStringLiteral("scheme");
inline const QString SETT_SERVER_IP = QStringLiteral("ip");
inline const QString SETT_SERVER_PORT = QStringLiteral("port");
inline const QString SETT_SERVER_LOGIN = QStringLiteral("login");
inline const QString SETT_SERVER_PASSWORD = QStringLiteral("password");
// Modbus connections one port keeps at most; a file without the key keeps the default.
inline const QString SETT_SECT_MODBUS = QStringLiteral("modbus/");
inline const QString SETT_MODBUS_MAX_CONNECTIONS = QStringLiteral("max_connections_per_port");
constexpr int MODBUS_MAX_CONNECTIONS_DEFAULT = 256;
// Address the Modbus listeners bind to; all addresses without the key.
inline const QString SETT_MODBUS_BIND_ADDRESS = QStringLiteral("bind_address");
// Client networks served, CIDR, comma-separated; everyone without the key.
inline const QString SETT_MODBUS_ALLOWED_CLIENTS = QStringLiteral("allowed_clients");
} // namespace SETT

namespace REGS {
inline const QString REGS_JSON_KEY_APPEUI = QStringLiteral("app_eui");
inline const QString REGS_JSON_KEY_DEVTYPE = QStringLiteral("dev_type");
inline const QString REGS_JSON_KEY_COLOR = QStringLiteral("color");
inline const QString REGS_JSON_KEY_SERVERDATA = QStringLiteral("server_data");
inline const QString REGS_JSON_KEY_DEVPACKETS = QStringLiteral("device_packets");
inline const QString REGS_JSON_KEY_PACKETTYPE = QStringLiteral("packet_type");
inline const QString REGS_JSON_KEY_PACKETSIZE = QStringLiteral("packet_size");
inline const QString REGS_JSON_KEY_PACKETFIELDS = QStringLiteral("packet_fields");
inline const QString REGS_JSON_KEY_PACKETBIAS = QStringLiteral("packet_bias");
inline const QString REGS_JSON_KEY_DATABITBIAS = QStringLiteral("data_bit_bias");
inline const QString REGS_JSON_KEY_DATABITSIZE = QStringLiteral("data_bit_size");
inline const QString REGS_JSON_KEY_DATATYPE = QStringLiteral("data_type");
inline const QString REGS_JSON_KEY_ENDIANNESS = QStringLiteral("endianness");
inline const QString REGS_JSON_KEY_DATACODE = QStringLiteral("data_code");
inline const QString REGS_JSON_KEY_REGMAPBIAS = QStringLiteral("reg_map_bias");
inline const QString REGS_JSON_KEY_REGBITBIAS = QStringLiteral("reg_bit_bias");
inline const QString REGS_JSON_KEY_REGBITSIZE = QStringLiteral("reg_bit_size");
inline const QString REGS_JSON_KEY_DATANAME = QStringLiteral("data_name");

inline const QString REGS_JSON_KEY_CODE_TS = QStringLiteral("ts");
inline const QString REGS_JSON_KEY_CODE_RSSI = QStringLiteral("rssi");
inline const QString REGS_JSON_KEY_CODE_GATEWAYID = QStringLiteral("gatewayId");
inline const QString REGS_JSON_KEY_CODE_DEVEUI = QStringLiteral("devEui");
inline const QString REGS_JSON_KEY_CODE_SNR = QStringLiteral("snr");
inline const QString REGS_JSON_KEY_CODE_FCNT = QStringLiteral("fcnt");

inline const QString REGS_JSON_KEY_TYPE_INT = QStringLiteral("integer");
inline const QString REGS_JSON_KEY_TYPE_UINT = QStringLiteral("uinteger");
inline const QString REGS_JSON_KEY_TYPE_BOOL = QStringLiteral("boolean");
inline const QString REGS_JSON_KEY_TYPE_TEXT = QStringLiteral("text");

inline const QString REGS_ENDIAN_LE = QStringLiteral("le");
inline const QString REGS_ENDIAN_BE = QStringLiteral("be");

// Theme grey QC_GLOB_BLACK6C_45: the colour of a template that names none.
inline const QColor REGS_DEFAULT_COLOR = QColor(QStringLiteral("#94999D"));

struct SServerDataTemplate
{
    QString dataCode;
    int bitSize = 0;
    QString dataType;
};

// The server values a template may map to registers, by data code.
extern const QMap<QString, SServerDataTemplate> RegsServerDataTemplates;

struct SDevicePacketField
{
    SDevicePacketField() = default;
    explicit SDevicePacketField(const QJsonObject& obj);

    int packetBias = 0;
    int dataBitBias = 0;
    int dataBitSize = 0;
    QString dataType;
    int regMapBias = 0;
    int regBitBias = 0;
    int regBitSize = 0;
    QString dataName;
    bool isValid = false;
    int endianness = 0;          // 0 little-endian, 1 big-endian
    FMT::SRegisterFormat format; // what a new registration starts from
};

struct SDevicePacket
{
    SDevicePacket() = default;
    explicit SDevicePacket(const QJsonObject& obj);

    int packetType = 0;
    int packetSize = 0;
    QList<SDevicePacketField> packetFields;
    bool isValid = false;
};

struct SServerData
{
    SServerData() = default;
    explicit SServerData(const QJsonObject& obj);

    QString dataCode;
    int bitSize = 0;
    QString dataType;
    int regMapBias = 0;
    int regBitBias = 0;
    int regBitSize = 0;
    QString dataName;
    bool isValid = false;
};

struct SDeviceTemplate
{
    SDeviceTemplate() = default;
    explicit SDeviceTemplate(const QJsonObject& obj);

    bool isValid = false;
    QString appEui;
    QString devType;
    QColor color = REGS_DEFAULT_COLOR;
    QMap<QString, SServerData> serverData;
    QMap<unsigned int, SDevicePacket> devicePackets;
};

struct SDeviceTemplateInfo
{
    QString appEui;
    QString devType;
    QColor color;
};

struct SRegisterInfo
{
    QString dataName;
    int source = 0; // 0 server datum, 1 packet field
    int regMapBias = 0;
    int regBitSize = 0;
    QString dataType;
    double startValue = 0.0;
    double gratingPeriod = 1.0;
    QString unit;
    FMT::SRegisterFormat format;
};

struct SDeviceRegisterInfo
{
    QString appEui;
    QList<SRegisterInfo> registers;
};
} // namespace REGS

namespace DB {
inline const QString SQL_DRIVER = QStringLiteral("QSQLITE");
inline const QString DB_FILENAME = QStringLiteral("server.db");
inline const QString DB_NAME = QStringLiteral("server");
inline const QString DB_TABLE_DEVICES = QStringLiteral("devices");
inline const QString DB_TABLE_DEVDATA = QStringLiteral("dev_data");
// Float and word order of the registers that have them, by device and address;
// a register without a row is served as before it existed.
inline const QString DB_TABLE_REGFORMAT = QStringLiteral("reg_format");
inline const QString DATE_TIME_FORMSTR_SEC = QStringLiteral("dd-MMM-yy HH:mm:ss");

inline const QStringList DbTableDevicesList = {
    QStringLiteral("device"),  QStringLiteral("name"), QStringLiteral("app_eui"),
    QStringLiteral("dev_eui"), QStringLiteral("port"), QStringLiteral("start_addr"),
};

inline const QStringList DbTableDevDataList = {
    QStringLiteral("device"),      QStringLiteral("port"),           QStringLiteral("reg_addr"),
    QStringLiteral("start_value"), QStringLiteral("grating_period"), QStringLiteral("bit_size"),
    QStringLiteral("data_type"),   QStringLiteral("value"),          QStringLiteral("full_value"),
    QStringLiteral("time"),        QStringLiteral("name"),           QStringLiteral("unit"),
    QStringLiteral("parent"),      QStringLiteral("source"),
};

// Column numbers of table "devices".
enum EDevicesColumn
{
    DEV_COL_DEVICE = 0,
    DEV_COL_NAME = 1,
    DEV_COL_APPEUI = 2,
    DEV_COL_DEVEUI = 3,
    DEV_COL_PORT = 4,
    DEV_COL_STARTADDR = 5,
    DEV_COL_COUNT = 6,
};

// Column numbers of table "dev_data".
enum EDevDataColumn
{
    DATA_COL_DEVICE = 0,
    DATA_COL_PORT = 1,
    DATA_COL_REGADDR = 2,
    DATA_COL_STARTVALUE = 3,
    DATA_COL_GRATINGPERIOD = 4,
    DATA_COL_BITSIZE = 5,
    DATA_COL_DATATYPE = 6,
    DATA_COL_VALUE = 7,
    DATA_COL_FULLVALUE = 8,
    DATA_COL_TIME = 9,
    DATA_COL_NAME = 10,
    DATA_COL_UNIT = 11,
    DATA_COL_PARENT = 12,
    DATA_COL_SOURCE = 13,
    DATA_COL_COUNT = 14,
};

// Columns that the register queries add after those of "dev_data": the
// register's float and word order from table "reg_format", NULL without a row.
enum ERegFormatColumn
{
    FMT_COL_ASFLOAT = DATA_COL_COUNT,
    FMT_COL_WORDORDER = DATA_COL_COUNT + 1,
    FMT_COL_END = DATA_COL_COUNT + 2,
};

struct SDbIndexInfo
{
    SDbIndexInfo(const QString& _name, const QStringList& _columns) : name(_name), columns(_columns) {}
    QString name;
    QStringList columns;
};

inline const QList<SDbIndexInfo> DbIndexDevicesList = {
    SDbIndexInfo(QStringLiteral("idx_eui"), {QStringLiteral("dev_eui")}),
    SDbIndexInfo(QStringLiteral("idx_device"), {QStringLiteral("device")}),
};

inline const QList<SDbIndexInfo> DbIndexDevdataList = {
    SDbIndexInfo(QStringLiteral("idx_dev_parent"), {QStringLiteral("device"), QStringLiteral("parent")}),
    SDbIndexInfo(QStringLiteral("idx_dev_regaddr"), {QStringLiteral("device"), QStringLiteral("reg_addr")}),
    SDbIndexInfo(QStringLiteral("idx_port_regaddr"), {QStringLiteral("port"), QStringLiteral("reg_addr")}),
};

struct SDeviceRegMapDescription
{
    QString devEui;
    QString appEui;
    QString name;
    int32_t startAddr = 0;
    QList<REGS::SRegisterInfo> registers;
};

struct SDbRegParamInfo
{
    uint32_t regAddr = 0;
    double startValue = 0.0;
    double gratingPeriod = 1.0;
    QString unit;
    FMT::SRegisterFormat format;
};

struct SDbDevRegParamInfo
{
    uint32_t deviceId = 0;
    uint16_t port = 0;
    QList<SDbRegParamInfo> params;
};

struct SDbDeviceRegDataRewrite
{
    QString value;
    QString fullValue;
    int regOffset = 0;
};

// Reserved for partial register changes; nothing fills it yet.
struct SDbDeviceRegDataModif
{
    QString value;
    int64_t mask = 0;
    int64_t time = 0;
};

struct SDbDeviceRegDataSet
{
    QString devEui;
    int startAddr = 0;
    QList<SDbDeviceRegDataRewrite> rewriteList;
    QList<SDbDeviceRegDataModif> modifList;
    // Time stamp of the packet (ms since 1970-01-01 UTC), 0 when unknown:
    // storage keeps a newer packet of the device rather than this one.
    qint64 packetTime = 0;

    void appendRewriteData(const QString& value, int regOffset, const QString& fullValue)
    {
        if (!value.isEmpty())
            rewriteList.append(SDbDeviceRegDataRewrite{value, fullValue, regOffset});
    }
};
} // namespace DB

namespace API {
inline const QString API_JSON_KEY_CMD = QStringLiteral("cmd");
inline const QString API_JSON_KEY_LOGIN = QStringLiteral("login");
inline const QString API_JSON_KEY_PASSWORD = QStringLiteral("password");
inline const QString API_JSON_KEY_TOKEN = QStringLiteral("token");
inline const QString API_JSON_KEY_STATUS = QStringLiteral("status");
inline const QString API_JSON_KEY_ERRSTRING = QStringLiteral("err_string");
inline const QString API_JSON_KEY_DEVLIST = QStringLiteral("devices_list");
inline const QString API_JSON_KEY_DEVEUI = QStringLiteral("devEui");
inline const QString API_JSON_KEY_DEVNAME = QStringLiteral("devName");
inline const QString API_JSON_KEY_OTAA = QStringLiteral("OTAA");
inline const QString API_JSON_KEY_OTAA_APPEUI = QStringLiteral("appEui");
inline const QString API_JSON_KEY_DATALIST = QStringLiteral("data_list");
inline const QString API_JSON_KEY_SELECT = QStringLiteral("select");
inline const QString API_JSON_KEY_LIMIT = QStringLiteral("limit");
inline const QString API_JSON_KEY_DIRECTION = QStringLiteral("direction");
inline const QString API_JSON_KEY_TYPE = QStringLiteral("type");
inline const QString API_JSON_KEY_DATA = QStringLiteral("data");
inline const QString API_JSON_KEY_TS = QStringLiteral("ts");
inline const QString API_JSON_KEY_MACBS = QStringLiteral("gatewayId");
inline const QString API_JSON_KEY_ACK = QStringLiteral("ack");
inline const QString API_JSON_KEY_FCNT = QStringLiteral("fcnt");
inline const QString API_JSON_KEY_PORT = QStringLiteral("port");
inline const QString API_JSON_KEY_FREQ = QStringLiteral("freq");
inline const QString API_JSON_KEY_DR = QStringLiteral("dr");
inline const QString API_JSON_KEY_RSSI = QStringLiteral("rssi");
inline const QString API_JSON_KEY_SNR = QStringLiteral("snr");

inline const QString API_JSON_VALUE_UPLINK = QStringLiteral("UPLINK");
inline const int API_JSON_VALUE_LIMIT = 10;

inline const QString API_JSON_CMD_AUTHREQ = QStringLiteral("auth_req");
inline const QString API_JSON_CMD_AUTHRESP = QStringLiteral("auth_resp");
inline const QString API_JSON_CMD_GETDEVREGINFOREQ = QStringLiteral("get_devices_req");
inline const QString API_JSON_CMD_GETDEVREGINFORESP = QStringLiteral("get_devices_resp");
inline const QString API_JSON_CMD_GETDEVDATAREQ = QStringLiteral("get_data_req");
inline const QString API_JSON_CMD_GETDEVDATARESP = QStringLiteral("get_data_resp");
inline const QString API_JSON_CMD_RX = QStringLiteral("rx");

// The rest of the server's vocabulary; the gateway neither sends nor handles these.
inline const QString API_JSON_CMD_CLOSEAUTHREQ = QStringLiteral("close_auth_req");
inline const QString API_JSON_CMD_CLOSEAUTHRESP = QStringLiteral("close_auth_resp");
inline const QString API_JSON_CMD_TOKENAUTHREQ = QStringLiteral("token_auth_req");
inline const QString API_JSON_CMD_TOKENAUTHRESP = QStringLiteral("token_auth_resp");
inline const QString API_JSON_CMD_GETUSERSREQ = QStringLiteral("get_users_req");
inline const QString API_JSON_CMD_GETUSERSRESP = QStringLiteral("get_users_resp");
inline const QString API_JSON_CMD_MANAGEUSERSREQ = QStringLiteral("manage_users_req");
inline const QString API_JSON_CMD_MANAGEUSERSRESP = QStringLiteral("manage_users_resp");
inline const QString API_JSON_CMD_ALTERUSERRESP = QStringLiteral("alter_user_resp");
inline const QString API_JSON_CMD_DELETEUSERSREQ = QStringLiteral("delete_users_req");
inline const QString API_JSON_CMD_DELETEUSERSRESP = QStringLiteral("delete_users_resp");
inline const QString API_JSON_CMD_GETDEVAPPDATAREQ = QStringLiteral("get_device_appdata_req");
inline const QString API_JSON_CMD_GETDEVAPPDATARESP = QStringLiteral("get_device_appdata_resp");
inline const QString API_JSON_CMD_SENDDATAREQ = QStringLiteral("send_data_req");
inline const QString API_JSON_CMD_SENDDATARESP = QStringLiteral("send_data_resp");
inline const QString API_JSON_CMD_MANAGEDEVAPPDATAREQ = QStringLiteral("manage_device_appdata_req");
inline const QString API_JSON_CMD_MANAGEDEVAPPDATARESP = QStringLiteral("manage_device_appdata_resp");
inline const QString API_JSON_CMD_DELETEDEVAPPDATAREQ = QStringLiteral("delete_device_appdata_req");
inline const QString API_JSON_CMD_DELETEDEVAPPDATARESP = QStringLiteral("delete_device_appdata_resp");
inline const QString API_JSON_CMD_GETGATEWAYSREQ = QStringLiteral("get_gateways_req");
inline const QString API_JSON_CMD_GETGATEWAYSRESP = QStringLiteral("get_gateways_resp");
inline const QString API_JSON_CMD_MANAGEGATEWAYSREQ = QStringLiteral("manage_gateways_req");
inline const QString API_JSON_CMD_MANAGEGATEWAYSRESP = QStringLiteral("manage_gateways_resp");
inline const QString API_JSON_CMD_DELETEGATEWAYSREQ = QStringLiteral("delete_gateways_req");
inline const QString API_JSON_CMD_DELETEGATEWAYSRESP = QStringLiteral("delete_gateways_resp");
inline const QString API_JSON_CMD_MANAGEDEVICESREQ = QStringLiteral("manage_devices_req");
inline const QString API_JSON_CMD_MANAGEDEVICESRESP = QStringLiteral("manage_devices_resp");
inline const QString API_JSON_CMD_DELETEDEVICESREQ = QStringLiteral("delete_devices_req");
inline const QString API_JSON_CMD_DELETEDEVICESRESP = QStringLiteral("delete_devices_resp");
inline const QString API_JSON_CMD_GETCOVERAGEMAPREQ = QStringLiteral("get_coverage_map_req");
inline const QString API_JSON_CMD_GETCOVERAGEMAPRESP = QStringLiteral("get_coverage_map_resp");
inline const QString API_JSON_CMD_GETDEVDLQUEUEREQ = QStringLiteral("get_device_downlink_queue_req");
inline const QString API_JSON_CMD_GETDEVDLQUEUERESP = QStringLiteral("get_device_downlink_queue_resp");
inline const QString API_JSON_CMD_MANAGEDEVDLQUEUEREQ = QStringLiteral("manage_device_downlink_queue_req");
inline const QString API_JSON_CMD_MANAGEDEVDLQUEUERESP = QStringLiteral("manage_device_downlink_queue_resp");
inline const QString API_JSON_CMD_TX = QStringLiteral("tx");
inline const QString API_JSON_CMD_CONSOLE = QStringLiteral("console");

// Status and error words of the server; only ever logged, never compared.
inline const QString API_JSON_STATUS_ADDED = QStringLiteral("added");
inline const QString API_JSON_STATUS_UPDATED = QStringLiteral("updated");
inline const QString API_JSON_STATUS_NOTADDED = QStringLiteral("notAdded");
inline const QString API_JSON_ERR_INVALIDJSON = QStringLiteral("invalid_json_msg");
inline const QString API_JSON_ERR_UNKNOWNCMD = QStringLiteral("unknown_cmd");
inline const QString API_JSON_ERR_INVALIDLOGIN = QStringLiteral("invalid_login_or_password");
inline const QString API_JSON_ERR_INVALIDTOKEN = QStringLiteral("invalid_token");

inline const QStringList ApiLorawanPacketType = {
    QStringLiteral("UNCONF_UP"),
    QStringLiteral("UNCONF_DOWN"),
    QStringLiteral("CONF_UP"),
    QStringLiteral("CONF_DOWN"),
    QStringLiteral("JOIN_REQ"),
    QStringLiteral("JOIN_ACC"),
    QStringLiteral("MAC_LINKCHECK_REQ"),
    QStringLiteral("MAC_LINKCHECK_ANS"),
    QStringLiteral("MAC_LINKADR_REQ"),
    QStringLiteral("MAC_LINKADR_ANS"),
    QStringLiteral("MAC_DUTYCYCLE_REQ"),
    QStringLiteral("MAC_DUTYCYCLE_ANS"),
    QStringLiteral("MAC_RXPARAMSETUP_REQ"),
    QStringLiteral("MAC_RXPARAMSETUP_ANS"),
    QStringLiteral("MAC_DEVSTATUS_REQ"),
    QStringLiteral("MAC_DEVSTATUS_ANS"),
    QStringLiteral("MAC_NEWCHAN_REQ"),
    QStringLiteral("MAC_NEWCHAN_ANS"),
    QStringLiteral("MAC_RXTIMING_REQ"),
    QStringLiteral("MAC_RXTIMING_ANS"),
    QStringLiteral("MAC_TXPARAM_REQ"),
    QStringLiteral("MAC_TXPARAM_ANS"),
    QStringLiteral("MAC_DLCHAN_REQ"),
    QStringLiteral("MAC_DLCHAN_ANS"),
    QStringLiteral("MAC_PROPRIETARY"),
};

struct SApiDeviceData
{
    // The default record is what an empty object gives: unfilled, invalid.
    explicit SApiDeviceData(const QJsonObject& obj = QJsonObject());

    QString devEui;
    uint64_t ts = 0;
    QString gatewayId;
    bool ack = false;
    uint32_t fcnt = 0;
    uint16_t port = 0;
    QByteArray data;
    uint32_t freq = 0;
    int16_t dr = 0;
    int16_t rssi = 0;
    double snr = 0.0;
    bool isValid = false;
};

struct SServerDeviceInfo
{
    QString devEui;
    QString appEui;
    QString devName;
};
} // namespace API

Q_DECLARE_METATYPE(COMM::EServerStatus)
Q_DECLARE_METATYPE(DB::SDbDeviceRegDataSet)
Q_DECLARE_METATYPE(API::SApiDeviceData)
Q_DECLARE_METATYPE(API::SServerDeviceInfo)

// Registers the meta-types of the server link's queued signals.
void globalVarInit();
