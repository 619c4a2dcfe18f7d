#include "modbus/CConnectionHandler.h"

#include <sys/socket.h>

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

// Qt's buffered write turns the write notifier on and off for every answer,
// and each switch wakes the event loop once more. The kernel takes a small
// answer at once, so it goes straight out; only a remainder, or anything
// behind what Qt still holds, is left to Qt.
void writeAnswer(QTcpSocket& socket, const QByteArray& answer)
{
    qint64 sent = 0;
    if (socket.bytesToWrite() == 0)
        sent = qMax<qint64>(::send(int(socket.socketDescriptor()), answer.constData(), size_t(answer.size()),
                                   MSG_NOSIGNAL | MSG_DONTWAIT),
                            0);
    if (sent < answer.size())
        socket.write(answer.constData() + sent, answer.size() - sent);
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
            writeAnswer(*this, frame.answer);
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
