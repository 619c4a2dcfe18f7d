#pragma once

#include <QByteArray>
#include <QString>

// Function 43 / MEI type 14, read device identification, with the basic
// objects: what SCADA tools ask a server first. Pure: a request PDU in, the
// answer PDU (or an exception PDU) out.
class CDeviceIdentification
{
public:
    static constexpr quint8 FUNCTION = 0x2B;
    static constexpr quint8 MEI_READ_DEVICE_ID = 0x0E;
    static constexpr int REQUEST_PDU_LENGTH = 4; // function, MEI type, read code, object id

    enum EReadCode : quint8
    {
        READ_BASIC = 1,
        READ_REGULAR = 2,
        READ_EXTENDED = 3,
        READ_ONE = 4,
    };
    // Basic objects only, read as a stream or one by one.
    static constexpr quint8 CONFORMITY = 0x81;

    static const QString VENDOR;
    static const QString PRODUCT_CODE;

    // The answer to a PDU starting with FUNCTION.
    static QByteArray answer(const QByteArray& requestPdu);
};
