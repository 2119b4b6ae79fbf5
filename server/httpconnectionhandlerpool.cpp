#include "httpconnectionhandlerpool.h"

#include "httpconnectionhandler.h"
#include "locking.h"
#include "logging.h"
#include "settings.h"
#include "sslservercontext.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QtDebug>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quillon {

namespace {
// How long the main thread waits for a retired handler's thread per tick.
constexpr int kJoinWaitMs = 20;
// How long stopping the server may wait for its handler threads in all.
constexpr int kShutdownDeadlineMs = 5000;
// A new handler's thread opens this many (its event loop's wake-up), with
// room for one more.
constexpr int kDescriptorsPerHandler = 2;
} // namespace

bool HttpConnectionHandlerPool::descriptorsLeft()
{
#ifdef Q_OS_UNIX
    int probes[kDescriptorsPerHandler];
    int opened = 0;
    while (opened < kDescriptorsPerHandler && (probes[opened] = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0)
        ++opened;
    for (int i = 0; i < opened; ++i)
        ::close(probes[i]);
    return opened == kDescriptorsPerHandler;
#else
    return true;
#endif
}

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
    // All threads are asked to end first, so they wind down together; a
    // handler waiting for a peer to read gives up at once.
    QList<HttpConnectionHandler*> all = m_pool + m_retired;
    for (HttpConnectionHandler* handler : qAsConst(all)) {
        handler->requestInterruption();
        handler->quit();
    }
    QDeadlineTimer deadline(kShutdownDeadlineMs);
    for (HttpConnectionHandler* handler : qAsConst(all)) {
        if (handler->wait(deadline)) {
            delete handler;
        } else {
            // Still in a request handler's own code: left to the end of the
            // process rather than destroyed while it runs.
            qCCritical(lcServer, "HttpConnectionHandlerPool: connection handler (%p) did not stop within %i ms",
                       static_cast<void*>(handler), kShutdownDeadlineMs);
        }
    }
    delete m_sslContext;
    qCDebug(lcServer, "HttpConnectionHandlerPool (%p): destroyed", static_cast<void*>(this));
}

// A handler whose thread ended (an exception escaped its event loop) serves
// nothing more: it leaves the pool, and a new one takes its place on demand.
// It is joined later, outside the lock (joinRetiredHandlers).
void HttpConnectionHandlerPool::dropEndedHandlers()
{
    for (int i = m_pool.size() - 1; i >= 0; --i) {
        HttpConnectionHandler* handler = m_pool.at(i);
        if (handler->hasEnded()) {
            m_pool.removeAt(i);
            m_retired.append(handler);
            qCDebug(lcServer, "HttpConnectionHandlerPool: Removed connection handler (%p) whose thread ended",
                    static_cast<void*>(handler));
        }
    }
}

// Retired handlers are deleted once their threads have ended; the main
// thread waits for none of them longer than a moment.
void HttpConnectionHandlerPool::joinRetiredHandlers()
{
    QList<HttpConnectionHandler*> retired;
    {
        MutexLocker locker(&m_mutex);
        retired.swap(m_retired);
    }
    QList<HttpConnectionHandler*> running;
    for (HttpConnectionHandler* handler : qAsConst(retired)) {
        if (handler->wait(kJoinWaitMs))
            delete handler;
        else
            running.append(handler);
    }
    MutexLocker locker(&m_mutex);
    m_retired += running;
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
    if (!descriptorsLeft()) {
        // A thread's event loop needs a descriptor of its own, and Qt ends
        // the process when it gets none: the connection is turned away.
        qCWarning(lcServer, "HttpConnectionHandlerPool: no file descriptor left for a new connection handler");
        return nullptr;
    }
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
    {
        MutexLocker locker(&m_mutex);
        dropEndedHandlers();
        int idleCounter = 0;
        for (HttpConnectionHandler* handler : qAsConst(m_pool)) {
            if (handler->isBusy())
                continue;
            if (++idleCounter > maxIdleHandlers) {
                // Out of the list, it can no longer be handed out; its thread
                // is asked to end and joined below, outside the lock.
                m_pool.removeOne(handler);
                handler->quit();
                m_retired.append(handler);
                qCDebug(lcServer, "HttpConnectionHandlerPool: Removed connection handler (%p), pool size is now %i",
                        static_cast<void*>(handler), m_pool.size());
                break;
            }
        }
    }
    joinRetiredHandlers();
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
