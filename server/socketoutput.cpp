#include "socketoutput.h"

#include <QElapsedTimer>
#include <QSslSocket>
#include <QThread>

namespace quillon {

namespace {
// How often a wait looks whether the thread is asked to stop.
constexpr int kWaitSliceMs = 100;
}

qint64 pendingOutput(QTcpSocket* socket)
{
    qint64 pending = socket->bytesToWrite();
    if (auto* ssl = qobject_cast<QSslSocket*>(socket))
        pending += ssl->encryptedBytesToWrite();
    return pending;
}

bool waitForOutput(QTcpSocket* socket, int stallTimeout)
{
    QElapsedTimer stalled;
    stalled.start();
    const qint64 before = pendingOutput(socket);
    for (;;) {
        const QAbstractSocket::SocketState state = socket->state();
        if (state != QAbstractSocket::ConnectedState && state != QAbstractSocket::ClosingState)
            return false;
        if (pendingOutput(socket) == 0)
            return true;
        if (socket->waitForBytesWritten(int(qMin<qint64>(kWaitSliceMs, qMax<qint64>(1, stallTimeout - stalled.elapsed()))))
            || pendingOutput(socket) < before)
            return true;
        if (stalled.elapsed() >= stallTimeout || QThread::currentThread()->isInterruptionRequested()) {
            socket->abort();
            return false;
        }
    }
}

} // namespace quillon
