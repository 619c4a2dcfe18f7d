#pragma once

// CRC routines over plain byte buffers, 8, 16 and 32 bits wide, table-driven
// and bitwise. They keep no state of their own; the incremental forms take the
// running value in and hand the new one back.

#include <array>
#include <cstdint>

extern const std::array<uint8_t, 256> Crc8Table;          // poly 0x31, MSB-first
extern const std::array<uint8_t, 256> Crc8ReflectedTable; // poly 0x8C, LSB-first
extern const std::array<uint16_t, 256> Crc16Table;        // poly 0x1021, MSB-first
extern const std::array<uint32_t, 256> Crc32Table;        // poly 0xEDB88320, LSB-first
// The byte tables of the Modbus serial-line CRC, high and low halves.
extern const std::array<uint8_t, 256> auchCRCHi;
extern const std::array<uint8_t, 256> auchCRCLo;

// CRC-8/NRSC-5: init 0xFF, not reflected; empty input gives 0xFF.
uint8_t crc8_fast(const uint8_t* data, uint8_t length);
// CRC-8/MAXIM-DOW: init 0x00, reflected; empty input gives 0x00.
uint8_t crc8_reflected_fast(const uint8_t* data, uint8_t length);

// CRC-16/IBM-3740: poly 0x1021, init 0xFFFF, no final XOR.
uint16_t crc16_fast(const uint8_t* data, uint16_t length);
uint16_t crc16_slow(const uint8_t* data, uint16_t length);
uint16_t crc16_slow_init();
uint16_t crc16_slow_calc(uint16_t crc, const uint8_t* data, uint16_t length);
uint16_t crc16_slow_finish(uint16_t crc);
uint16_t crc16_slow_full(const uint8_t* data, uint16_t length);

// CRC-16/MODBUS with its two bytes swapped (check input: 0x374B, catalogue
// 0x4B37), as the serial-line byte tables produce it. Defined for 1 to 256
// bytes: longer input gives 0, empty input the initial value 0xFFFF.
uint16_t crc16_modbus(const uint8_t* data, uint16_t length);
// The same table algorithm without the length cap, for frames longer than 256 bytes.
uint16_t crc16_modbus_unbounded(const uint8_t* data, uint32_t length);

// CRC-32/ISO-HDLC: reflected, init and final XOR 0xFFFFFFFF; empty input gives 0.
uint32_t crc32_fast_full(const uint8_t* data, uint32_t length);
uint32_t crc32_fast_init();
uint32_t crc32_fast_update(uint32_t crc, const uint8_t* data, uint32_t length);
uint32_t crc32_fast_finish(uint32_t crc);

// The same CRC-32 bit by bit, shifting MSB-first through the unreflected polynomial.
uint32_t crc32_slow_init();
uint32_t crc32_slow_update(uint32_t crc, const uint8_t* data, uint32_t length);
uint32_t crc32_slow_finish(uint32_t crc);
uint32_t crc32_slow_full(const uint8_t* data, uint32_t length);

// Reverses the order of the 32 bits of a word.
uint32_t reverse(uint32_t value);
