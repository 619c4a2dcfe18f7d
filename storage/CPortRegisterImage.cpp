#include "storage/CPortRegisterImage.h"

#include <algorithm>
#include <limits>

#include "storage/CRegisterImage.h"

void CPortRegisterImage::appendRow(unsigned int deviceId, int regAddr, int bitSize,
                                   const QByteArray& fullValue)
{
    layout->rowsByKey[rowKey(deviceId, regAddr)].append(layout->rows.size());
    layout->devices.insert(deviceId);
    layout->rows.append(SRow{regAddr, bitSize});
    values.append(fullValue);
}

bool CPortRegisterImage::finish()
{
    SLayout& l = *layout;
    qint64 low = l.rows.isEmpty() ? 0 : l.rows.first().regAddr;
    qint64 high = low - 1;
    for (const SRow& row : qAsConst(l.rows)) {
        low = qMin(low, qint64(row.regAddr));
        high = qMax(high, qint64(row.regAddr) + CRegisterImage::span(row.bitSize) - 1);
        l.widestSpan = qMax(l.widestSpan, qint64(CRegisterImage::span(row.bitSize)));
    }
    l.dense = high - low < MAX_EXTENT;
    if (!l.dense)
        return false;
    l.base = low;
    words.fill(0, int(high - low + 1));
    l.owner.fill(-1, int(high - low + 1));
    for (int i = 0; i < l.rows.size(); ++i) {
        const int registers = CRegisterImage::span(l.rows.at(i).bitSize);
        for (int k = 0; k < registers; ++k)
            l.owner[int(l.rows.at(i).regAddr - l.base + k)] = i;
    }
    for (int i = 0; i < l.rows.size(); ++i)
        writeRow(i, values.at(i));
    values.clear();
    return true;
}

void CPortRegisterImage::patch(unsigned int deviceId, int regAddr, const QString& fullValue)
{
    const auto found = layout->rowsByKey.constFind(rowKey(deviceId, regAddr));
    if (found == layout->rowsByKey.constEnd())
        return;
    // Stored text is UTF-8; hex digits are ASCII, so the bytes decode as the column does.
    const QByteArray bytes = fullValue.toUtf8();
    for (const int row : found.value())
        writeRow(row, bytes);
}

QMap<unsigned short, unsigned short> CPortRegisterImage::read(int firstRegister, int count) const
{
    if (count <= 0)
        return {};
    return layout->dense ? readDense(firstRegister, count) : readRows(firstRegister, count);
}

QVector<unsigned short> CPortRegisterImage::readWords(int firstRegister, int count) const
{
    if (!layout->dense)
        return CRegisterImage::wordsOf(readRows(firstRegister, count), firstRegister, count);
    // No row writes an address it does not own, so a plain copy of the overlap is the read.
    QVector<unsigned short> result(qMax(count, 0), 0);
    const qint64 from = qMax<qint64>(firstRegister, layout->base);
    const qint64 to = qMin<qint64>(qint64(firstRegister) + result.size(), layout->base + words.size());
    if (from < to)
        std::copy(words.cbegin() + (from - layout->base), words.cbegin() + (to - layout->base),
                  result.begin() + (from - firstRegister));
    return result;
}

QMap<unsigned short, unsigned short> CPortRegisterImage::readDense(int firstRegister, int count) const
{
    QMap<unsigned short, unsigned short> result;
    unsigned short word = 0;
    if (count <= 0x10000) {
        // Highest address first, each placed before the smallest key so far:
        // the cheapest way into a QMap. A range that wraps past 0xffff breaks
        // the order and falls back to a plain insert for its low keys.
        for (int i = count - 1; i >= 0; --i) {
            const qint64 address = qint64(firstRegister) + i;
            word = 0;
            wordAt(address, word);
            result.insert(result.constBegin(), static_cast<unsigned short>(address), word);
        }
        return result;
    }
    // The keys repeat: a later address replaces an earlier one only where a row covers it.
    for (int i = 0; i < 0x10000; ++i)
        result.insert(result.constEnd(), static_cast<unsigned short>(firstRegister + i), 0);
    for (int i = 0; i < count; ++i) {
        const qint64 address = qint64(firstRegister) + i;
        if (wordAt(address, word))
            result[static_cast<unsigned short>(address)] = word;
    }
    return result;
}

// The rows whose words may fall in the range, decoded in read order: a datum
// that starts below the range shows in it as far as the widest datum reaches.
QMap<unsigned short, unsigned short> CPortRegisterImage::readRows(int firstRegister, int count) const
{
    QMap<unsigned short, unsigned short> result;
    const qint64 last = qint64(firstRegister) + count - 1;
    for (int i = 0; i < count; ++i)
        result.insert(result.constEnd(), static_cast<unsigned short>(firstRegister + i), 0);
    const qint64 low = qint64(firstRegister) - layout->widestSpan + 1;
    const auto begin =
        std::lower_bound(layout->rows.cbegin(), layout->rows.cend(), low,
                         [](const SRow& row, qint64 address) { return row.regAddr < address; });
    for (auto it = begin; it != layout->rows.cend() && it->regAddr <= last; ++it) {
        const QByteArray& value = values.at(int(it - layout->rows.cbegin()));
        CRegisterImage::put(result, it->regAddr, it->bitSize, value.constData(), value.size(), firstRegister,
                            int(qMin(last, qint64(std::numeric_limits<int>::max()))));
    }
    return result;
}

quint64 CPortRegisterImage::rowKey(unsigned int deviceId, int regAddr)
{
    return quint64(deviceId) << 32 | quint32(regAddr);
}

void CPortRegisterImage::writeRow(int row, const QByteArray& fullValue)
{
    if (!layout->dense) {
        values[row] = fullValue;
        return;
    }
    const SRow& datum = layout->rows.at(row);
    const CRegisterImage image(fullValue.constData(), fullValue.size());
    const int registers = CRegisterImage::span(datum.bitSize);
    for (int k = 0; k < registers; ++k) {
        const int index = int(datum.regAddr - layout->base + k);
        if (layout->owner.at(index) == row)
            words[index] = image.word(k, datum.bitSize > 16);
    }
}

bool CPortRegisterImage::wordAt(qint64 address, unsigned short& word) const
{
    const qint64 index = address - layout->base;
    if (index < 0 || index >= layout->owner.size() || layout->owner.at(int(index)) < 0)
        return false;
    word = words.at(int(index));
    return true;
}
