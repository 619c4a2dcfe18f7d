#include "storage/CRegisterImage.h"

namespace {
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

CRegisterImage::CRegisterImage(const char* text, int size)
{
    for (int i = 0; i < size; ++i) {
        const int value = hexValue(text[i]);
        if (value >= 0)
            digits.append(static_cast<unsigned char>(value));
    }
}

int CRegisterImage::span(int bitSize)
{
    return bitSize > 16 ? (bitSize - 1) / 16 + 1 : 1;
}

void CRegisterImage::put(QMap<unsigned short, unsigned short>& words, int regAddr, int bitSize,
                         const char* text, int size, int first, int last)
{
    // Only the words inside the range are visited: a template may declare a
    // datum billions of bits wide, and this runs for every row of every read.
    const qint64 from = qMax(qint64(0), qint64(first) - regAddr);
    const qint64 to = qMin(qint64(span(bitSize)) - 1, qint64(last) - regAddr);
    if (from > to)
        return;
    const CRegisterImage image(text, size);
    for (qint64 k = from; k <= to; ++k)
        words[static_cast<unsigned short>(regAddr + k)] = image.word(int(k), bitSize > 16);
}

QVector<unsigned short> CRegisterImage::wordsOf(const QMap<unsigned short, unsigned short>& map, int first,
                                                int count)
{
    QVector<unsigned short> words(qMax(count, 0), 0);
    for (int i = 0; i < words.size(); ++i)
        words[i] = map.value(static_cast<unsigned short>(first + i));
    return words;
}

unsigned short CRegisterImage::word(int k, bool wide) const
{
    if (wide && byteCount() < 2 * k + 2)
        return 0;
    return static_cast<unsigned short>(qMax(byteAt(2 * k), 0) * 256 + qMax(byteAt(2 * k + 1), 0));
}

int CRegisterImage::byteCount() const
{
    return (digits.size() + 1) / 2;
}

// Pairing from the end leaves the first digit alone when their number is odd.
int CRegisterImage::byteAt(int i) const
{
    if (i >= byteCount())
        return -1;
    const int odd = digits.size() % 2;
    if (odd && i == 0)
        return digits.at(0);
    const int high = 2 * i - odd;
    return digits.at(high) * 16 + digits.at(high + 1);
}
