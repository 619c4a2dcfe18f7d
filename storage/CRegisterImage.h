#pragma once

#include <QMap>
#include <QVarLengthArray>
#include <QVector>

// The register words of one stored datum, from its full value read the way
// QByteArray::fromHex reads it (hex digits paired from the end, anything else
// skipped) without building the byte array: this runs for every row of every
// Modbus read.
class CRegisterImage
{
public:
    CRegisterImage(const char* text, int size);

    // Registers taken by a datum of bitSize bits.
    static int span(int bitSize);
    // Writes the words of the datum at regAddr that fall in [first, last].
    static void put(QMap<unsigned short, unsigned short>& words, int regAddr, int bitSize, const char* text,
                    int size, int first, int last);
    // count words from first as a read answers them: address first + i (cut
    // to 16 bits) at i, 0 for an address the map lacks.
    static QVector<unsigned short> wordsOf(const QMap<unsigned short, unsigned short>& map, int first,
                                           int count);

    // Word k: a narrow datum pads a missing byte with 0; a wide one reads 0
    // for a word whose two bytes are not both there.
    unsigned short word(int k, bool wide) const;

private:
    int byteCount() const;
    int byteAt(int i) const;

    QVarLengthArray<unsigned char, 64> digits;
};
