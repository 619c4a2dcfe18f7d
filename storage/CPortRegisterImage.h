#pragma once

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QVector>

// The register words of one port exactly as a range read of its rows yields
// them, kept in memory so that a Modbus read runs no query. Rows come in read
// order (ascending address, then insertion order); at every address the last
// row covering it wins. Which row wins changes only with registrations and
// deletions, which drop the image, so a save patches the words in place.
class CPortRegisterImage
{
public:
    // Addresses a dense image may span; a port spread wider is read from SQL.
    static constexpr int MAX_EXTENT = 1 << 17;
    // Words kept in recent answers; beyond it they are all forgotten.
    static constexpr int MAX_CACHED_WORDS = 1 << 16;

    // Takes the next row in read order with its full value as stored (NULL: no bytes).
    void appendRow(unsigned int deviceId, int regAddr, int bitSize, const QByteArray& fullValue);
    // Lays out the words of the appended rows; false if they spread too far.
    bool finish();

    bool isUsable() const { return usable; }
    bool holdsDevice(unsigned int deviceId) const { return devices.contains(deviceId); }

    // A save rewrote the full value of the device's rows at regAddr.
    void patch(unsigned int deviceId, int regAddr, const QString& fullValue);
    // count words from firstRegister, keys cut to 16 bits as the SQL read cuts them.
    QMap<unsigned short, unsigned short> read(int firstRegister, int count);

private:
    struct SRow
    {
        int regAddr = 0;
        int bitSize = 0;
    };

    struct SCachedRead
    {
        QMap<unsigned short, unsigned short> words;
        quint64 builtAt = 0; // value of changes when it was built
    };

    static quint64 rowKey(unsigned int deviceId, int regAddr);
    void writeRow(int row, const QByteArray& fullValue);
    // The word at an address; false where no row covers it.
    bool wordAt(qint64 address, unsigned short& word) const;
    QMap<unsigned short, unsigned short> buildRead(int firstRegister, int count) const;
    bool unchangedSince(int firstRegister, int count, quint64 stamp) const;

    QVector<SRow> rows;
    QVector<QByteArray> pendingValues;      // full values until finish lays them out
    QHash<quint64, QVector<int>> rowsByKey; // (device, address) -> rows, as a save's UPDATE finds them
    QSet<unsigned int> devices;
    qint64 base = 0; // address of words[0]
    QVector<quint16> words;
    QVector<int> owner; // row that wins each address, -1 where none does
    bool usable = false;
    // Polling clients ask for the same blocks again and again: an answer kept
    // is handed out as a shared copy, without building a QMap node by node.
    QHash<quint64, SCachedRead> recentReads; // by (first register, count)
    int cachedWords = 0;
    QVector<quint64> changedAt; // per address, the value of changes when its word last changed
    quint64 changes = 0;
};
