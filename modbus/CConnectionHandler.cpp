#include "modbus/CConnectionHandler.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QHostAddress>

#include "app/CLogFile.h"
#include "freshness/CDeviceFreshness.h"
#include "storage/CDataBaseHandler.h"

namespace {
const QString LOG_INCOMPLETE_1 =
    QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue...");
const QString LOG_INCOMPLETE_2 =
    QStringLiteral("[CConnectionHandler] Incomplete packet [2]. Wait for continue...");
const QString LOG_DROPPED_3 = QStringLiteral("[CConnectionHandler] Incomplete packet [3]. Clear buffer...");
const QString LOG_UNLOGGED_FRAMES =
    QStringLiteral("WARNING: [CConnectionHandler] Peer [%1] closed: %2 more incomplete or malformed frames "
                   "not logged one by one (%3)");
const QString LOG_OVERSIZED =
    QStringLiteral("WARNING: [CConnectionHandler] Peer [%1] declared a frame of %2 bytes, more than any "
                   "Modbus request holds (%3): connection closed. Frame began with [%4]");

// Dead peers (no FIN) are noticed within about two minutes.
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_PROBES = 6;

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

// Status blocks change with time, not with commits: laid over the committed
// words. Without a database every address reads as zero, as an unstored one does.
bool readStore(int port, int start, int count, CModbusTcpFramer::RegisterWords& words)
{
    CDataBaseHandler* store = CDataBaseHandler::getInstance();
    if (store && !store->readRegisterWords(port, start, count, words))
        return false;
    CDeviceFreshness::getInstance()->overlay(port, start, count, words);
    return true;
}

uint8_t staleGate(int port, int start, int count)
{
    return CDeviceFreshness::getInstance()->refusal(port, start, count);
}

void setKeepAlive(int fd)
{
    const int options[][2] = {{TCP_KEEPIDLE, KEEPALIVE_IDLE_S},
                              {TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S},
                              {TCP_KEEPCNT, KEEPALIVE_PROBES}};
    for (const auto& option : options)
        ::setsockopt(fd, IPPROTO_TCP, option[0], &option[1], sizeof(int));
}
} // namespace

CConnectionHandler::CConnectionHandler(const quint16& _port) : QTcpSocket(nullptr), port(_port)
{
    setReadBufferSize(READ_BUFFER_SIZE);
    lastActivity.start();
    connect(this, &QTcpSocket::readyRead, this, &CConnectionHandler::readyReadSlot);
    connect(this, &QTcpSocket::disconnected, this, &CConnectionHandler::disconnectedSlot);
}

CConnectionHandler::~CConnectionHandler()
{
    if (unloggedFrames.isEmpty())
        return;
    static const QMap<int, QString> kinds = {
        {CModbusTcpFramer::FRAME_INCOMPLETE_HEADER, QStringLiteral("incomplete header [1]")},
        {CModbusTcpFramer::FRAME_INCOMPLETE, QStringLiteral("incomplete frame [2]")},
        {CModbusTcpFramer::FRAME_DROPPED, QStringLiteral("dropped frame [3]")},
    };
    QStringList counts;
    int total = 0;
    for (auto it = unloggedFrames.constBegin(); it != unloggedFrames.constEnd(); ++it) {
        counts << QStringLiteral("%1 x %2").arg(kinds.value(it.key()), QString::number(it.value()));
        total += it.value();
    }
    addLog(LOG_UNLOGGED_FRAMES.arg(peerName, QString::number(total), counts.join(QStringLiteral(", "))));
}

bool CConnectionHandler::setSocketDescriptor(qintptr socketDescriptor, QAbstractSocket::SocketState state,
                                             QIODevice::OpenMode openMode)
{
    if (!QAbstractSocket::setSocketDescriptor(socketDescriptor, state, openMode))
        return false;
    // Answers are small and go out at once; dead peers must not hold a slot for good.
    setSocketOption(QAbstractSocket::LowDelayOption, 1);
    setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    setKeepAlive(int(socketDescriptor));
    peerName = QStringLiteral("%1:%2").arg(peerText(peerAddress()), QString::number(peerPort()));
    return true;
}

void CConnectionHandler::readyReadSlot()
{
    lastActivity.start();
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
        const CModbusTcpFramer::SFrameResult frame =
            CModbusTcpFramer::takeFrame(rxBuffer, port, readStore, staleGate);
        switch (frame.status) {
        case CModbusTcpFramer::FRAME_INCOMPLETE_HEADER:
            // A buffer emptied by an answered frame is the normal end.
            if (!(answered && rxBuffer.isEmpty()))
                logFrameProblem(frame.status);
            return;
        case CModbusTcpFramer::FRAME_INCOMPLETE:
            logFrameProblem(frame.status);
            return;
        case CModbusTcpFramer::FRAME_OVERSIZED:
            dropOversizedFrame();
            return;
        case CModbusTcpFramer::FRAME_DROPPED:
            logFrameProblem(frame.status);
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

// A flood of bad frames must not become a flood of log lines.
void CConnectionHandler::logFrameProblem(CModbusTcpFramer::EFrameStatus status)
{
    if (frameLinesWritten >= FRAME_LOG_LINES) {
        ++unloggedFrames[status];
        return;
    }
    ++frameLinesWritten;
    static const QMap<int, QString> lines = {{CModbusTcpFramer::FRAME_INCOMPLETE_HEADER, LOG_INCOMPLETE_1},
                                             {CModbusTcpFramer::FRAME_INCOMPLETE, LOG_INCOMPLETE_2},
                                             {CModbusTcpFramer::FRAME_DROPPED, LOG_DROPPED_3}};
    addLog(lines.value(status));
}

void CConnectionHandler::dropOversizedFrame()
{
    const int declared = (static_cast<uint8_t>(rxBuffer.at(4)) << 8 | static_cast<uint8_t>(rxBuffer.at(5))) +
                         CModbusTcpFramer::MBAP_LENGTH;
    const QByteArray head = rxBuffer.left(LOGGED_PAYLOAD_BYTES).toHex(' ');
    addLog(LOG_OVERSIZED.arg(
        peerName, QString::number(declared),
        QString::number(CModbusTcpFramer::MAX_REQUEST_LENGTH + CModbusTcpFramer::MBAP_LENGTH),
        QString::fromLatin1(rxBuffer.size() > LOGGED_PAYLOAD_BYTES ? head + " ..." : head)));
    rxBuffer.clear();
    abort();
    deleteLater();
}

void CConnectionHandler::dropIfPeerDoesNotRead()
{
    if (state() != ConnectedState || bytesToWrite() <= MAX_PENDING_ANSWER_BYTES)
        return;
    addLog(QStringLiteral(
               "WARNING: [CConnectionHandler] Peer [%1] does not read its answers, connection dropped")
               .arg(peerName));
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
