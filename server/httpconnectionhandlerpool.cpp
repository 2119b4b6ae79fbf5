#include "httpconnectionhandlerpool.h"

#include "httpconnectionhandler.h"
#include "locking.h"
#include "logging.h"
#include "settings.h"
#include "sslservercontext.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QtDebug>

namespace quillon {

HttpConnectionHandlerPool::HttpConnectionHandlerPool(QSettings* settings, HttpRequestHandler* requestHandler)
    : m_settings(settings)
    , m_requestHandler(requestHandler)
{
    loadSslConfiguration();
    m_cleanupTimer.start(settingValue(m_settings, QStringLiteral("cleanupInterval"), 1000).toInt());
    connect(&m_cleanupTimer, &QTimer::timeout, this, &HttpConnectionHandlerPool::cleanup);
}

HttpConnectionHandlerPool::~HttpConnectionHandlerPool()
{
    // All threads are asked to end first, so they wind down together.
    for (HttpConnectionHandler* handler : qAsConst(m_pool))
        handler->quit();
    for (HttpConnectionHandler* handler : qAsConst(m_pool))
        delete handler;
    delete m_sslContext;
    qCDebug(lcServer, "HttpConnectionHandlerPool (%p): destroyed", static_cast<void*>(this));
}

// A handler whose thread ended (an exception escaped its event loop) serves
// nothing more: it leaves the pool, and a new one takes its place on demand.
void HttpConnectionHandlerPool::dropEndedHandlers()
{
    for (int i = m_pool.size() - 1; i >= 0; --i) {
        HttpConnectionHandler* handler = m_pool.at(i);
        if (handler->hasEnded()) {
            m_pool.removeAt(i);
            delete handler; // waits for the thread's last steps
            qCDebug(lcServer, "HttpConnectionHandlerPool: Removed connection handler (%p) whose thread ended",
                    static_cast<void*>(handler));
        }
    }
}

HttpConnectionHandler* HttpConnectionHandlerPool::acquireHandler()
{
    MutexLocker locker(&m_mutex);
    dropEndedHandlers();
    for (HttpConnectionHandler* handler : qAsConst(m_pool)) {
        if (!handler->isBusy()) {
            handler->setBusy();
            return handler;
        }
    }
    const int maxThreads = settingValue(m_settings, QStringLiteral("maxThreads"), 100).toInt();
    if (m_pool.count() >= maxThreads)
        return nullptr;
    auto* handler = new HttpConnectionHandler(m_settings, m_requestHandler, m_sslContext);
    handler->setBusy();
    m_pool.append(handler);
    return handler;
}

int HttpConnectionHandlerPool::size() const
{
    MutexLocker locker(&m_mutex);
    return m_pool.count();
}

void HttpConnectionHandlerPool::cleanup()
{
    const int maxIdleHandlers = settingValue(m_settings, QStringLiteral("minThreads"), 1).toInt();
    MutexLocker locker(&m_mutex);
    dropEndedHandlers();
    int idleCounter = 0;
    for (HttpConnectionHandler* handler : qAsConst(m_pool)) {
        if (handler->isBusy())
            continue;
        if (++idleCounter > maxIdleHandlers) {
            m_pool.removeOne(handler);
            delete handler;
            qCDebug(lcServer, "HttpConnectionHandlerPool: Removed connection handler (%p), pool size is now %i",
                   static_cast<void*>(handler), m_pool.size());
            break;
        }
    }
}

void HttpConnectionHandlerPool::loadSslConfiguration()
{
    QString keyFileName = settingValue(m_settings, QStringLiteral("sslKeyFile"), QString()).toString();
    QString certFileName = settingValue(m_settings, QStringLiteral("sslCertFile"), QString()).toString();
    if (keyFileName.isEmpty() || certFileName.isEmpty())
        return;

    // Without a TLS library a socket would stay plain while the log said
    // otherwise: TLS is off, as for unreadable files.
    if (!QSslSocket::supportsSsl()) {
        qCCritical(lcServer, "HttpConnectionHandlerPool: TLS is not available (no usable OpenSSL library), "
                             "serving without TLS");
        return;
    }
    keyFileName = resolveUserFile(m_settings, keyFileName);
    certFileName = resolveUserFile(m_settings, certFileName);

    QFile certFile(certFileName);
    if (!certFile.open(QIODevice::ReadOnly)) {
        qCCritical(lcServer, "HttpConnectionHandlerPool: cannot open sslCertFile %s", qPrintable(certFileName));
        return;
    }
    QSslCertificate certificate(&certFile, QSsl::Pem);
    certFile.close();

    QFile keyFile(keyFileName);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        qCCritical(lcServer, "HttpConnectionHandlerPool: cannot open sslKeyFile %s", qPrintable(keyFileName));
        return;
    }
    QSslKey sslKey(&keyFile, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    keyFile.close();

    QSslConfiguration configuration;
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(sslKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    // Only protocols that current clients still accept: TLS 1.2 and later.
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    m_sslContext = new SslServerContext(configuration);
    qCDebug(lcServer, "HttpConnectionHandlerPool: SSL settings loaded");
}

} // namespace quillon
