#pragma once

#include <QByteArray>
#include <QElapsedTimer>
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
    // Bytes taken from the socket per read: every frame fits (at most 260
    // bytes), and a flood of requests is answered a slice at a time.
    static constexpr qint64 READ_BUFFER_SIZE = 64 * 1024;
    // Lines about incomplete or dropped frames one connection may write; the
    // rest are counted and summed up in one line when it closes.
    static constexpr int FRAME_LOG_LINES = 5;
    // Bytes of a bad frame quoted in its log line.
    static constexpr int LOGGED_PAYLOAD_BYTES = 16;

    explicit CConnectionHandler(const quint16& port);
    ~CConnectionHandler() override;

    bool setSocketDescriptor(qintptr socketDescriptor, QAbstractSocket::SocketState state = ConnectedState,
                             QIODevice::OpenMode openMode = ReadWrite) override;

    // Time since the peer last sent anything (or connected).
    qint64 idleMs() const { return lastActivity.elapsed(); }
    const QString& peer() const { return peerName; }

protected slots:
    void readyReadSlot();
    void disconnectedSlot();
    QByteArray getAnswerDataSlot(const SModbusMBAP& mbap, const SModbusTcpPacketHeader& header,
                                 const QMap<uint16_t, uint16_t>& data);

private:
    void processFrames();
    void logFrameProblem(CModbusTcpFramer::EFrameStatus status);
    void dropOversizedFrame();
    void dropIfPeerDoesNotRead();

    quint16 port;
    QByteArray rxBuffer;
    QString peerName; // address:port, kept for lines written after the peer is gone
    QElapsedTimer lastActivity;
    int frameLinesWritten = 0;
    QMap<int, int> unloggedFrames; // by framer status
};
