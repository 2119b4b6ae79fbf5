#include "httpconnectionloop.h"

#include "httpconnectionhandler.h"
#include "httpconnectionhandlerpool.h"
#include "locking.h"
#include "logging.h"
#include "sslservercontext.h"

#if defined(Q_OS_UNIX) && __has_include(<private/qeventdispatcher_unix_p.h>)
#include <private/qeventdispatcher_unix_p.h>
#define QUILLON_UNIX_DISPATCHER
#endif
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

namespace quillon {

namespace {
// Pause before accepting again after the system ran out of descriptors.
constexpr int kAcceptRetryMs = 200;
const QByteArray kServiceUnavailable =
    "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";
} // namespace

HttpConnectionLoop::HttpConnectionLoop(HttpConnectionHandlerPool* pool, tSocketDescriptor listening)
    : m_pool(pool)
    , m_listening(listening)
{
    moveToThread(this);
    m_clock.start();
#ifdef QUILLON_UNIX_DISPATCHER
    // The loops only serve sockets and timers: Qt's plain poll-based
    // dispatcher costs about a third less CPU per request than the GLib one.
    setEventDispatcher(new QEventDispatcherUNIX);
#endif
    tsanRelease(this); // Qt starts the thread in code the sanitizer does not see
    start();
}

HttpConnectionLoop::~HttpConnectionLoop()
{
    quit();
    wait();
    tsanAcquire(this); // joined: everything the thread did is visible now
}

const HttpConnectionSettings& HttpConnectionLoop::settings() const
{
    return m_pool->connectionSettings();
}

HttpRequestHandler* HttpConnectionLoop::requestHandler() const
{
    return m_pool->requestHandler();
}

SslServerContext* HttpConnectionLoop::sslContext() const
{
    return m_pool->sslContext();
}

const PeerAccountFilter& HttpConnectionLoop::peerFilter() const
{
    return m_pool->peerFilter();
}

// Qt does not carry exceptions through its event loop: whatever escapes
// anyway (a fault in Qt's own socket code, say) ends this loop and its
// connections, and the pool starts another in its place.
void HttpConnectionLoop::run()
{
    tsanAcquire(this);
    qCDebug(lcServer, "HttpConnectionLoop (%p): thread started", static_cast<void*>(this));
    m_deadlineTimer = new QTimer;
    m_deadlineTimer->setSingleShot(true);
    connect(m_deadlineTimer, &QTimer::timeout, this, &HttpConnectionLoop::sweepDeadlines);
    startAccepting();
    try {
        exec();
    } catch (...) {
        qCCritical(lcServer, "HttpConnectionLoop (%p): an uncatched exception occured in the thread",
                   static_cast<void*>(this));
    }
    tearDown();
    qCDebug(lcServer, "HttpConnectionLoop (%p): thread stopped", static_cast<void*>(this));
    emit ended();
    tsanRelease(this);
}

void HttpConnectionLoop::tearDown()
{
    // No connection is handed over from now on; those handed over before
    // are taken and closed here, so their peers learn at once.
    m_pool->retire(this);
    try {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    } catch (...) {
    }
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    if (m_listening >= 0)
        socketdescriptor::close(m_listening);
    m_listening = -1;
    const QSet<HttpConnectionHandler*> connections = m_connections;
    for (HttpConnectionHandler* connection : connections)
        connection->abort();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete m_deadlineTimer;
    m_deadlineTimer = nullptr;
    delete m_acceptRetry;
    m_acceptRetry = nullptr;
    if (sslContext())
        SslServerContext::releaseThreadState();
}

void HttpConnectionLoop::startAccepting()
{
    if (m_listening < 0)
        return;
    m_acceptNotifier = new QSocketNotifier(m_listening, QSocketNotifier::Read);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &HttpConnectionLoop::acceptOne);
}

// One connection per wake: the notifier stays ready while more wait, and the
// other loops, woken by the same readiness, take their share.
void HttpConnectionLoop::acceptOne()
{
    bool exhausted = false;
    int error = 0;
    const tSocketDescriptor descriptor = socketdescriptor::acceptOne(m_listening, &exhausted, &error);
    if (descriptor < 0 && exhausted) {
        // The connection stays in the backlog: accepting pauses, and
        // resumes by itself, so that such a moment never silences the server.
        if (!m_acceptFailing)
            qCWarning(lcServer, "HttpConnectionLoop: cannot accept connections (%s), trying again every %i ms",
                      qPrintable(qt_error_string(error)), kAcceptRetryMs);
        m_acceptFailing = true;
        m_acceptNotifier->setEnabled(false);
        if (!m_acceptRetry) {
            m_acceptRetry = new QTimer;
            m_acceptRetry->setSingleShot(true);
            connect(m_acceptRetry, &QTimer::timeout, this, [this] {
                m_acceptNotifier->setEnabled(true);
                acceptOne();
            });
        }
        m_acceptRetry->start(kAcceptRetryMs);
        return;
    }
    // Another loop may have taken the waiting connection: an empty backlog
    // also ends the shortage.
    if (m_acceptFailing) {
        m_acceptFailing = false;
        qCDebug(lcServer, "HttpConnectionLoop: accepting connections again");
    }
    if (descriptor < 0)
        return;
    if (!m_pool->reserveConnection()) {
        refuseBusy(descriptor);
        return;
    }
    if (m_pool->handOver(this, descriptor))
        return;
    addLoad();
    adopt(descriptor);
}

void HttpConnectionLoop::handleConnection(tSocketDescriptor socketDescriptor)
{
    tsanAcquire(this); // handed over by another thread
    if (hasEnded()) {
        // Handed over just before this loop ended: its place in the pool
        // stays reserved for the loop that serves it instead.
        m_load.deref();
        m_pool->serveElsewhere(socketDescriptor);
        return;
    }
    adopt(socketDescriptor);
}

void HttpConnectionLoop::adopt(tSocketDescriptor socketDescriptor)
{
    qCDebug(lcServer, "HttpConnectionLoop (%p) took a connection, %i now", static_cast<void*>(this), load());
    auto* connection = new HttpConnectionHandler(this);
    m_connections.insert(connection);
    connection->adopt(socketDescriptor);
}

void HttpConnectionLoop::releasePlace()
{
    m_load.deref();
    m_pool->releaseConnection();
}

void HttpConnectionLoop::connectionEnded(HttpConnectionHandler* connection)
{
    if (m_connections.remove(connection))
        connection->deleteLater();
}

// Every connection allowed is served: this one gets the fixed answer, unread.
void HttpConnectionLoop::refuseBusy(tSocketDescriptor socketDescriptor)
{
    qCDebug(lcServer, "HttpListener: Too many incoming connections");
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        socketdescriptor::close(socketDescriptor);
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(kServiceUnavailable);
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        QTimer::singleShot(settings().writeTimeout, socket, &QTcpSocket::abort);
}

// The timer runs for the earliest deadline; a later one waits for the sweep.
void HttpConnectionLoop::watchDeadline(qint64 deadline)
{
    if (m_deadlineTimer->isActive() && m_armedFor <= deadline)
        return;
    m_armedFor = deadline;
    m_deadlineTimer->start(int(qMax<qint64>(0, deadline - now())));
}

void HttpConnectionLoop::sweepDeadlines()
{
    const qint64 current = now();
    qint64 earliest = 0;
    const QSet<HttpConnectionHandler*> connections = m_connections;
    for (HttpConnectionHandler* connection : connections) {
        const qint64 deadline = connection->deadline();
        if (deadline == 0)
            continue;
        if (deadline <= current) {
            connection->deadlinePassed();
            continue;
        }
        if (earliest == 0 || deadline < earliest)
            earliest = deadline;
    }
    if (earliest != 0)
        watchDeadline(earliest);
}

} // namespace quillon
