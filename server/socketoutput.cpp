#include "socketoutput.h"

#include "sslservercontext.h"

#include <QTcpSocket>

namespace quillon {

qint64 pendingOutput(QTcpSocket* socket)
{
    return socket->bytesToWrite() + SslServerContext::encryptedBytesToWrite(socket);
}

} // namespace quillon
