#include "modbus/modbus_rtu.h"

#include <cstring>

#include "modbus/crc_lib.h"

uint8_t modbus_rtu_rx_buffer[MODBUS_RTU_RX_BUFFER_SIZE];

namespace {
constexpr uint8_t HEADER_LENGTH = 7;
constexpr uint8_t EXCEPTION_BIT = 0x80;

// A frame of 250 data bytes or more is longer than crc16_modbus accepts, yet
// still needs a real CRC.
uint16_t frameCrc(const uint8_t* data, uint16_t length)
{
    return crc16_modbus_unbounded(data, length);
}

uint16_t createFrame(uint8_t address, uint8_t function, uint16_t regAddr, const uint8_t* data, uint8_t n,
                     uint16_t regCount, uint8_t* out)
{
    if (!data || !out)
        return 0;
    out[0] = address;
    out[1] = function;
    std::memcpy(out + 2, &regAddr, sizeof(regAddr));
    std::memcpy(out + 4, &regCount, sizeof(regCount));
    out[6] = n;
    std::memcpy(out + HEADER_LENGTH, data, n);
    const uint16_t crc = frameCrc(out, static_cast<uint16_t>(HEADER_LENGTH + n));
    std::memcpy(out + HEADER_LENGTH + n, &crc, sizeof(crc));
    return static_cast<uint16_t>(n + MODBUS_RTU_FRAME_OVERHEAD);
}
} // namespace

uint16_t ModbusRtuRequestCreate(uint8_t address, uint8_t function, uint16_t regAddr, const uint8_t* data,
                                uint8_t n, uint16_t regCount, uint8_t* out)
{
    return createFrame(address, function, regAddr, data, n, regCount, out);
}

uint16_t ModbusRtuResponseCreate(uint8_t address, uint8_t function, uint16_t regAddr, const uint8_t* data,
                                 uint8_t n, uint16_t regCount, uint8_t* out)
{
    return createFrame(address, function | EXCEPTION_BIT, regAddr, data, n, regCount, out);
}

uint8_t ModbusRtuAnswerCreate(uint8_t address, uint8_t function, uint8_t code, uint8_t* out)
{
    if (!out)
        return 0;
    out[0] = address;
    out[1] = function | EXCEPTION_BIT;
    out[2] = code;
    const uint16_t crc = crc16_modbus(out, 3);
    std::memcpy(out + 3, &crc, sizeof(crc));
    return MODBUS_RTU_ANSWER_LENGTH;
}

EModbusRtuResult ModbusRtuRequestPars(const uint8_t* frame, uint16_t length, SModbusRtuRequest* result)
{
    if (!frame)
        return MODBUS_RTU_NO_FRAME;
    if (!result)
        return MODBUS_RTU_NO_RESULT;
    if (length < MODBUS_RTU_FRAME_OVERHEAD)
        return MODBUS_RTU_WRONG_LENGTH;
    result->address = frame[0];
    result->function = frame[1];
    std::memcpy(&result->regAddr, frame + 2, sizeof(result->regAddr));
    std::memcpy(&result->regCount, frame + 4, sizeof(result->regCount));
    result->dataCount = frame[6];
    std::memcpy(&result->crc, frame + length - 2, sizeof(result->crc));
    result->data = nullptr;
    // Both checks come before the copy: the count must fit the frame and the buffer.
    const uint8_t n = frame[6];
    if (n != length - MODBUS_RTU_FRAME_OVERHEAD)
        return MODBUS_RTU_COUNT_MISMATCH;
    if (n > MODBUS_RTU_RX_BUFFER_SIZE)
        return MODBUS_RTU_DATA_TOO_LONG;
    std::memcpy(modbus_rtu_rx_buffer, frame + HEADER_LENGTH, n);
    result->data = modbus_rtu_rx_buffer;
    if (frameCrc(frame, static_cast<uint16_t>(HEADER_LENGTH + n)) != result->crc)
        return MODBUS_RTU_CRC_MISMATCH;
    return MODBUS_RTU_OK;
}

EModbusRtuResult ModbusRtuResponsePars(const uint8_t* frame, uint16_t length, SModbusRtuRequest* result)
{
    return ModbusRtuRequestPars(frame, length, result);
}

EModbusRtuResult ModbusRtuAnswerPars(const uint8_t* frame, uint16_t length, SModbusRtuAnswer* result)
{
    if (!frame)
        return MODBUS_RTU_NO_FRAME;
    if (!result)
        return MODBUS_RTU_NO_RESULT;
    if (length != MODBUS_RTU_ANSWER_LENGTH)
        return MODBUS_RTU_WRONG_LENGTH;
    result->address = frame[0];
    result->function = frame[1];
    result->code = frame[2];
    std::memcpy(&result->crc, frame + 3, sizeof(result->crc));
    if (crc16_modbus(frame, 3) != result->crc)
        return MODBUS_RTU_CRC_MISMATCH;
    return MODBUS_RTU_OK;
}
