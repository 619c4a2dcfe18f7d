// Feeds a client's byte stream to the Modbus TCP framing the way a connection
// does: in reads of varying size, taking frames off the front of the receive
// buffer. Answers are read from an in-memory port register image and checked
// word by word against the store's row-by-row reading of the same rows.
//
// Input: byte 0 seeds the read sizes (0: one read) and, with bit 7 set, makes
// every read also rewrite a stored value with the read's bytes; the rest is
// the stream.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

#include "modbus/CModbusTcpFramer.h"
#include "storage/CPortRegisterImage.h"
#include "storage/CRegisterImage.h"

namespace {
using Framer = CModbusTcpFramer;

constexpr uint16_t PORT = 502;

struct SRow
{
    unsigned int deviceId;
    int regAddr;
    int bitSize;
    QByteArray fullValue;
};

// In read order: ascending address, then insertion order. Covers narrow and
// wide data, a short wide value, a value with no bytes, an overlap and a
// datum that runs past 0xffff.
const QVector<SRow>& initialRows()
{
    static const QVector<SRow> rows = {
        {1, 100, 16, "1234"},     {1, 101, 16, QByteArray()},
        {1, 102, 32, "deadbeef"}, {2, 103, 16, "5a5a"},
        {1, 105, 16, "00ff"},     {1, 106, 64, "0123456789abcdef"},
        {2, 110, 32, "4f4b"},     {2, 112, 48, "abc"},
        {1, 0xfff0, 16, "f0f0"},  {2, 0xfffe, 64, "cafebabe8badf00d"},
    };
    return rows;
}

void silentHandler(QtMsgType, const QMessageLogContext&, const QString&) {}

struct SRegisterSource
{
    CPortRegisterImage image;
    QVector<SRow> rows = initialRows();

    SRegisterSource()
    {
        for (const SRow& row : qAsConst(rows))
            image.appendRow(row.deviceId, row.regAddr, row.bitSize, row.fullValue);
        if (!image.finish())
            __builtin_trap();
    }

    // Back to the initial values, through the same path a save takes.
    void reset()
    {
        const QVector<SRow>& initial = initialRows();
        for (int i = 0; i < rows.size(); ++i) {
            if (rows.at(i).fullValue != initial.at(i).fullValue)
                patch(i, initial.at(i).fullValue);
        }
    }

    void patch(int row, const QByteArray& fullValue)
    {
        const QString text = QString::fromUtf8(fullValue);
        image.patch(rows.at(row).deviceId, rows.at(row).regAddr, text);
        // A save rewrites every row of the device at that address.
        for (SRow& r : rows) {
            if (r.deviceId == rows.at(row).deviceId && r.regAddr == rows.at(row).regAddr)
                r.fullValue = text.toUtf8();
        }
    }

    // What the row-by-row read of the store yields for the same range.
    QMap<uint16_t, uint16_t> reference(int first, int count) const
    {
        QMap<unsigned short, unsigned short> words;
        const int last = first + count - 1;
        for (int i = 0; i < count; ++i)
            words.insert(static_cast<unsigned short>(first + i), 0);
        for (const SRow& row : rows)
            CRegisterImage::put(words, row.regAddr, row.bitSize, row.fullValue.constData(),
                                row.fullValue.size(), first, last);
        return words;
    }
};

SRegisterSource& source()
{
    static SRegisterSource* s = [] {
        qInstallMessageHandler(silentHandler);
        return new SRegisterSource;
    }();
    return *s;
}

uint16_t wordAt(const QByteArray& bytes, int offset)
{
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes.at(offset)) << 8 |
                                 static_cast<uint8_t>(bytes.at(offset + 1)));
}

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void checkAnswer(const QByteArray& request, const QByteArray& answer, const SRegisterSource& store)
{
    check(answer.size() >= 9);
    // Transaction, protocol and unit identifiers are echoed.
    check(answer.left(4) == request.left(4));
    check(answer.at(6) == request.at(6));
    check(wordAt(answer, 4) == answer.size() - Framer::MBAP_LENGTH);
    const uint8_t function = static_cast<uint8_t>(request.at(7));
    const uint8_t answered = static_cast<uint8_t>(answer.at(7));
    if (function != 3 && function != 4) {
        check(answer.size() == 9 && answered == (function | 0x80) &&
              answer.at(8) == Framer::EXCEPTION_ILLEGAL_FUNCTION);
        return;
    }
    const uint16_t start = wordAt(request, 8);
    const uint16_t count = wordAt(request, 10);
    if (count > Framer::MAX_READ_REGISTERS) {
        check(answer.size() == 9 && answered == (function | 0x80) &&
              answer.at(8) == Framer::EXCEPTION_ILLEGAL_DATA_VALUE);
        return;
    }
    check(answered == function);
    check(static_cast<uint8_t>(answer.at(8)) == 2 * count);
    check(answer.size() == 9 + 2 * count);
    const QMap<uint16_t, uint16_t> expected = store.reference(start, count);
    for (int i = 0; i < count; ++i)
        check(wordAt(answer, 9 + 2 * i) == expected.value(static_cast<uint16_t>(start + i)));
}

// Takes every complete frame off the front of the buffer, as a connection does on a read.
void processFrames(QByteArray& buffer, SRegisterSource& store)
{
    const Framer::RegisterReader reader = [&store](int port, int start, int count,
                                                   Framer::RegisterWords& words) {
        check(port == PORT && count > 0 && count <= Framer::MAX_READ_REGISTERS);
        words = store.image.readWords(start, count);
        return true;
    };
    for (;;) {
        const Framer::SFrameResult frame = Framer::takeFrame(buffer, PORT, reader);
        const int declared = buffer.size() >= Framer::MBAP_LENGTH ? wordAt(buffer, 4) + Framer::MBAP_LENGTH
                                                                  : Framer::MBAP_LENGTH;
        switch (frame.status) {
        case Framer::FRAME_INCOMPLETE_HEADER:
            check(buffer.size() < Framer::MBAP_LENGTH && frame.consumed == 0 && frame.answer.isEmpty());
            return;
        case Framer::FRAME_INCOMPLETE:
            check(buffer.size() < declared && frame.consumed == 0 && frame.answer.isEmpty());
            return;
        case Framer::FRAME_OVERSIZED:
            check(declared > Framer::MBAP_LENGTH + Framer::MAX_REQUEST_LENGTH && frame.consumed == 0);
            return;
        case Framer::FRAME_DROPPED:
            check(frame.consumed == declared && declared < Framer::MBAP_LENGTH + Framer::MIN_REQUEST_LENGTH &&
                  frame.answer.isEmpty());
            break;
        case Framer::FRAME_FOUND:
            check(frame.consumed == declared && declared >= Framer::MBAP_LENGTH + Framer::MIN_FRAME_LENGTH);
            checkAnswer(buffer.left(frame.consumed), frame.answer, store);
            break;
        default:
            __builtin_trap();
        }
        check(frame.consumed > 0 && frame.consumed <= buffer.size());
        buffer.remove(0, frame.consumed);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    SRegisterSource& store = source();
    store.reset();
    const uint8_t control = data[0];
    const bool rewrites = control & 0x80;
    uint32_t state = control & 0x7f;
    const QByteArray stream = QByteArray::fromRawData(reinterpret_cast<const char*>(data + 1), int(size - 1));
    QByteArray buffer;
    int pos = 0;
    int reads = 0;
    while (pos < stream.size()) {
        int length = stream.size() - pos;
        if (state != 0) {
            state = state * 1103515245u + 12345u;
            length = qMin(length, int(1 + (state >> 16) % 24));
        }
        const QByteArray chunk = stream.mid(pos, length);
        pos += length;
        buffer.append(chunk);
        if (rewrites)
            store.patch(reads % store.rows.size(), chunk);
        ++reads;
        processFrames(buffer, store);
    }
    return 0;
}
