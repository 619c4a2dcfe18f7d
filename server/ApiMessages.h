#pragma once

// The server API as the gateway speaks it: builders of the messages it sends
// and stateless readers of the answers and pushed uplinks it receives.

#include <QJsonObject>
#include <QList>
#include <QString>

#include "app/global.h"

namespace API {
QString pingMessage();
QString authRequestMessage(const QString& login, const QString& password);
QString devicesListRequestMessage();
QString deviceDataRequestMessage(const QString& devEui);

// True when one of the "+"-joined packet type names is an uplink.
bool isUplinkType(const QString& type);
// True for an even number of hexadecimal digits (none is allowed).
bool isHexPayload(const QString& text);

// A "get_devices_resp": its success flag; the devices listed with an app EUI.
bool readDevicesListResp(const QJsonObject& obj, QList<SServerDeviceInfo>& devices);
// A "get_data_resp": true and the first valid uplink of its list, if any.
bool readDataResp(const QJsonObject& obj, SApiDeviceData& packet);
// An "rx": true and the uplink when it is one with a device EUI.
bool readRxMessage(const QJsonObject& obj, SApiDeviceData& packet);
} // namespace API
