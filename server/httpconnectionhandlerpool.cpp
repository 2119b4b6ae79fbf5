#include "httpconnectionhandlerpool.h"

#include "httpconnectionloop.h"
#include "locking.h"
#include "logging.h"
#include "settings.h"
#include "sslservercontext.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QtDebug>

namespace quillon {

namespace {
// How long stopping the server may wait for its I/O threads in all.
constexpr int kShutdownDeadlineMs = 5000;
} // namespace

HttpConnectionHandlerPool::HttpConnectionHandlerPool(QSettings* settings, HttpRequestHandler* requestHandler)
    : m_requestHandler(requestHandler)
    , m_connectionSettings(HttpConnectionSettings::read(settings))
    , m_peerFilter(settings)
{
    // Connections are handed to the loops by queued calls.
    qRegisterMetaType<tSocketDescriptor>("quillon::tSocketDescriptor");
    m_maxConnections = settingValue(settings, QStringLiteral("maxThreads"), 100).toInt();
    m_loopCount = qMax(1, settingValue(settings, QStringLiteral("ioThreads"), QThread::idealThreadCount()).toInt());
    m_sslContext = SslServerContext::fromSettings(settings);
}

HttpConnectionHandlerPool::~HttpConnectionHandlerPool()
{
    QList<HttpConnectionLoop*> loops;
    QList<tSocketDescriptor> waiting;
    {
        MutexLocker locker(&m_mutex);
        m_stopping = true;
        loops.swap(m_loops);
        waiting.swap(m_waiting);
    }
    // All are asked to end first, so they wind down together.
    for (HttpConnectionLoop* loop : qAsConst(loops))
        loop->quit();
    QDeadlineTimer deadline(kShutdownDeadlineMs);
    for (HttpConnectionLoop* loop : qAsConst(loops)) {
        if (loop->wait(deadline)) {
            delete loop;
        } else {
            // Still in a request handler's own code: left to the end of the
            // process rather than destroyed while it runs.
            qCCritical(lcServer, "HttpConnectionHandlerPool: I/O thread (%p) did not stop within %i ms",
                       static_cast<void*>(loop), kShutdownDeadlineMs);
        }
    }
    for (tSocketDescriptor socketDescriptor : qAsConst(waiting))
        socketdescriptor::close(socketDescriptor);
    delete m_sslContext;
    qCDebug(lcServer, "HttpConnectionHandlerPool (%p): destroyed", static_cast<void*>(this));
}

// Called with m_mutex held.
HttpConnectionLoop* HttpConnectionHandlerPool::startLoop()
{
    const tSocketDescriptor listening = m_listening >= 0 ? socketdescriptor::duplicate(m_listening) : -1;
    auto* loop = new HttpConnectionLoop(this, listening);
    connect(loop, &HttpConnectionLoop::ended, this, &HttpConnectionHandlerPool::replaceEndedLoops,
            Qt::QueuedConnection);
    return loop;
}

int HttpConnectionHandlerPool::size() const
{
    MutexLocker locker(&m_mutex);
    return m_loops.size();
}

bool HttpConnectionHandlerPool::start(tSocketDescriptor listening)
{
    MutexLocker locker(&m_mutex);
    if (listening >= 0 && socketdescriptor::canShareListeningSocket())
        m_listening = listening;
    for (int i = 0; i < m_loopCount; ++i)
        m_loops.append(startLoop());
    qCDebug(lcServer, "HttpConnectionHandlerPool: %i I/O threads%s, at most %i connections", m_loopCount,
            m_listening >= 0 ? " accepting" : "", m_maxConnections);
    return m_listening >= 0;
}

bool HttpConnectionHandlerPool::reserveConnection()
{
    for (int served = m_connections.loadRelaxed(); served < m_maxConnections; served = m_connections.loadRelaxed()) {
        if (m_connections.testAndSetRelaxed(served, served + 1))
            return true;
    }
    return false;
}

void HttpConnectionHandlerPool::releaseConnection()
{
    m_connections.deref();
}

// Called with m_mutex held. Ties go to the preferred loop.
HttpConnectionLoop* HttpConnectionHandlerPool::leastLoaded(HttpConnectionLoop* preferred) const
{
    HttpConnectionLoop* best = preferred;
    for (HttpConnectionLoop* loop : m_loops) {
        if (!loop->hasEnded() && (!best || loop->load() < best->load()))
            best = loop;
    }
    return best;
}

bool HttpConnectionHandlerPool::handOver(HttpConnectionLoop* from, tSocketDescriptor socketDescriptor)
{
    MutexLocker locker(&m_mutex);
    HttpConnectionLoop* target = leastLoaded(from);
    if (!target || target == from)
        return false;
    target->addLoad();
    tsanRelease(target);
    QMetaObject::invokeMethod(target, "handleConnection", Qt::QueuedConnection,
                              Q_ARG(quillon::tSocketDescriptor, socketDescriptor));
    return true;
}

bool HttpConnectionHandlerPool::handleConnection(tSocketDescriptor socketDescriptor)
{
    if (!reserveConnection())
        return false;
    serve(socketDescriptor);
    return true;
}

// In this object's thread. When every loop has ended, their replacements
// are started now rather than when their end is reported, so that a
// connection arriving meanwhile waits for them instead of being dropped.
void HttpConnectionHandlerPool::serve(tSocketDescriptor socketDescriptor)
{
    if (handOver(nullptr, socketDescriptor))
        return;
    replaceEndedLoops();
    if (!handOver(nullptr, socketDescriptor)) {
        // The server is stopping.
        socketdescriptor::close(socketDescriptor);
        releaseConnection();
    }
}

// From a loop's thread. What no running loop can take waits in m_waiting
// for this object's thread, where stopping closes whatever is left.
void HttpConnectionHandlerPool::serveElsewhere(tSocketDescriptor socketDescriptor)
{
    if (handOver(nullptr, socketDescriptor))
        return;
    MutexLocker locker(&m_mutex);
    if (!m_stopping) {
        m_waiting.append(socketDescriptor);
        QMetaObject::invokeMethod(this, &HttpConnectionHandlerPool::serveWaiting, Qt::QueuedConnection);
        return;
    }
    locker.unlock();
    socketdescriptor::close(socketDescriptor);
    releaseConnection();
}

void HttpConnectionHandlerPool::serveWaiting()
{
    QList<tSocketDescriptor> waiting;
    {
        MutexLocker locker(&m_mutex);
        waiting.swap(m_waiting);
    }
    for (tSocketDescriptor socketDescriptor : qAsConst(waiting))
        serve(socketDescriptor);
}

void HttpConnectionHandlerPool::retire(HttpConnectionLoop* loop)
{
    MutexLocker locker(&m_mutex);
    loop->markEnded();
}

void HttpConnectionHandlerPool::replaceEndedLoops()
{
    QList<HttpConnectionLoop*> ended;
    {
        MutexLocker locker(&m_mutex);
        if (m_stopping)
            return;
        for (int i = 0; i < m_loops.size(); ++i) {
            if (m_loops.at(i)->hasEnded()) {
                ended.append(m_loops.at(i));
                m_loops[i] = startLoop();
            }
        }
    }
    for (HttpConnectionLoop* loop : qAsConst(ended)) {
        qCDebug(lcServer, "HttpConnectionHandlerPool: replaced I/O thread (%p) whose thread ended",
                static_cast<void*>(loop));
        loop->wait();
        delete loop;
    }
}

} // namespace quillon
