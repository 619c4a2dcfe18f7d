#pragma once

// How a numeric datum is laid out on Modbus: as its integer or as an IEEE-754
// float32 of its scaled value, and in which order its words and bytes go.

#include <QString>
#include <QStringList>

namespace FMT {
// ABCD is the most significant word and byte first, as every datum was served
// before orders could be chosen. CDAB reverses the words, BADC swaps the bytes
// of each word, DCBA does both; a datum of four words orders them alike.
enum EWordOrder
{
    ORDER_ABCD = 0,
    ORDER_CDAB = 1,
    ORDER_BADC = 2,
    ORDER_DCBA = 3,
};

inline const QStringList WordOrderNames = {QStringLiteral("ABCD"), QStringLiteral("CDAB"),
                                           QStringLiteral("BADC"), QStringLiteral("DCBA")};
inline const QString TYPE_FLOAT32 = QStringLiteral("float32");

// Optional keys of a template's packet field: "served_as": "float32" and
// "word_order": one of the names above; without them a field reads as before.
inline const QString JSON_KEY_SERVEDAS = QStringLiteral("served_as");
inline const QString JSON_KEY_WORDORDER = QStringLiteral("word_order");

struct SRegisterFormat
{
    bool asFloat = false;
    int wordOrder = ORDER_ABCD;

    bool isDefault() const { return !asFloat && wordOrder == ORDER_ABCD; }
    bool operator==(const SRegisterFormat& other) const
    {
        return asFloat == other.asFloat && wordOrder == other.wordOrder;
    }
};

// A float32 takes two registers: only a datum of 32 bits or more has them.
bool canServeFloat(int bitSize, const QString& dataType);
// Only numbers of more than one register have an order to choose.
bool hasWordOrder(int bitSize, const QString& dataType);

// Reads an order's name in any case; false for anything else.
bool parseWordOrder(const QString& text, int& order);
QString wordOrderName(int order);

// Hex digits of a datum, most significant first, put into the order four
// digits a register; applied twice it gives the digits back.
QString ordered(const QString& digits, int order);

// Eight hex digits of the float32 nearest to value: beyond the float range it
// saturates as the integer types do, NaN is the quiet NaN 0x7FC00000.
QString floatDigits(double value);
// The float32 in the first eight digits (most significant first).
float floatFromDigits(const QString& digits);

// The stored digits (8 or 16) of a number served in `from`, as it is served in
// `to`: its words reordered, or turned into or out of a float32, an integer
// rounded and held within its width as the decoder holds it.
QString reformatted(const QString& stored, bool isSigned, const SRegisterFormat& from,
                    const SRegisterFormat& to);

// What the order does to one value, e.g. "1234.5 as CDAB: 0x5000 0x449A".
QString workedExample(const SRegisterFormat& format, double value = 1234.5);
} // namespace FMT
