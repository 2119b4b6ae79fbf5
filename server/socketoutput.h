#pragma once

#include <QtGlobal>

class QTcpSocket;

namespace quillon {

// Bytes a connection still has to send: on a TLS socket, those not yet
// encrypted and the encrypted ones not yet handed to the system.
qint64 pendingOutput(QTcpSocket* socket);

} // namespace quillon
