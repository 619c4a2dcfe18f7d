#include "app/global.h"

#include <QMetaType>

void globalVarInit()
{
    qRegisterMetaType<COMM::EServerStatus>("COMM::EServerStatus");
    qRegisterMetaType<QList<API::SServerDeviceInfo>>("QList<API::SServerDeviceInfo>");
    qRegisterMetaType<API::SApiDeviceData>("API::SApiDeviceData");
}
