#pragma once

#include <QByteArray>
#include <QMap>
#include <QTcpSocket>

#include "modbus/CModbusTcpFramer.h"

// One accepted Modbus TCP client. Collects the incoming bytes, lets the framer
// cut and answer the frames, and writes the answers without blocking. Owns
// itself: it is deleted when its peer disconnects or is dropped.
class CConnectionHandler : public QTcpSocket
{
    Q_OBJECT
public:
    using SModbusMBAP = CModbusTcpFramer::SModbusMBAP;
    using SModbusTcpPacketHeader = CModbusTcpFramer::SModbusTcpPacketHeader;

    // A peer whose unsent answers pile up beyond this does not read them.
    static constexpr qint64 MAX_PENDING_ANSWER_BYTES = 1024 * 1024;
    // Bytes taken from the socket per read: every frame fits (at most 65541
    // bytes), and a flood of requests is answered a slice at a time.
    static constexpr qint64 READ_BUFFER_SIZE = 64 * 1024;

    explicit CConnectionHandler(const quint16& port);

    bool setSocketDescriptor(qintptr socketDescriptor, QAbstractSocket::SocketState state = ConnectedState,
                             QIODevice::OpenMode openMode = ReadWrite) override;

protected slots:
    void readyReadSlot();
    void disconnectedSlot();
    QByteArray getAnswerDataSlot(const SModbusMBAP& mbap, const SModbusTcpPacketHeader& header,
                                 const QMap<uint16_t, uint16_t>& data);

private:
    void processFrames();
    void dropIfPeerDoesNotRead();

    quint16 port;
    QByteArray rxBuffer;
};
