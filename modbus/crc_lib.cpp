#include "modbus/crc_lib.h"

namespace {
constexpr std::array<uint8_t, 256> makeCrc8Table(uint8_t poly)
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80) ? static_cast<uint8_t>((crc << 1) ^ poly) : static_cast<uint8_t>(crc << 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint8_t, 256> makeCrc8ReflectedTable(uint8_t poly)
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x01) ? static_cast<uint8_t>((crc >> 1) ^ poly) : static_cast<uint8_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> makeCrc16Table(uint16_t poly)
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ poly) : static_cast<uint16_t>(crc << 1);
        table[i] = crc;
    }
    return table;
}

// Reflected tables: 0xA001 gives the Modbus CRC-16, 0xEDB88320 the CRC-32.
template <typename T> constexpr std::array<T, 256> makeReflectedTable(T poly)
{
    std::array<T, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        T crc = static_cast<T>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<T>((crc >> 1) ^ poly) : static_cast<T>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> ModbusTable = makeReflectedTable<uint16_t>(0xA001);

// The Modbus byte tables split the reflected table: the register the serial-line
// code calls "Hi" holds the low byte of the reflected CRC, hence the swap.
constexpr std::array<uint8_t, 256> makeModbusHalf(bool high)
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i)
        table[i] =
            high ? static_cast<uint8_t>(ModbusTable[i] & 0xFF) : static_cast<uint8_t>(ModbusTable[i] >> 8);
    return table;
}

constexpr uint16_t CRC16_INIT = 0xFFFF;
constexpr uint32_t CRC32_INIT = 0xFFFFFFFF;
constexpr uint32_t CRC32_POLY = 0x04C11DB7;
constexpr uint16_t CRC16_MODBUS_MAX_LENGTH = 256;
} // namespace

const std::array<uint8_t, 256> Crc8Table = makeCrc8Table(0x31);
const std::array<uint8_t, 256> Crc8ReflectedTable = makeCrc8ReflectedTable(0x8C);
const std::array<uint16_t, 256> Crc16Table = makeCrc16Table(0x1021);
const std::array<uint32_t, 256> Crc32Table = makeReflectedTable<uint32_t>(0xEDB88320u);
const std::array<uint8_t, 256> auchCRCHi = makeModbusHalf(true);
const std::array<uint8_t, 256> auchCRCLo = makeModbusHalf(false);

uint8_t crc8_fast(const uint8_t* data, uint8_t length)
{
    uint8_t crc = 0xFF;
    for (unsigned i = 0; i < length; ++i)
        crc = Crc8Table[crc ^ data[i]];
    return crc;
}

uint8_t crc8_reflected_fast(const uint8_t* data, uint8_t length)
{
    uint8_t crc = 0x00;
    for (unsigned i = 0; i < length; ++i)
        crc = Crc8ReflectedTable[crc ^ data[i]];
    return crc;
}

uint16_t crc16_fast(const uint8_t* data, uint16_t length)
{
    uint16_t crc = CRC16_INIT;
    for (unsigned i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ Crc16Table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

uint16_t crc16_slow(const uint8_t* data, uint16_t length)
{
    return crc16_slow_full(data, length);
}

uint16_t crc16_slow_init()
{
    return CRC16_INIT;
}

uint16_t crc16_slow_calc(uint16_t crc, const uint8_t* data, uint16_t length)
{
    for (unsigned i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc =
                (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

uint16_t crc16_slow_finish(uint16_t crc)
{
    return crc;
}

uint16_t crc16_slow_full(const uint8_t* data, uint16_t length)
{
    return crc16_slow_finish(crc16_slow_calc(crc16_slow_init(), data, length));
}

uint16_t crc16_modbus(const uint8_t* data, uint16_t length)
{
    if (length > CRC16_MODBUS_MAX_LENGTH)
        return 0;
    return crc16_modbus_unbounded(data, length);
}

uint16_t crc16_modbus_unbounded(const uint8_t* data, uint32_t length)
{
    uint8_t crcHi = 0xFF;
    uint8_t crcLo = 0xFF;
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t index = crcHi ^ data[i];
        crcHi = crcLo ^ auchCRCHi[index];
        crcLo = auchCRCLo[index];
    }
    return static_cast<uint16_t>(crcHi << 8 | crcLo);
}

uint32_t crc32_fast_init()
{
    return CRC32_INIT;
}

uint32_t crc32_fast_update(uint32_t crc, const uint8_t* data, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i)
        crc = (crc >> 8) ^ Crc32Table[(crc ^ data[i]) & 0xFF];
    return crc;
}

uint32_t crc32_fast_finish(uint32_t crc)
{
    return ~crc;
}

uint32_t crc32_fast_full(const uint8_t* data, uint32_t length)
{
    return crc32_fast_finish(crc32_fast_update(crc32_fast_init(), data, length));
}

uint32_t crc32_slow_init()
{
    return CRC32_INIT;
}

uint32_t crc32_slow_update(uint32_t crc, const uint8_t* data, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= reverse(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ CRC32_POLY : crc << 1;
    }
    return crc;
}

uint32_t crc32_slow_finish(uint32_t crc)
{
    return reverse(~crc);
}

uint32_t crc32_slow_full(const uint8_t* data, uint32_t length)
{
    return crc32_slow_finish(crc32_slow_update(crc32_slow_init(), data, length));
}

uint32_t reverse(uint32_t value)
{
    uint32_t result = 0;
    for (int bit = 0; bit < 32; ++bit) {
        result = (result << 1) | (value & 1);
        value >>= 1;
    }
    return result;
}
