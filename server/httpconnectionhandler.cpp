#include "httpconnectionhandler.h"

#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "locking.h"
#include "logging.h"
#include "settings.h"
#include "socketoutput.h"
#include "sslservercontext.h"

#if defined(Q_OS_UNIX) && __has_include(<private/qeventdispatcher_unix_p.h>)
#include <private/qeventdispatcher_unix_p.h>
#define QUILLON_UNIX_DISPATCHER
#endif
#include <QCoreApplication>
#include <QSslSocket>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace quillon {

namespace {
const QByteArray kEntityTooLarge = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
const QByteArray kInternalError = "500 Internal Server Error\r\n";
// The multipart parser reads its spooled body in blocks of this size.
constexpr qint64 kMinReadBuffer = 65536;

// The fixed answer to a request the parser refused, by what went wrong.
QByteArray refusal(int status)
{
    switch (status) {
    case 400:
        return "HTTP/1.1 400 bad request\r\nConnection: close\r\n\r\n400 Bad request\r\n";
    case 414:
        return "HTTP/1.1 414 uri too long\r\nConnection: close\r\n\r\n414 URI too long\r\n";
    case 431:
        return "HTTP/1.1 431 request header fields too large\r\nConnection: close\r\n\r\n"
               "431 Request header fields too large\r\n";
    case 501:
        return "HTTP/1.1 501 not implemented\r\nConnection: close\r\n\r\n501 Not implemented\r\n";
    case 505:
        return "HTTP/1.1 505 http version not supported\r\nConnection: close\r\n\r\n505 HTTP version not supported\r\n";
    default:
        return kEntityTooLarge;
    }
}
} // namespace

HttpConnectionHandler::HttpConnectionHandler(QSettings* settings, HttpRequestHandler* requestHandler,
                                             SslServerContext* sslContext)
    : m_settings(settings)
    , m_requestHandler(requestHandler)
    , m_sslContext(sslContext)
{
    // The limits are read once per handler into plain values: the settings
    // object is shared with the pool and the other handler threads.
    m_readTimeout = settingValue(m_settings, QStringLiteral("readTimeout"), 10000).toInt();
    m_maxRequestSize = settingValue(m_settings, QStringLiteral("maxRequestSize"), "16000").toInt();
    m_maxMultiPartSize = settingValue(m_settings, QStringLiteral("maxMultiPartSize"), "1000000").toInt();
    m_maxMultiParts =
        settingValue(m_settings, QStringLiteral("maxMultiParts"), HttpRequest::kDefaultMaxMultiParts).toInt();

    createSocket();
    if (m_sslContext)
        qCDebug(lcServer, "HttpConnectionHandler (%p): SSL is enabled", static_cast<void*>(this));

    moveToThread(this);
    m_socket->moveToThread(this);
    m_readTimer.moveToThread(this);

    connect(&m_readTimer, &QTimer::timeout, this, &HttpConnectionHandler::readTimeout);
    m_readTimer.setSingleShot(true);

    qCDebug(lcServer, "HttpConnectionHandler (%p): constructed", static_cast<void*>(this));
#ifdef QUILLON_UNIX_DISPATCHER
    // The worker threads only serve sockets and timers: Qt's plain poll-based
    // dispatcher costs about a third less CPU per request than the GLib one.
    setEventDispatcher(new QEventDispatcherUNIX);
#endif
    tsanRelease(this); // Qt starts the thread in code the sanitizer does not see
    start();
}

HttpConnectionHandler::~HttpConnectionHandler()
{
    quit();
    wait();
    tsanAcquire(this); // joined: everything the thread did is visible now
    qCDebug(lcServer, "HttpConnectionHandler (%p): destroyed", static_cast<void*>(this));
}

void HttpConnectionHandler::createSocket()
{
    if (m_sslContext) {
        auto* sslSocket = new QSslSocket;
        sslSocket->setSslConfiguration(m_sslContext->configuration());
        m_socket = sslSocket;
    } else {
        m_socket = new QTcpSocket;
    }
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnectionHandler::read);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnectionHandler::disconnected);
}

// Qt does not carry exceptions through its event loop: whatever escapes
// anyway (a fault in Qt's own socket code, say) ends this thread, and the
// pool replaces the handler. The socket then goes with the thread.
void HttpConnectionHandler::run()
{
    tsanAcquire(this);
    qCDebug(lcServer, "HttpConnectionHandler (%p): thread started", static_cast<void*>(this));
    try {
        exec();
    } catch (...) {
        m_ended.storeRelease(1);
        qCCritical(lcServer, "HttpConnectionHandler (%p): an uncatched exception occured in the thread",
                   static_cast<void*>(this));
    }
    // A connection handed over after the loop ended is adopted and, below,
    // reset: its descriptor is closed, and its client learns at once instead
    // of waiting for a thread that is gone.
    m_stopping = true;
    try {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    } catch (...) {
    }
    m_readTimer.stop();
    m_socket->abort();
    delete m_socket;
    m_socket = nullptr;
    delete m_currentRequest;
    m_currentRequest = nullptr;
    if (m_sslContext)
        SslServerContext::releaseThreadState();
    qCDebug(lcServer, "HttpConnectionHandler (%p): thread stopped", static_cast<void*>(this));
    tsanRelease(this);
}

// Each slot catches what its work throws (running out of memory, say), so
// that nothing unwinds through Qt's socket code: the connection is given up
// and the handler is free again.
void HttpConnectionHandler::giveUpAfterException(const char* where)
{
    qCCritical(lcServer, "HttpConnectionHandler (%p): an exception occured while %s, connection dropped",
               static_cast<void*>(this), where);
    m_answering = false;
    m_peerGone = false;
    try {
        abandonConnection();
    } catch (...) {
        m_busy.storeRelease(0);
    }
}

// Restarting a QTimer for every request re-registers it with the event
// dispatcher. Instead the time of the last activity is kept, and the one
// running timer checks it when it fires.
void HttpConnectionHandler::startReadTimer()
{
    m_lastActivity.start();
    if (!m_readTimer.isActive())
        m_readTimer.start(m_readTimeout);
}

void HttpConnectionHandler::handleConnection(tSocketDescriptor socketDescriptor)
{
    tsanAcquire(this); // handed over by the listener thread
    qCDebug(lcServer, "HttpConnectionHandler (%p): handle new connection", static_cast<void*>(this));
    setBusy();
    try {
        adoptConnection(socketDescriptor);
    } catch (...) {
        giveUpAfterException("adopting a connection");
    }
}

// A descriptor that no socket took is closed here, or it would stay open.
void HttpConnectionHandler::closeDescriptor(tSocketDescriptor socketDescriptor)
{
#ifdef Q_OS_WIN
    ::closesocket(SOCKET(socketDescriptor));
#else
    ::close(int(socketDescriptor));
#endif
}

void HttpConnectionHandler::adoptConnection(tSocketDescriptor socketDescriptor)
{
    // Nothing of the previous connection (state, unsent output) may survive.
    // A TLS socket also keeps its encryption mode through abort(); a connect
    // attempt resets that, and the abort ends it at once.
    if (m_sslContext)
        m_socket->connectToHost(QString(), 0);
    m_socket->abort();
    delete m_currentRequest;
    m_currentRequest = nullptr;

    m_answering = false;
    m_peerGone = false;
    if (!m_socket->setSocketDescriptor(socketDescriptor)) {
        qCCritical(lcServer, "HttpConnectionHandler (%p): cannot initialize socket: %s", static_cast<void*>(this),
                   qPrintable(m_socket->errorString()));
        closeDescriptor(socketDescriptor);
        m_busy.storeRelease(0);
        return;
    }
    if (m_stopping) {
        m_socket->abort();
        return;
    }
    // What a peer sends while its answer is being written waits in the
    // socket's buffer, which is bounded.
    m_socket->setReadBufferSize(qMax<qint64>(m_maxRequestSize, kMinReadBuffer));
    // Small answers on a kept-alive connection must not wait for the peer's
    // delayed acknowledgement. A plain connection's first answer leaves at
    // once anyway, so for one that is closed after it the call is saved.
    m_lowDelay = false;
    if (m_sslContext) {
        setLowDelay();
        qCDebug(lcServer, "HttpConnectionHandler (%p): Starting encryption", static_cast<void*>(this));
        m_sslContext->startServerEncryption(static_cast<QSslSocket*>(m_socket));
    }
    startReadTimer();
}

void HttpConnectionHandler::setLowDelay()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_lowDelay = true;
}

void HttpConnectionHandler::readTimeout()
{
    try {
        closeIfIdle();
    } catch (...) {
        giveUpAfterException("closing an idle connection");
    }
}

void HttpConnectionHandler::closeIfIdle()
{
    const qint64 remaining = m_readTimeout - m_lastActivity.elapsed();
    if (remaining > 0) {
        m_readTimer.start(int(remaining));
        return;
    }
    if (m_socket->state() == QAbstractSocket::ClosingState) {
        // Closed by us, and its last bytes never left: the peer does not read.
        qCDebug(lcServer, "HttpConnectionHandler (%p): closing connection stalled, aborted", static_cast<void*>(this));
        m_socket->abort();
        return;
    }
    qCDebug(lcServer, "HttpConnectionHandler (%p): read timeout occured", static_cast<void*>(this));
    m_answering = true;
    closeConnection();
    delete m_currentRequest;
    m_currentRequest = nullptr;
    leaveAnswering();
}

// Waits until the send queue is empty. Gives up, dropping the connection, when
// no byte leaves the queue for "readTimeout" milliseconds.
bool HttpConnectionHandler::drainOutput()
{
    while (pendingOutput(m_socket) > 0) {
        if (!waitForOutput(m_socket, m_readTimeout))
            return false;
    }
    return true;
}

// A connection that does not end within "readTimeout" after this (the peer
// never reads the last bytes) is aborted by the timer.
void HttpConnectionHandler::closeConnection()
{
    if (!drainOutput())
        return;
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        startReadTimer();
}

// While an answer is written, the socket may report the end of the
// connection from inside a wait: the handler is done with it only once the
// answer is.
void HttpConnectionHandler::disconnected()
{
    if (m_answering) {
        m_peerGone = true;
        return;
    }
    qCDebug(lcServer, "HttpConnectionHandler (%p): disconnected", static_cast<void*>(this));
    try {
        m_socket->close();
    } catch (...) {
        giveUpAfterException("closing a connection");
        return;
    }
    m_readTimer.stop();
    m_busy.storeRelease(0);
}

void HttpConnectionHandler::leaveAnswering()
{
    m_answering = false;
    if (m_peerGone) {
        m_peerGone = false;
        disconnected();
    }
}

// A TLS socket reports new data from inside its waits for written bytes:
// the request being answered is never read again in the middle of its
// answer. What arrived meanwhile is read once the answer is done.
void HttpConnectionHandler::read()
{
    if (m_answering)
        return;
    try {
        readRequests();
    } catch (...) {
        giveUpAfterException("reading");
    }
}

// The handler is free again before the peer can see the connection end: a new
// connection is queued to this thread and runs only after this returns.
void HttpConnectionHandler::abandonConnection()
{
    m_readTimer.stop();
    delete m_currentRequest;
    m_currentRequest = nullptr;
    m_busy.storeRelease(0);
    m_socket->abort();
}

void HttpConnectionHandler::readRequests()
{
    m_answering = true;
    while (m_socket->bytesAvailable() && m_socket->state() == QAbstractSocket::ConnectedState && !m_peerGone) {
        if (!m_currentRequest)
            m_currentRequest = new HttpRequest(m_maxRequestSize, m_maxMultiPartSize, m_maxMultiParts);

        while (m_socket->bytesAvailable() && m_currentRequest->status() != HttpRequest::Complete
               && m_currentRequest->status() != HttpRequest::Aborted) {
            m_currentRequest->readFrom(m_socket);
            if (m_currentRequest->status() == HttpRequest::AwaitingBody)
                startReadTimer();
        }

        if (m_currentRequest->status() == HttpRequest::Aborted) {
            m_socket->write(refusal(m_currentRequest->abortStatus()));
            closeConnection();
            delete m_currentRequest;
            m_currentRequest = nullptr;
            break;
        }

        if (m_currentRequest->status() != HttpRequest::Complete)
            break;

        // The timer is not looked at while the request handler runs on this
        // thread; it is restarted afterwards.
        qCDebug(lcServer, "HttpConnectionHandler (%p): received request", static_cast<void*>(this));
        if (!answer(*m_currentRequest)) {
            delete m_currentRequest;
            m_currentRequest = nullptr;
            break;
        }
        delete m_currentRequest;
        m_currentRequest = nullptr;
    }
    leaveAnswering();
}

// Serves one complete request. False when the connection ends with it.
bool HttpConnectionHandler::answer(HttpRequest& request)
{
    HttpResponse response(m_socket, m_readTimeout);
    bool closeAfterResponse = request.header("Connection").compare("close", Qt::CaseInsensitive) == 0;
    if (closeAfterResponse) {
        response.setHeader("Connection", "close");
        response.setHeader("Access-Control-Allow-Origin", "*");
    } else if (request.version().compare("HTTP/1.0", Qt::CaseInsensitive) == 0) {
        closeAfterResponse = true;
        response.setHeader("Connection", "close");
    }

    try {
        m_requestHandler->service(request, response);
    } catch (...) {
        qCCritical(lcServer, "HttpConnectionHandler (%p): An uncatched exception occured in the request handler",
                   static_cast<void*>(this));
        if (response.headersSent()) {
            // Whatever follows could only pass for a whole answer.
            m_socket->abort();
            return false;
        }
        response.headers().clear();
        response.cookies().clear();
        response.setStatus(500, "Internal Server Error");
        response.setHeader("Connection", "close");
        response.write(kInternalError, true);
        closeConnection();
        return false;
    }

    if (!response.lastPartSent())
        response.write(QByteArray(), true);

    qCDebug(lcServer, "HttpConnectionHandler (%p): finished request", static_cast<void*>(this));

    if (!closeAfterResponse) {
        const QMap<QByteArray, QByteArray>& headers = response.headers();
        if (headers.value("Connection").compare("close", Qt::CaseInsensitive) == 0)
            closeAfterResponse = true;
        else if (!headers.contains("Content-Length") && !response.hasNoBody()
                 && headers.value("Transfer-Encoding").compare("chunked", Qt::CaseInsensitive) != 0)
            closeAfterResponse = true;
    }

    if (closeAfterResponse) {
        closeConnection();
        return false;
    }
    if (!m_lowDelay)
        setLowDelay();
    startReadTimer();
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

} // namespace quillon
