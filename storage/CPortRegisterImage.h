#pragma once

#include <memory>

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVector>

// The register words of one port exactly as a range read of its rows yields
// them, kept in memory so that a Modbus read runs no query. Rows come in read
// order (ascending address, then insertion order); at every address the last
// row covering it wins. A published image is never changed: a save patches a
// copy, which shares the row layout (only registrations and deletions change
// it, and they build a new image from the rows) and copies only the words.
class CPortRegisterImage
{
public:
    // Addresses a dense image may span; a port spread wider keeps each row's
    // full value and decodes the rows a read covers, as the SQL read does.
    static constexpr int MAX_EXTENT = 1 << 17;

    // Takes the next row in read order with its full value as stored (NULL: no bytes).
    void appendRow(unsigned int deviceId, int regAddr, int bitSize, const QByteArray& fullValue);
    // Lays out the words of the appended rows, none may be appended after it;
    // false when they spread too far for a dense image.
    bool finish();

    bool isDense() const { return layout->dense; }
    bool holdsDevice(unsigned int deviceId) const { return layout->devices.contains(deviceId); }
    // A save rewrote the full value of the device's rows at regAddr.
    void patch(unsigned int deviceId, int regAddr, const QString& fullValue);
    // count words from firstRegister, keys cut to 16 bits as the SQL read cuts them.
    QMap<unsigned short, unsigned short> read(int firstRegister, int count) const;
    // The same words in address order, word i at firstRegister + i: what a Modbus read answers.
    QVector<unsigned short> readWords(int firstRegister, int count) const;

private:
    struct SRow
    {
        int regAddr = 0;
        int bitSize = 0;
    };

    // What only registrations and deletions change, shared by every version of the image.
    struct SLayout
    {
        QVector<SRow> rows;
        QHash<quint64, QVector<int>> rowsByKey; // (device, address) -> rows, as a save's UPDATE finds them
        QSet<unsigned int> devices;
        bool dense = true;
        qint64 base = 0;    // address of the first word
        QVector<int> owner; // row that wins each address, -1 where none does
        qint64 widestSpan = 1;
    };

    static quint64 rowKey(unsigned int deviceId, int regAddr);
    void writeRow(int row, const QByteArray& fullValue);
    bool wordAt(qint64 address, unsigned short& word) const;
    QMap<unsigned short, unsigned short> readDense(int firstRegister, int count) const;
    QMap<unsigned short, unsigned short> readRows(int firstRegister, int count) const;

    std::shared_ptr<SLayout> layout = std::make_shared<SLayout>();
    QVector<QByteArray> values; // full value of each row; kept by wide images only
    QVector<quint16> words;     // word of each address of a dense image
};
