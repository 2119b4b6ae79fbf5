#include "httpconnectionhandlerpool.h"
#include "locking.h"

#include "httpconnectionhandler.h"
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
    qDebug("HttpConnectionHandlerPool (%p): destroyed", static_cast<void*>(this));
}

HttpConnectionHandler* HttpConnectionHandlerPool::acquireHandler()
{
    MutexLocker locker(&m_mutex);
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
    int idleCounter = 0;
    for (HttpConnectionHandler* handler : qAsConst(m_pool)) {
        if (handler->isBusy())
            continue;
        if (++idleCounter > maxIdleHandlers) {
            m_pool.removeOne(handler);
            delete handler;
            qDebug("HttpConnectionHandlerPool: Removed connection handler (%p), pool size is now %i",
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

    keyFileName = resolveAgainstSettingsFile(m_settings, keyFileName);
    certFileName = resolveAgainstSettingsFile(m_settings, certFileName);

    QFile certFile(certFileName);
    if (!certFile.open(QIODevice::ReadOnly)) {
        qCritical("HttpConnectionHandlerPool: cannot open sslCertFile %s", qPrintable(certFileName));
        return;
    }
    QSslCertificate certificate(&certFile, QSsl::Pem);
    certFile.close();

    QFile keyFile(keyFileName);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        qCritical("HttpConnectionHandlerPool: cannot open sslKeyFile %s", qPrintable(keyFileName));
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
    qDebug("HttpConnectionHandlerPool: SSL settings loaded");
}

} // namespace quillon
