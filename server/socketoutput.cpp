#include "socketoutput.h"

#include <QSslSocket>

namespace quillon {

qint64 pendingOutput(QTcpSocket* socket)
{
    qint64 pending = socket->bytesToWrite();
    if (auto* ssl = qobject_cast<QSslSocket*>(socket))
        pending += ssl->encryptedBytesToWrite();
    return pending;
}

} // namespace quillon
