#include "modbus/CConnectionHandler.h"

#include <QHostAddress>

#include "app/CLogFile.h"
#include "storage/CDataBaseHandler.h"

namespace {
const QString LOG_INCOMPLETE_1 =
    QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue...");
const QString LOG_INCOMPLETE_2 =
    QStringLiteral("[CConnectionHandler] Incomplete packet [2]. Wait for continue...");
const QString LOG_DROPPED_3 = QStringLiteral("[CConnectionHandler] Incomplete packet [3]. Clear buffer...");

// A dual-stack listener sees IPv4 peers as ::ffff:a.b.c.d; the operator knows them as a.b.c.d.
QString peerText(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

QMap<uint16_t, uint16_t> readStore(int port, int start, int count)
{
    // Without a database every address reads as zero, as an unstored one does.
    CDataBaseHandler* store = CDataBaseHandler::getInstance();
    return store ? store->getRegisterData(port, start, count) : QMap<uint16_t, uint16_t>();
}
} // namespace

CConnectionHandler::CConnectionHandler(const quint16& _port) : QTcpSocket(nullptr), port(_port)
{
    setReadBufferSize(READ_BUFFER_SIZE);
    connect(this, &QTcpSocket::readyRead, this, &CConnectionHandler::readyReadSlot);
    connect(this, &QTcpSocket::disconnected, this, &CConnectionHandler::disconnectedSlot);
}

bool CConnectionHandler::setSocketDescriptor(qintptr socketDescriptor, QAbstractSocket::SocketState state,
                                             QIODevice::OpenMode openMode)
{
    return QAbstractSocket::setSocketDescriptor(socketDescriptor, state, openMode);
}

void CConnectionHandler::readyReadSlot()
{
    rxBuffer.append(readAll());
    processFrames();
    // One flush for all answers of this read; whatever the kernel does not
    // take now is sent from the event loop.
    flush();
    dropIfPeerDoesNotRead();
}

void CConnectionHandler::processFrames()
{
    bool answered = false;
    for (;;) {
        const CModbusTcpFramer::SFrameResult frame = CModbusTcpFramer::takeFrame(rxBuffer, port, readStore);
        switch (frame.status) {
        case CModbusTcpFramer::FRAME_INCOMPLETE_HEADER:
            // A buffer emptied by an answered frame is the normal end.
            if (!(answered && rxBuffer.isEmpty()))
                addLog(LOG_INCOMPLETE_1);
            return;
        case CModbusTcpFramer::FRAME_INCOMPLETE:
            addLog(LOG_INCOMPLETE_2);
            return;
        case CModbusTcpFramer::FRAME_DROPPED:
            addLog(LOG_DROPPED_3);
            answered = false;
            break;
        case CModbusTcpFramer::FRAME_FOUND:
            write(frame.answer);
            answered = true;
            break;
        }
        rxBuffer.remove(0, frame.consumed);
    }
}

void CConnectionHandler::dropIfPeerDoesNotRead()
{
    if (bytesToWrite() <= MAX_PENDING_ANSWER_BYTES)
        return;
    addLog(QStringLiteral(
               "WARNING: [CConnectionHandler] Peer [%1:%2] does not read its answers, connection dropped")
               .arg(peerText(peerAddress()))
               .arg(peerPort()));
    rxBuffer.clear();
    abort();
    deleteLater();
}

void CConnectionHandler::disconnectedSlot()
{
    deleteLater();
}

QByteArray CConnectionHandler::getAnswerDataSlot(const SModbusMBAP& mbap,
                                                 const SModbusTcpPacketHeader& header,
                                                 const QMap<uint16_t, uint16_t>& data)
{
    return CModbusTcpFramer::buildReadAnswer(mbap, header, data);
}
