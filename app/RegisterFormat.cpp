#include "app/RegisterFormat.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "app/global.h"

namespace FMT {
namespace {
QString heldInteger(double value, int digitCount, bool isSigned)
{
    const int bits = 4 * digitCount;
    const quint64 mask = bits >= 64 ? ~quint64(0) : (quint64(1) << bits) - 1;
    const double rounded = std::round(value);
    const double lo = isSigned ? -std::ldexp(1.0, bits - 1) : 0.0;
    const double hi = std::ldexp(1.0, isSigned ? bits - 1 : bits);
    quint64 image = 0;
    if (std::isnan(rounded) || rounded < lo)
        image = isSigned ? quint64(qint64(lo)) : 0;
    else if (rounded >= hi)
        image = isSigned ? mask >> 1 : mask;
    else
        image = isSigned ? quint64(qint64(rounded)) : quint64(rounded);
    return QString::number(image & mask, 16).rightJustified(digitCount, QLatin1Char('0'));
}

double integerValue(const QString& digits, bool isSigned)
{
    const quint64 bits = digits.toULongLong(nullptr, 16);
    if (!isSigned)
        return double(bits);
    return digits.size() > 8 ? double(qint64(bits)) : double(qint32(quint32(bits)));
}
} // namespace

bool canServeFloat(int bitSize, const QString& dataType)
{
    return bitSize >= 32 &&
           (dataType == REGS::REGS_JSON_KEY_TYPE_INT || dataType == REGS::REGS_JSON_KEY_TYPE_UINT);
}

bool hasWordOrder(int bitSize, const QString& dataType)
{
    return canServeFloat(bitSize, dataType);
}

bool parseWordOrder(const QString& text, int& order)
{
    const int found = WordOrderNames.indexOf(text.trimmed().toUpper());
    if (found < 0)
        return false;
    order = found;
    return true;
}

QString wordOrderName(int order)
{
    return WordOrderNames.value(order, WordOrderNames.first());
}

QString ordered(const QString& digits, int order)
{
    const bool reverseWords = order == ORDER_CDAB || order == ORDER_DCBA;
    const bool swapBytes = order == ORDER_BADC || order == ORDER_DCBA;
    const int words = digits.size() / 4;
    QString result;
    result.reserve(digits.size());
    for (int i = 0; i < words; ++i) {
        const QString word = digits.mid(4 * (reverseWords ? words - 1 - i : i), 4);
        result += swapBytes ? word.mid(2, 2) + word.left(2) : word;
    }
    return result + digits.mid(4 * words);
}

QString floatDigits(double value)
{
    const double maxFloat = std::numeric_limits<float>::max();
    const float f = std::isnan(value) ? std::numeric_limits<float>::quiet_NaN()
                                      : float(std::max(-maxFloat, std::min(maxFloat, value)));
    quint32 bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    if (std::isnan(f))
        bits = 0x7FC00000u;
    return QString::number(bits, 16).rightJustified(8, QLatin1Char('0'));
}

float floatFromDigits(const QString& digits)
{
    const quint32 bits = digits.left(8).toUInt(nullptr, 16);
    float f = 0.0f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

QString reformatted(const QString& stored, bool isSigned, const SRegisterFormat& from,
                    const SRegisterFormat& to)
{
    if (from == to || stored.size() < 8)
        return stored;
    if (!from.asFloat && !to.asFloat)
        return ordered(ordered(stored, from.wordOrder), to.wordOrder);
    const double value = from.asFloat ? double(floatFromDigits(ordered(stored.left(8), from.wordOrder)))
                                      : integerValue(ordered(stored, from.wordOrder), isSigned);
    if (to.asFloat)
        return ordered(floatDigits(value), to.wordOrder).leftJustified(stored.size(), QLatin1Char('0'));
    return ordered(heldInteger(value, stored.size(), isSigned), to.wordOrder);
}

QString workedExample(const SRegisterFormat& format, double value)
{
    const QString digits = ordered(
        format.asFloat ? floatDigits(value)
                       : QString::number(qint64(value) & 0xFFFFFFFF, 16).rightJustified(8, QLatin1Char('0')),
        format.wordOrder);
    return QStringLiteral("%1 as %2: 0x%3 0x%4")
        .arg(QString::number(format.asFloat ? value : double(qint64(value))), wordOrderName(format.wordOrder),
             digits.left(4).toUpper(), digits.mid(4, 4).toUpper());
}
} // namespace FMT
