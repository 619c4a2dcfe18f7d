#include "storage/CPortRegisterImage.h"

#include "storage/CRegisterImage.h"

void CPortRegisterImage::appendRow(unsigned int deviceId, int regAddr, int bitSize,
                                   const QByteArray& fullValue)
{
    rowsByKey[rowKey(deviceId, regAddr)].append(rows.size());
    devices.insert(deviceId);
    rows.append(SRow{regAddr, bitSize});
    pendingValues.append(fullValue);
}

bool CPortRegisterImage::finish()
{
    qint64 low = rows.isEmpty() ? 0 : rows.first().regAddr;
    qint64 high = low - 1;
    for (const SRow& row : qAsConst(rows)) {
        low = qMin(low, qint64(row.regAddr));
        high = qMax(high, qint64(row.regAddr) + CRegisterImage::span(row.bitSize) - 1);
    }
    usable = high - low < MAX_EXTENT;
    if (!usable) {
        pendingValues.clear();
        return false;
    }
    base = low;
    words.fill(0, int(high - low + 1));
    changedAt.fill(0, int(high - low + 1));
    owner.fill(-1, int(high - low + 1));
    for (int i = 0; i < rows.size(); ++i) {
        const int registers = CRegisterImage::span(rows.at(i).bitSize);
        for (int k = 0; k < registers; ++k)
            owner[int(rows.at(i).regAddr - base + k)] = i;
    }
    for (int i = 0; i < rows.size(); ++i)
        writeRow(i, pendingValues.at(i));
    pendingValues.clear();
    return true;
}

void CPortRegisterImage::patch(unsigned int deviceId, int regAddr, const QString& fullValue)
{
    const auto found = rowsByKey.constFind(rowKey(deviceId, regAddr));
    if (found == rowsByKey.constEnd() || !usable)
        return;
    // Stored text is UTF-8; hex digits are ASCII, so the bytes decode as the column does.
    const QByteArray bytes = fullValue.toUtf8();
    for (const int row : found.value())
        writeRow(row, bytes);
}

QMap<unsigned short, unsigned short> CPortRegisterImage::read(int firstRegister, int count)
{
    if (count > 0x10000)
        return buildRead(firstRegister, count);
    const quint64 key = quint64(quint32(firstRegister)) << 32 | quint32(count);
    const auto found = recentReads.constFind(key);
    if (found != recentReads.constEnd() && unchangedSince(firstRegister, count, found.value().builtAt))
        return found.value().words;
    if (found == recentReads.constEnd()) {
        if (cachedWords + count > MAX_CACHED_WORDS) {
            recentReads.clear();
            cachedWords = 0;
        }
        cachedWords += count;
    }
    SCachedRead& cached = recentReads[key];
    cached.words = buildRead(firstRegister, count);
    cached.builtAt = changes;
    return cached.words;
}

QMap<unsigned short, unsigned short> CPortRegisterImage::buildRead(int firstRegister, int count) const
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

// Addresses outside the image never change while it lives.
bool CPortRegisterImage::unchangedSince(int firstRegister, int count, quint64 stamp) const
{
    const qint64 from = qMax(qint64(firstRegister) - base, qint64(0));
    const qint64 to = qMin(qint64(firstRegister) + count - base, qint64(changedAt.size()));
    for (qint64 i = from; i < to; ++i) {
        if (changedAt.at(int(i)) > stamp)
            return false;
    }
    return true;
}

quint64 CPortRegisterImage::rowKey(unsigned int deviceId, int regAddr)
{
    return quint64(deviceId) << 32 | quint32(regAddr);
}

void CPortRegisterImage::writeRow(int row, const QByteArray& fullValue)
{
    const SRow& datum = rows.at(row);
    const CRegisterImage image(fullValue.constData(), fullValue.size());
    const int registers = CRegisterImage::span(datum.bitSize);
    for (int k = 0; k < registers; ++k) {
        const int index = int(datum.regAddr - base + k);
        if (owner.at(index) != row)
            continue;
        const unsigned short word = image.word(k, datum.bitSize > 16);
        if (words.at(index) != word) {
            words[index] = word;
            changedAt[index] = ++changes;
        }
    }
}

bool CPortRegisterImage::wordAt(qint64 address, unsigned short& word) const
{
    const qint64 index = address - base;
    if (index < 0 || index >= owner.size() || owner.at(int(index)) < 0)
        return false;
    word = words.at(int(index));
    return true;
}
