// A build whose Qt has no TLS (a Windows build without OpenSSL, say): the
// server serves plain HTTP and says so when TLS is configured.
#include "sslservercontext.h"

#include "logging.h"
#include "settings.h"

#include <QTcpSocket>

namespace quillon {

SslServerContext* SslServerContext::fromSettings(QSettings* settings)
{
    if (!settingValue(settings, QStringLiteral("sslKeyFile"), QString()).toString().isEmpty()
        && !settingValue(settings, QStringLiteral("sslCertFile"), QString()).toString().isEmpty())
        qCCritical(lcServer, "HttpConnectionHandlerPool: TLS is not available (built without a TLS library), "
                             "serving without TLS");
    return nullptr;
}

SslServerContext::~SslServerContext() = default;

QTcpSocket* SslServerContext::createSocket(QObject*, std::function<void()>) const
{
    return new QTcpSocket;
}

void SslServerContext::startServerEncryption(QTcpSocket*)
{
}

qint64 SslServerContext::encryptedBytesToWrite(QTcpSocket*)
{
    return 0;
}

void SslServerContext::releaseThreadState()
{
}

} // namespace quillon
