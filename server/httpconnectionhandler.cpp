#include "httpconnectionhandler.h"

#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "debuglog.h"
#include "locking.h"
#include "settings.h"
#include "sslservercontext.h"

#if defined(Q_OS_UNIX) && __has_include(<private/qeventdispatcher_unix_p.h>)
#include <private/qeventdispatcher_unix_p.h>
#define QUILLON_UNIX_DISPATCHER
#endif
#include <QSslSocket>
#include <QtDebug>

#include <new>

namespace quillon {

QAtomicInt HttpConnectionHandler::s_injectedReadFailures;

namespace {
const QByteArray kEntityTooLarge = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
}

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

    createSocket();
    if (m_sslContext)
        qDebug("HttpConnectionHandler (%p): SSL is enabled", static_cast<void*>(this));

    moveToThread(this);
    m_socket->moveToThread(this);
    m_readTimer.moveToThread(this);

    connect(&m_readTimer, &QTimer::timeout, this, &HttpConnectionHandler::readTimeout);
    m_readTimer.setSingleShot(true);

    qDebug("HttpConnectionHandler (%p): constructed", static_cast<void*>(this));
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
    qDebug("HttpConnectionHandler (%p): destroyed", static_cast<void*>(this));
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

void HttpConnectionHandler::injectReadFailures(int count)
{
    s_injectedReadFailures.storeRelaxed(count);
}

void HttpConnectionHandler::run()
{
    tsanAcquire(this);
    qDebug("HttpConnectionHandler (%p): thread started", static_cast<void*>(this));
    // An exception that escapes the event loop costs the connection it came
    // from, not the handler: the pool keeps handing this thread out. The
    // socket went through the unwinding and is replaced by a fresh one.
    for (;;) {
        try {
            exec();
            break;
        } catch (...) {
            qCritical("HttpConnectionHandler (%p): an uncatched exception occured in the thread",
                      static_cast<void*>(this));
            abandonConnection();
            m_socket->disconnect(this);
            m_socket->deleteLater();
            createSocket();
        }
    }
    m_socket->close();
    delete m_socket;
    m_socket = nullptr;
    m_readTimer.stop();
    delete m_currentRequest;
    m_currentRequest = nullptr;
    qDebug("HttpConnectionHandler (%p): thread stopped", static_cast<void*>(this));
    tsanRelease(this);
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
    QUILLON_DEBUG("HttpConnectionHandler (%p): handle new connection", static_cast<void*>(this));
    setBusy();

    // Nothing of the previous connection (state, unsent output) may survive.
    // A TLS socket also keeps its encryption mode through abort(); a connect
    // attempt resets that, and the abort ends it at once.
    if (m_sslContext)
        m_socket->connectToHost(QString(), 0);
    m_socket->abort();

    if (!m_socket->setSocketDescriptor(socketDescriptor)) {
        qCritical("HttpConnectionHandler (%p): cannot initialize socket: %s", static_cast<void*>(this),
                  qPrintable(m_socket->errorString()));
        m_busy.storeRelease(0);
        return;
    }
    // Small answers on a kept-alive connection must not wait for the peer's
    // delayed acknowledgement. A plain connection's first answer leaves at
    // once anyway, so for one that is closed after it the call is saved.
    m_lowDelay = false;
    if (m_sslContext)
        setLowDelay();

    if (m_sslContext) {
        QUILLON_DEBUG("HttpConnectionHandler (%p): Starting encryption", static_cast<void*>(this));
        m_sslContext->startServerEncryption(static_cast<QSslSocket*>(m_socket));
    }

    startReadTimer();

    delete m_currentRequest;
    m_currentRequest = nullptr;
}

void HttpConnectionHandler::setLowDelay()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_lowDelay = true;
}

void HttpConnectionHandler::readTimeout()
{
    const qint64 remaining = m_readTimeout - m_lastActivity.elapsed();
    if (remaining > 0) {
        m_readTimer.start(int(remaining));
        return;
    }
    QUILLON_DEBUG("HttpConnectionHandler (%p): read timeout occured", static_cast<void*>(this));
    closeConnection();
    delete m_currentRequest;
    m_currentRequest = nullptr;
}

// Waits until the send queue is empty. Gives up, dropping the connection, when
// no byte leaves the queue for "readTimeout" milliseconds.
bool HttpConnectionHandler::drainOutput()
{
    while (m_socket->bytesToWrite() > 0) {
        if (!m_socket->waitForBytesWritten(m_readTimeout)) {
            m_socket->abort();
            return false;
        }
    }
    return true;
}

void HttpConnectionHandler::closeConnection()
{
    if (drainOutput())
        m_socket->disconnectFromHost();
}

void HttpConnectionHandler::disconnected()
{
    QUILLON_DEBUG("HttpConnectionHandler (%p): disconnected", static_cast<void*>(this));
    m_socket->close();
    m_readTimer.stop();
    m_busy.storeRelease(0);
}

// A failure while reading (running out of memory, say) must not unwind
// through Qt's socket code, which would leave the socket unable to signal
// again: it ends this connection here and frees the handler.
void HttpConnectionHandler::read()
{
    try {
        readRequests();
    } catch (...) {
        qCritical("HttpConnectionHandler (%p): an exception occured while reading, connection dropped",
                  static_cast<void*>(this));
        abandonConnection();
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
    for (int pending = s_injectedReadFailures.loadRelaxed(); pending > 0;
         pending = s_injectedReadFailures.loadRelaxed()) {
        if (s_injectedReadFailures.testAndSetRelaxed(pending, pending - 1))
            throw std::bad_alloc();
    }

    while (m_socket->bytesAvailable() && m_socket->state() == QAbstractSocket::ConnectedState) {
        if (!m_currentRequest)
            m_currentRequest = new HttpRequest(m_maxRequestSize, m_maxMultiPartSize);

        while (m_socket->bytesAvailable() && m_currentRequest->status() != HttpRequest::Complete
               && m_currentRequest->status() != HttpRequest::Aborted) {
            m_currentRequest->readFrom(m_socket);
            if (m_currentRequest->status() == HttpRequest::AwaitingBody)
                startReadTimer();
        }

        if (m_currentRequest->status() == HttpRequest::Aborted) {
            m_socket->write(kEntityTooLarge);
            closeConnection();
            delete m_currentRequest;
            m_currentRequest = nullptr;
            return;
        }

        if (m_currentRequest->status() != HttpRequest::Complete)
            return;

        // The timer is not looked at while the request handler runs on this
        // thread; it is restarted afterwards.
        QUILLON_DEBUG("HttpConnectionHandler (%p): received request", static_cast<void*>(this));

        HttpResponse response(m_socket, m_readTimeout);
        bool closeAfterResponse = m_currentRequest->header("Connection").compare("close", Qt::CaseInsensitive) == 0;
        if (closeAfterResponse) {
            response.setHeader("Connection", "close");
            response.setHeader("Access-Control-Allow-Origin", "*");
        } else if (m_currentRequest->version().compare("HTTP/1.0", Qt::CaseInsensitive) == 0) {
            closeAfterResponse = true;
            response.setHeader("Connection", "close");
        }

        try {
            m_requestHandler->service(*m_currentRequest, response);
        } catch (...) {
            qCritical("HttpConnectionHandler (%p): An uncatched exception occured in the request handler",
                      static_cast<void*>(this));
        }

        if (!response.lastPartSent())
            response.write(QByteArray(), true);

        QUILLON_DEBUG("HttpConnectionHandler (%p): finished request", static_cast<void*>(this));

        if (!closeAfterResponse) {
            const QMap<QByteArray, QByteArray>& headers = response.headers();
            if (headers.value("Connection").compare("close", Qt::CaseInsensitive) == 0)
                closeAfterResponse = true;
            else if (!headers.contains("Content-Length")
                     && headers.value("Transfer-Encoding").compare("chunked", Qt::CaseInsensitive) != 0)
                closeAfterResponse = true;
        }

        if (closeAfterResponse) {
            closeConnection();
        } else {
            if (!m_lowDelay)
                setLowDelay();
            startReadTimer();
        }

        delete m_currentRequest;
        m_currentRequest = nullptr;
    }
}

} // namespace quillon
