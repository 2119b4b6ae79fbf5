#pragma once

#include <QMutex>
#include <QSharedPointer>
#include <QtNetwork/qtnetworkglobal.h>
#if QT_CONFIG(ssl)
#include <QSslConfiguration>
#endif

#include <functional>

class QObject;
class QSettings;
class QSslContext;
class QSslSocket;
class QTcpSocket;

namespace quillon {

// What the TLS connections of one listener share: their configuration and,
// where the Qt it runs on allows, one OpenSSL context. Building a context
// costs more than a handshake's own cryptography, and with a context per
// connection no client could ever resume its session.
class SslServerContext
{
    Q_DISABLE_COPY(SslServerContext)

public:
    // The context that the listener group's key and certificate make
    // ("sslKeyFile", "sslCertFile"), or null when TLS is off: none
    // configured, files that cannot be read, no TLS library (said in a
    // critical line), or a build without TLS (said too).
    static SslServerContext* fromSettings(QSettings* settings);
#if QT_CONFIG(ssl)
    explicit SslServerContext(const QSslConfiguration& configuration);
#endif
    ~SslServerContext();

    // A socket for one TLS connection; `encryptedProgress` runs on its
    // thread whenever encrypted bytes have left it.
    QTcpSocket* createSocket(QObject* context, std::function<void()> encryptedProgress) const;
    // Starts the server handshake on a connected socket of createSocket(),
    // with the shared context once there is one.
    void startServerEncryption(QTcpSocket* socket);
    // Encrypted bytes that a socket of createSocket() has not handed to the
    // system yet (0 for a plain socket).
    static qint64 encryptedBytesToWrite(QTcpSocket* socket);

    // Frees what OpenSSL keeps for the calling thread; called by a thread
    // that served TLS connections as its last step.
    static void releaseThreadState();

private:
#if QT_CONFIG(ssl)
    QSslConfiguration m_configuration;
#endif
    bool m_sharing = false;
    QMutex m_mutex;
    QSharedPointer<QSslContext> m_context;
};

} // namespace quillon
