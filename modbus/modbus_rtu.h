#pragma once

// Builders and parsers of a Modbus-RTU-style serial frame:
//   address(1) function(1) regAddr(2) regCount(2) n(1) data(n) crc(2)
// The 16-bit fields and the CRC word are stored in host byte order; the CRC
// word is crc16_modbus over everything before it. The answer frame is
//   address(1) function|0x80(1) code(1) crc(2).
// The routines use static storage (the receive buffer) and are not reentrant.

#include <cstdint>

constexpr uint8_t MODBUS_RTU_RX_BUFFER_SIZE = 128;
constexpr uint8_t MODBUS_RTU_ANSWER_LENGTH = 5;
constexpr uint8_t MODBUS_RTU_FRAME_OVERHEAD = 9;

// Every parse overwrites it; a parsed request's data points here.
extern uint8_t modbus_rtu_rx_buffer[MODBUS_RTU_RX_BUFFER_SIZE];

enum EModbusRtuResult : uint8_t
{
    MODBUS_RTU_OK = 0,
    MODBUS_RTU_WRONG_LENGTH = 1,   // frame shorter than its fixed part
    MODBUS_RTU_NO_FRAME = 2,       // frame pointer is null
    MODBUS_RTU_NO_RESULT = 3,      // result pointer is null
    MODBUS_RTU_COUNT_MISMATCH = 4, // data byte count does not match the frame length
    MODBUS_RTU_CRC_MISMATCH = 5,   // received CRC differs from the computed one
    MODBUS_RTU_DATA_TOO_LONG = 6,  // data byte count above the receive buffer's 128 bytes
};

#pragma pack(push, 1)
struct SModbusRtuRequest
{
    uint8_t address;
    uint8_t function;
    uint16_t regAddr;
    uint16_t regCount;
    uint8_t dataCount;
    uint8_t* data;
    uint16_t crc;
};

struct SModbusRtuAnswer
{
    uint8_t address;
    uint8_t function;
    uint8_t code;
    uint16_t crc;
};
#pragma pack(pop)

// Write a frame of n + 9 bytes into out and return its length; 0 when data or out is null.
uint16_t ModbusRtuRequestCreate(uint8_t address, uint8_t function, uint16_t regAddr, const uint8_t* data,
                                uint8_t n, uint16_t regCount, uint8_t* out);
// As above with bit 0x80 set in the function code.
uint16_t ModbusRtuResponseCreate(uint8_t address, uint8_t function, uint16_t regAddr, const uint8_t* data,
                                 uint8_t n, uint16_t regCount, uint8_t* out);
// Write the 5-byte answer frame (function with bit 0x80 set) and return 5; 0 when out is null.
uint8_t ModbusRtuAnswerCreate(uint8_t address, uint8_t function, uint8_t code, uint8_t* out);

EModbusRtuResult ModbusRtuRequestPars(const uint8_t* frame, uint16_t length, SModbusRtuRequest* result);
EModbusRtuResult ModbusRtuResponsePars(const uint8_t* frame, uint16_t length, SModbusRtuRequest* result);
EModbusRtuResult ModbusRtuAnswerPars(const uint8_t* frame, uint16_t length, SModbusRtuAnswer* result);
