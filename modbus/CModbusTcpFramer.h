#pragma once

#include <QByteArray>
#include <QMap>
#include <QVector>

#include <cstdint>
#include <functional>

// Cuts Modbus TCP frames (MBAP header plus PDU) off the front of a receive
// buffer and builds their answers. Stateless: the socket side only feeds the
// buffer in, removes what was consumed and writes the answer out.
class CModbusTcpFramer
{
public:
    struct SModbusMBAP
    {
        uint16_t transactionId = 0;
        uint16_t protocolId = 0;
        uint16_t length = 0; // bytes that follow the length field
    };

    struct SModbusTcpPacketHeader
    {
        uint8_t unitId = 0;
        uint8_t functionCode = 0;
        uint16_t startAddress = 0;
        uint16_t registerCount = 0;
    };

    enum EFrameStatus
    {
        FRAME_FOUND = 0,             // a whole frame was consumed and answered
        FRAME_INCOMPLETE_HEADER = 1, // fewer than 6 bytes: not even a length yet
        FRAME_INCOMPLETE = 2,        // the declared frame has not fully arrived
        FRAME_DROPPED = 3,           // no function code, or a read without address and quantity
        FRAME_OVERSIZED = 4,         // a length no request can have: the stream cannot be trusted
    };

    struct SFrameResult
    {
        EFrameStatus status = FRAME_INCOMPLETE_HEADER;
        int consumed = 0;  // bytes to remove from the front of the buffer
        QByteArray answer; // empty unless a frame was found
    };

    // Word i of the answer is that of address start + i: a read is answered
    // in request order, and any word the reader leaves out reads 0.
    using RegisterWords = QVector<uint16_t>;
    // Fills the register words of a port's address range as the register
    // store holds them; false when the store failed to read them.
    using RegisterReader = std::function<bool(int port, int start, int count, RegisterWords& words)>;
    // Asked before a read: an exception code to answer instead of the words, or 0.
    using ReadGate = std::function<uint8_t(int port, int start, int count)>;

    static constexpr int MBAP_LENGTH = 6;
    static constexpr int MIN_FRAME_LENGTH = 2;     // unit, function
    static constexpr int MIN_REQUEST_LENGTH = 6;   // unit, function, address, quantity
    static constexpr int MAX_REQUEST_LENGTH = 254; // unit and the largest PDU, 253 bytes
    static constexpr uint16_t MAX_READ_REGISTERS = 125;
    static constexpr uint8_t EXCEPTION_BIT = 0x80;
    static constexpr uint8_t EXCEPTION_ILLEGAL_FUNCTION = 1;
    static constexpr uint8_t EXCEPTION_ILLEGAL_DATA_ADDRESS = 2;
    static constexpr uint8_t EXCEPTION_ILLEGAL_DATA_VALUE = 3;
    static constexpr uint8_t EXCEPTION_SERVER_DEVICE_FAILURE = 4;

    static SFrameResult takeFrame(const QByteArray& buffer, uint16_t port, const RegisterReader& reader,
                                  const ReadGate& gate = ReadGate());

    // Answer to a read of holding or input registers: exactly the requested
    // addresses in request order, 0 for any address the map lacks.
    static QByteArray buildReadAnswer(const SModbusMBAP& mbap, const SModbusTcpPacketHeader& header,
                                      const QMap<uint16_t, uint16_t>& data);
    static QByteArray buildReadAnswer(const SModbusMBAP& mbap, const SModbusTcpPacketHeader& header,
                                      const RegisterWords& words);
    static QByteArray buildExceptionAnswer(const SModbusMBAP& mbap, const SModbusTcpPacketHeader& header,
                                           uint8_t exceptionCode);

private:
    static SModbusMBAP readMbap(const QByteArray& buffer);
    static SModbusTcpPacketHeader readPduHeader(const QByteArray& buffer, int length);
    static QByteArray answerFor(const SModbusMBAP& mbap, const SModbusTcpPacketHeader& header, uint16_t port,
                                const RegisterReader& reader, const ReadGate& gate);
    static QByteArray wrapPdu(const SModbusMBAP& mbap, uint8_t unitId, const QByteArray& pdu);
    static QByteArray answerHeader(const SModbusMBAP& mbap, uint8_t unitId, uint8_t functionCode,
                                   uint16_t pduLength);
};
