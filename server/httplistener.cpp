#include "httplistener.h"

#include "httpconnectionhandlerpool.h"
#include "logging.h"
#include "settings.h"

#include <QTcpSocket>
#include <QTimer>
#include <QtDebug>

namespace quillon {

namespace {
// Pause before accepting again after an accept error.
constexpr int kAcceptRetryMs = 200;
} // namespace

HttpListener::HttpListener(QSettings* settings, HttpRequestHandler* requestHandler, QObject* parent)
    : QTcpServer(parent)
    , m_settings(settings)
    , m_requestHandler(requestHandler)
{
    qRegisterMetaType<tSocketDescriptor>("tSocketDescriptor");
    qRegisterMetaType<tSocketDescriptor>("quillon::tSocketDescriptor");
    // QTcpServer stops accepting after an error such as running out of file
    // descriptors; it is made to try again, so that such a moment never
    // silences the server for good.
    connect(this, &QTcpServer::acceptError, this, &HttpListener::retryAfterAcceptError);
    startListening();
}

void HttpListener::retryAfterAcceptError(QAbstractSocket::SocketError error)
{
    if (!m_acceptFailing)
        qCWarning(lcServer, "HttpListener: cannot accept connections (%s, error %i), trying again every %i ms",
                  qPrintable(errorString()), int(error), kAcceptRetryMs);
    m_acceptFailing = true;
    QTimer::singleShot(kAcceptRetryMs, this, [this] {
        if (isListening())
            resumeAccepting();
    });
}

HttpListener::~HttpListener()
{
    // The I/O threads end first: they accept from this socket too.
    delete m_pool;
    close();
    qCDebug(lcServer, "HttpListener: closed");
    qCDebug(lcServer, "HttpListener: destroyed");
}

void HttpListener::startListening()
{
    if (!m_pool)
        m_pool = new HttpConnectionHandlerPool(m_settings, m_requestHandler);
    const QString host = settingValue(m_settings, QStringLiteral("host")).toString();
    const quint16 port = quint16(settingValue(m_settings, QStringLiteral("port")).toInt());
    const QHostAddress address = host.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(host);
    if (!listen(address, port)) {
        qCCritical(lcServer, "HttpListener: Cannot bind on port %i: %s", int(port), qPrintable(errorString()));
        return;
    }
    qCDebug(lcServer, "HttpListener: Listening on port %i", int(serverPort()));
    // Connections are taken only once this thread's event loop runs, so that
    // what its owner sets up after the constructor (a request gate, say) is
    // in place before the first request.
    pauseAccepting();
    QMetaObject::invokeMethod(this, &HttpListener::startServing, Qt::QueuedConnection);
}

// Where they can, the I/O threads accept themselves, without a thread hop
// per connection; otherwise this listener accepts and hands connections over.
void HttpListener::startServing()
{
    if (isListening() && !m_pool->start(socketDescriptor()))
        resumeAccepting();
}

void HttpListener::incomingConnection(tSocketDescriptor socketDescriptor)
{
    if (m_acceptFailing) {
        m_acceptFailing = false;
        qCDebug(lcServer, "HttpListener: accepting connections again");
    }
    if (m_pool && m_pool->handleConnection(socketDescriptor))
        return;

    qCDebug(lcServer, "HttpListener: Too many incoming connections");
    auto* socket = new QTcpSocket(this);
    socket->setSocketDescriptor(socketDescriptor);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write("HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n");
    socket->disconnectFromHost();
}

} // namespace quillon
