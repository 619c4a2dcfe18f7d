#include "modbus/CModbusTcpFramer.h"

#include "modbus/CDeviceIdentification.h"
#include "storage/CRegisterImage.h"

namespace {
constexpr uint8_t FUNC_READ_HOLDING = 3;
constexpr uint8_t FUNC_READ_INPUT = 4;

uint16_t readWord(const QByteArray& buffer, int offset)
{
    return static_cast<uint16_t>(static_cast<uint8_t>(buffer.at(offset)) << 8 |
                                 static_cast<uint8_t>(buffer.at(offset + 1)));
}

void appendWord(QByteArray& out, uint16_t word)
{
    out.append(static_cast<char>(word >> 8));
    out.append(static_cast<char>(word & 0xFF));
}
} // namespace

CModbusTcpFramer::SFrameResult CModbusTcpFramer::takeFrame(const QByteArray& buffer, uint16_t port,
                                                           const RegisterReader& reader, const ReadGate& gate)
{
    SFrameResult result;
    if (buffer.size() < MBAP_LENGTH)
        return result;
    const SModbusMBAP mbap = readMbap(buffer);
    // Waiting for up to 64 KiB that no client sends would leave every later request unanswered.
    if (mbap.length > MAX_REQUEST_LENGTH) {
        result.status = FRAME_OVERSIZED;
        return result;
    }
    const int frameLength = mbap.length + MBAP_LENGTH;
    if (buffer.size() < frameLength) {
        result.status = FRAME_INCOMPLETE;
        return result;
    }
    result.consumed = frameLength;
    const SModbusTcpPacketHeader header = readPduHeader(buffer, mbap.length);
    const bool isRead = header.functionCode == FUNC_READ_HOLDING || header.functionCode == FUNC_READ_INPUT;
    if (mbap.length < MIN_FRAME_LENGTH || (isRead && mbap.length < MIN_REQUEST_LENGTH)) {
        result.status = FRAME_DROPPED;
        return result;
    }
    result.status = FRAME_FOUND;
    if (header.functionCode == CDeviceIdentification::FUNCTION)
        result.answer = wrapPdu(mbap, header.unitId,
                                CDeviceIdentification::answer(buffer.mid(MBAP_LENGTH + 1, mbap.length - 1)));
    else
        result.answer = answerFor(mbap, header, port, reader, gate);
    return result;
}

CModbusTcpFramer::SModbusMBAP CModbusTcpFramer::readMbap(const QByteArray& buffer)
{
    SModbusMBAP mbap;
    mbap.transactionId = readWord(buffer, 0);
    mbap.protocolId = readWord(buffer, 2);
    mbap.length = readWord(buffer, 4);
    return mbap;
}

// Only the fields the frame's length covers; the rest stay 0.
CModbusTcpFramer::SModbusTcpPacketHeader CModbusTcpFramer::readPduHeader(const QByteArray& buffer, int length)
{
    SModbusTcpPacketHeader header;
    if (length >= 1)
        header.unitId = static_cast<uint8_t>(buffer.at(6));
    if (length >= MIN_FRAME_LENGTH)
        header.functionCode = static_cast<uint8_t>(buffer.at(7));
    if (length >= MIN_REQUEST_LENGTH) {
        header.startAddress = readWord(buffer, 8);
        header.registerCount = readWord(buffer, 10);
    }
    return header;
}

QByteArray CModbusTcpFramer::answerFor(const SModbusMBAP& mbap, const SModbusTcpPacketHeader& header,
                                       uint16_t port, const RegisterReader& reader, const ReadGate& gate)
{
    if (header.functionCode != FUNC_READ_HOLDING && header.functionCode != FUNC_READ_INPUT)
        return buildExceptionAnswer(mbap, header, EXCEPTION_ILLEGAL_FUNCTION);
    // The byte count is one byte: more than 125 words cannot be stated in it.
    if (header.registerCount > MAX_READ_REGISTERS)
        return buildExceptionAnswer(mbap, header, EXCEPTION_ILLEGAL_DATA_VALUE);
    const uint8_t refused =
        gate && header.registerCount > 0 ? gate(port, header.startAddress, header.registerCount) : 0;
    if (refused)
        return buildExceptionAnswer(mbap, header, refused);
    RegisterWords words;
    // A store that cannot be read must never pass for stored zeros.
    if (header.registerCount > 0 && reader && !reader(port, header.startAddress, header.registerCount, words))
        return buildExceptionAnswer(mbap, header, EXCEPTION_SERVER_DEVICE_FAILURE);
    return buildReadAnswer(mbap, header, words);
}

QByteArray CModbusTcpFramer::wrapPdu(const SModbusMBAP& mbap, uint8_t unitId, const QByteArray& pdu)
{
    QByteArray out =
        answerHeader(mbap, unitId, static_cast<uint8_t>(pdu.at(0)), static_cast<uint16_t>(pdu.size()));
    out.append(pdu.mid(1));
    return out;
}

QByteArray CModbusTcpFramer::answerHeader(const SModbusMBAP& mbap, uint8_t unitId, uint8_t functionCode,
                                          uint16_t pduLength)
{
    QByteArray out;
    out.reserve(MBAP_LENGTH + 1 + pduLength); // the whole answer: one allocation
    appendWord(out, mbap.transactionId);
    appendWord(out, mbap.protocolId);
    appendWord(out, static_cast<uint16_t>(pduLength + 1)); // the unit identifier counts too
    out.append(static_cast<char>(unitId));
    out.append(static_cast<char>(functionCode));
    return out;
}

QByteArray CModbusTcpFramer::buildReadAnswer(const SModbusMBAP& mbap, const SModbusTcpPacketHeader& header,
                                             const QMap<uint16_t, uint16_t>& data)
{
    const uint16_t count = qMin(header.registerCount, MAX_READ_REGISTERS);
    return buildReadAnswer(mbap, header, CRegisterImage::wordsOf(data, header.startAddress, count));
}

QByteArray CModbusTcpFramer::buildReadAnswer(const SModbusMBAP& mbap, const SModbusTcpPacketHeader& header,
                                             const RegisterWords& words)
{
    const uint16_t count = qMin(header.registerCount, MAX_READ_REGISTERS);
    QByteArray out =
        answerHeader(mbap, header.unitId, header.functionCode, static_cast<uint16_t>(2 + 2 * count));
    out.append(static_cast<char>(2 * count));
    const int wordsAt = out.size();
    out.resize(wordsAt + 2 * count);
    // Straight into the buffer: a byte-wise append costs more than the read itself.
    char* at = out.data() + wordsAt;
    for (int i = 0; i < count; ++i) {
        const uint16_t word = i < words.size() ? words.at(i) : 0;
        *at++ = static_cast<char>(word >> 8);
        *at++ = static_cast<char>(word & 0xFF);
    }
    return out;
}

QByteArray CModbusTcpFramer::buildExceptionAnswer(const SModbusMBAP& mbap,
                                                  const SModbusTcpPacketHeader& header, uint8_t exceptionCode)
{
    QByteArray out = answerHeader(mbap, header.unitId, header.functionCode | EXCEPTION_BIT, 2);
    out.append(static_cast<char>(exceptionCode));
    return out;
}
