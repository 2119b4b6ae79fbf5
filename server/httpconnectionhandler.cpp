#include "httpconnectionhandler.h"

#include "httpconnectionloop.h"
#include "httpconnectionsettings.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "logging.h"
#include "peeraccountfilter.h"
#include "socketdescriptor.h"
#include "socketoutput.h"
#include "sslservercontext.h"

#include <QTcpSocket>

namespace quillon {

namespace {
const QByteArray kInternalError = "500 Internal Server Error\r\n";
// What a peer may send while its answer waits stays in the socket's buffer,
// at most this much (or maxRequestSize); the system holds the rest back.
constexpr qint64 kMinReadBuffer = 65536;
// Requests answered from what one connection has buffered before the other
// connections of the loop get their turn.
constexpr int kAnswersPerTurn = 8;
// A device's body is read while less than this waits for the peer.
constexpr qint64 kBodyQueue = 262144;
constexpr qint64 kBodyBlockSize = 65536;

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
        return "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
    }
}
} // namespace

HttpConnectionHandler::HttpConnectionHandler(HttpConnectionLoop* loop)
    : m_loop(loop)
{
}

HttpConnectionHandler::~HttpConnectionHandler()
{
    delete m_socket;
}

bool HttpConnectionHandler::adopt(tSocketDescriptor socketDescriptor)
{
    qCDebug(lcServer, "HttpConnectionHandler (%p): handle new connection", static_cast<void*>(this));
    SslServerContext* sslContext = m_loop->sslContext();
    if (sslContext) {
        m_socket = sslContext->createSocket(this, [this] { outputWritten(); });
        m_tls = true;
    } else {
        m_socket = new QTcpSocket;
    }
    if (!m_socket->setSocketDescriptor(socketDescriptor)) {
        qCCritical(lcServer, "HttpConnectionHandler (%p): cannot initialize socket: %s", static_cast<void*>(this),
                   qPrintable(m_socket->errorString()));
        socketdescriptor::close(socketDescriptor);
        finish();
        return false;
    }
    // Another account's program is turned away before a byte of it is read.
    QString refusal;
    if (!m_loop->peerFilter().admits(m_socket->localAddress(), m_socket->localPort(), m_socket->peerAddress(),
                                     m_socket->peerPort(), &refusal)) {
        qCWarning(lcServer, "HttpConnectionHandler: refused %s: only this account's programs may use this server "
                            "(allowedAccounts names others)",
                  qPrintable(refusal));
        abort();
        return false;
    }
    const HttpConnectionSettings& settings = m_loop->settings();
    m_socket->setReadBufferSize(qMax<qint64>(settings.maxRequestSize, kMinReadBuffer));
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnectionHandler::read);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnectionHandler::outputWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnectionHandler::disconnected);
    if (m_tls) {
        // Small answers on a kept-alive connection must not wait for the
        // peer's delayed acknowledgement; a plain connection sets it after its
        // first answer, which leaves at once anyway.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_lowDelay = true;
        qCDebug(lcServer, "HttpConnectionHandler (%p): Starting encryption", static_cast<void*>(this));
        sslContext->startServerEncryption(m_socket);
    }
    setState(State::Idle, settings.keepAliveTimeout);
    return true;
}

void HttpConnectionHandler::setState(State state, int timeout)
{
    m_state = state;
    if (state == State::Closed || state == State::Answering) {
        m_deadline = 0;
        return;
    }
    m_deadline = qMax<qint64>(1, m_loop->now() + timeout);
    m_loop->watchDeadline(m_deadline);
}

void HttpConnectionHandler::deadlinePassed()
{
    switch (m_state) {
    case State::Idle:
    case State::ReadingHead:
    case State::ReadingBody:
        qCDebug(lcServer, "HttpConnectionHandler (%p): read timeout occured", static_cast<void*>(this));
        m_request.reset();
        closeAfterOutput();
        break;
    case State::Writing:
    case State::Closing:
        // Nothing of the answer left for writeTimeout: the peer does not read.
        qCDebug(lcServer, "HttpConnectionHandler (%p): the peer reads nothing, connection dropped",
                static_cast<void*>(this));
        abort();
        break;
    case State::Answering:
    case State::Closed:
        break;
    }
}

void HttpConnectionHandler::abort()
{
    if (m_state == State::Closed)
        return;
    m_body.reset();
    m_request.reset();
    m_socket->abort();
    finish();
}

// The connection is over for good: the loop forgets it and deletes it later.
void HttpConnectionHandler::finish()
{
    if (m_state == State::Closed)
        return;
    setState(State::Closed);
    releasePlace();
    m_loop->connectionEnded(this);
}

void HttpConnectionHandler::releasePlace()
{
    if (m_placeReleased)
        return;
    m_placeReleased = true;
    m_loop->releasePlace();
}

// The place among maxThreads is free before the peer can see the end, so
// that its next connection is never turned away for this one.
void HttpConnectionHandler::closeNow()
{
    releasePlace();
    m_socket->disconnectFromHost();
}

// Each slot catches what its work throws (running out of memory, say), so
// that nothing unwinds through Qt's socket code: the connection is given up.
void HttpConnectionHandler::giveUpAfterException(const char* where)
{
    qCCritical(lcServer, "HttpConnectionHandler (%p): an exception occured while %s, connection dropped",
               static_cast<void*>(this), where);
    try {
        abort();
    } catch (...) {
        finish();
    }
}

void HttpConnectionHandler::read()
{
    // While an answer is written or waits, what arrives stays buffered.
    if (m_state != State::Idle && m_state != State::ReadingHead && m_state != State::ReadingBody)
        return;
    try {
        process();
    } catch (...) {
        giveUpAfterException("reading");
    }
}

// Parses what has arrived and answers every complete request in order, as
// long as the answers leave at once; an answer the peer has not taken yet
// holds the next request back until it has. A long run of pipelined
// requests goes on in a later turn of the loop.
void HttpConnectionHandler::process()
{
    const HttpConnectionSettings& settings = m_loop->settings();
    int answered = 0;
    while ((m_state == State::Idle || m_state == State::ReadingHead || m_state == State::ReadingBody)
           && m_socket->bytesAvailable() > 0) {
        if (!m_request) {
            m_request = std::make_unique<HttpRequest>(settings.maxRequestSize, settings.maxMultiPartSize,
                                                      settings.maxMultiParts);
            setState(State::ReadingHead, settings.headTimeout);
        }
        const qint64 before = m_socket->bytesAvailable();
        m_request->readFrom(m_socket);
        switch (m_request->status()) {
        case HttpRequest::Aborted:
            refuse(m_request->abortStatus());
            return;
        case HttpRequest::AwaitingBody:
            if (m_socket->bytesAvailable() == before)
                return; // nothing taken: wait for more
            setState(State::ReadingBody, settings.bodyTimeout);
            break;
        case HttpRequest::Complete: {
            qCDebug(lcServer, "HttpConnectionHandler (%p): received request", static_cast<void*>(this));
            std::unique_ptr<HttpRequest> request = std::move(m_request);
            if (!answer(*request))
                return;
            if (m_body || pendingOutput(m_socket) > 0) {
                setState(State::Writing, settings.writeTimeout);
                sendBody();
                return;
            }
            setState(State::Idle, settings.keepAliveTimeout);
            if (++answered == kAnswersPerTurn && m_socket->bytesAvailable() > 0) {
                QMetaObject::invokeMethod(this, &HttpConnectionHandler::read, Qt::QueuedConnection);
                return;
            }
            break;
        }
        default:
            if (m_socket->bytesAvailable() == before)
                return; // nothing taken: wait for more
            break;
        }
    }
}

// Serves one complete request. False when the connection ends with it.
bool HttpConnectionHandler::answer(HttpRequest& request)
{
    setState(State::Answering);
    m_peerGone = false;
    HttpResponse response(m_socket);
    bool closeAfterResponse = request.header("Connection").compare("close", Qt::CaseInsensitive) == 0;
    if (closeAfterResponse) {
        response.setHeader("Connection", "close");
        response.setHeader("Access-Control-Allow-Origin", "*");
    } else if (request.version().compare("HTTP/1.0", Qt::CaseInsensitive) == 0) {
        closeAfterResponse = true;
        response.setHeader("Connection", "close");
    }

    try {
        m_loop->requestHandler()->service(request, response);
    } catch (...) {
        qCCritical(lcServer, "HttpConnectionHandler (%p): An uncatched exception occured in the request handler",
                   static_cast<void*>(this));
        if (response.headersSent()) {
            // Whatever follows could only pass for a whole answer.
            abort();
            return false;
        }
        response.headers().clear();
        response.cookies().clear();
        response.setStatus(500, "Internal Server Error");
        response.setHeader("Connection", "close");
        response.write(kInternalError, true);
        closeAfterOutput();
        return false;
    }
    m_body = response.takeBodyDevice();
    if (!response.lastPartSent())
        response.write(QByteArray(), true);
    qCDebug(lcServer, "HttpConnectionHandler (%p): finished request", static_cast<void*>(this));

    if (m_peerGone || m_socket->state() == QAbstractSocket::UnconnectedState) {
        abort();
        return false;
    }
    // The peer closed its side: what is queued still goes out.
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        closeAfterResponse = true;
    if (!closeAfterResponse) {
        const QMap<QByteArray, QByteArray>& headers = response.headers();
        if (headers.value("Connection").compare("close", Qt::CaseInsensitive) == 0)
            closeAfterResponse = true;
        else if (!headers.contains("Content-Length") && !response.hasNoBody()
                 && headers.value("Transfer-Encoding").compare("chunked", Qt::CaseInsensitive) != 0)
            closeAfterResponse = true;
    }
    if (closeAfterResponse) {
        closeAfterOutput();
        return false;
    }
    if (!m_lowDelay) {
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_lowDelay = true;
    }
    return true;
}

void HttpConnectionHandler::refuse(int status)
{
    m_request.reset();
    m_socket->write(refusal(status));
    closeAfterOutput();
}

// The connection ends once what is queued (and a device's body) has left.
void HttpConnectionHandler::closeAfterOutput()
{
    setState(State::Closing, m_loop->settings().writeTimeout);
    sendBody();
    outputDone();
}

// Tops the queue up from a device's body as the peer takes it. The socket
// sends it from its event loop and reports each step (outputWritten): never
// from inside this call.
void HttpConnectionHandler::sendBody()
{
    while (m_body && pendingOutput(m_socket) < kBodyQueue) {
        if (m_body->atEnd()) {
            m_body.reset();
            break;
        }
        const QByteArray block = m_body->read(kBodyBlockSize);
        if (block.isEmpty()) {
            // The file shrank or cannot be read: the answer cannot be whole.
            qCWarning(lcServer, "HttpConnectionHandler (%p): the answer's body cannot be read, connection dropped",
                      static_cast<void*>(this));
            abort();
            return;
        }
        m_socket->write(block);
    }
}

void HttpConnectionHandler::outputWritten()
{
    if (m_state != State::Writing && m_state != State::Closing)
        return; // written during the answer, or while the next request is read
    try {
        setState(m_state, m_loop->settings().writeTimeout);
        sendBody();
        outputDone();
    } catch (...) {
        giveUpAfterException("writing");
    }
}

// Once the answer has left, the connection reads the next request, or ends.
void HttpConnectionHandler::outputDone()
{
    if (m_body || pendingOutput(m_socket) > 0)
        return;
    if (m_state == State::Closing) {
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            closeNow();
    } else if (m_state == State::Writing) {
        setState(State::Idle, m_loop->settings().keepAliveTimeout);
        process();
    }
}

// While the request handler runs the socket may report the end of the
// connection from inside a write: the connection ends once the answer does.
void HttpConnectionHandler::disconnected()
{
    if (m_state == State::Answering) {
        m_peerGone = true;
        return;
    }
    qCDebug(lcServer, "HttpConnectionHandler (%p): disconnected", static_cast<void*>(this));
    m_body.reset();
    m_request.reset();
    finish();
}

} // namespace quillon
