#pragma once

#include <QMutex>
#include <QSharedPointer>
#include <QSslConfiguration>

class QSslContext;
class QSslSocket;

namespace quillon {

// What the TLS connections of one listener share: their configuration and,
// where the Qt it runs on allows, one OpenSSL context. Building a context
// costs more than a handshake's own cryptography, and with a context per
// connection no client could ever resume its session.
class SslServerContext
{
    Q_DISABLE_COPY(SslServerContext)

public:
    explicit SslServerContext(const QSslConfiguration& configuration);
    ~SslServerContext();

    const QSslConfiguration& configuration() const { return m_configuration; }
    // Starts the server handshake on a connected socket, with the shared
    // context once there is one.
    void startServerEncryption(QSslSocket* socket);

    // Frees what OpenSSL keeps for the calling thread; called by a thread
    // that served TLS connections as its last step.
    static void releaseThreadState();

private:
    QSslConfiguration m_configuration;
    bool m_sharing = false;
    QMutex m_mutex;
    QSharedPointer<QSslContext> m_context;
};

} // namespace quillon
