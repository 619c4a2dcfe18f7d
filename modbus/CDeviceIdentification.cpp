#include "modbus/CDeviceIdentification.h"

#include <QStringList>

#include "app/global.h"
#include "modbus/CModbusTcpFramer.h"

const QString CDeviceIdentification::VENDOR = QStringLiteral("Tarnwick");
const QString CDeviceIdentification::PRODUCT_CODE = QStringLiteral("TARNWICK-GW");

namespace {

QByteArray exception(quint8 code)
{
    QByteArray out;
    out.append(char(CDeviceIdentification::FUNCTION | CModbusTcpFramer::EXCEPTION_BIT));
    out.append(char(code));
    return out;
}

// Object ids 0, 1 and 2: vendor name, product code, major and minor revision.
QList<QByteArray> basicObjects()
{
    return {CDeviceIdentification::VENDOR.toLatin1(), CDeviceIdentification::PRODUCT_CODE.toLatin1(),
            COMM::TITLE_VERSION.toLatin1()};
}
} // namespace

QByteArray CDeviceIdentification::answer(const QByteArray& requestPdu)
{
    if (requestPdu.size() < 2 || quint8(requestPdu.at(1)) != MEI_READ_DEVICE_ID)
        return exception(CModbusTcpFramer::EXCEPTION_ILLEGAL_FUNCTION);
    if (requestPdu.size() != REQUEST_PDU_LENGTH)
        return exception(CModbusTcpFramer::EXCEPTION_ILLEGAL_DATA_VALUE);
    const quint8 readCode = quint8(requestPdu.at(2));
    quint8 objectId = quint8(requestPdu.at(3));
    const QList<QByteArray> objects = basicObjects();
    if (readCode < READ_BASIC || readCode > READ_ONE)
        return exception(CModbusTcpFramer::EXCEPTION_ILLEGAL_DATA_VALUE);
    if (readCode == READ_ONE && objectId >= objects.size())
        return exception(CModbusTcpFramer::EXCEPTION_ILLEGAL_DATA_ADDRESS);
    // A stream asked to start at an object we lack starts at the first.
    if (objectId >= objects.size())
        objectId = 0;
    const int last = readCode == READ_ONE ? objectId : objects.size() - 1;

    QByteArray out;
    out.append(char(FUNCTION));
    out.append(char(MEI_READ_DEVICE_ID));
    out.append(char(readCode));
    out.append(char(CONFORMITY));
    out.append(char(0)); // no more follows: every object fits one answer
    out.append(char(0)); // next object id, 0 when none follows
    out.append(char(last - objectId + 1));
    for (int id = objectId; id <= last; ++id) {
        out.append(char(id));
        out.append(char(objects.at(id).size()));
        out.append(objects.at(id));
    }
    return out;
}
