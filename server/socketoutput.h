#pragma once

#include <QtGlobal>

class QTcpSocket;

namespace quillon {

// Bytes a connection still has to send: on a TLS socket, those not yet
// encrypted and the encrypted ones not yet handed to the system.
qint64 pendingOutput(QTcpSocket* socket);

// Waits until some of the pending output has left. Gives up, aborting the
// connection, when nothing left for `stallTimeout` milliseconds or when the
// thread is asked to stop (QThread::requestInterruption, at shutdown), and
// returns false then or when the connection ended.
bool waitForOutput(QTcpSocket* socket, int stallTimeout);

} // namespace quillon
