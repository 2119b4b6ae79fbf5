#include "httplistener.h"

#include "httpconnectionhandlerpool.h"
#include "locking.h"
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
    close();
    qCDebug(lcServer, "HttpListener: closed");
    delete m_pool;
    qCDebug(lcServer, "HttpListener: destroyed");
}

void HttpListener::startListening()
{
    if (!m_pool)
        m_pool = new HttpConnectionHandlerPool(m_settings, m_requestHandler);
    const QString host = settingValue(m_settings, QStringLiteral("host")).toString();
    const quint16 port = quint16(settingValue(m_settings, QStringLiteral("port")).toInt());
    const QHostAddress address = host.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(host);
    if (listen(address, port))
        qCDebug(lcServer, "HttpListener: Listening on port %i", int(serverPort()));
    else
        qCCritical(lcServer, "HttpListener: Cannot bind on port %i: %s", int(port), qPrintable(errorString()));
}

void HttpListener::incomingConnection(tSocketDescriptor socketDescriptor)
{
    if (m_acceptFailing) {
        m_acceptFailing = false;
        qCDebug(lcServer, "HttpListener: accepting connections again");
    }
    HttpConnectionHandler* handler = m_pool ? m_pool->acquireHandler() : nullptr;
    if (handler) {
        tsanRelease(handler);
        QMetaObject::invokeMethod(handler, "handleConnection", Qt::QueuedConnection,
                                  Q_ARG(quillon::tSocketDescriptor, socketDescriptor));
        return;
    }

    qCDebug(lcServer, "HttpListener: Too many incoming connections");
    auto* socket = new QTcpSocket(this);
    socket->setSocketDescriptor(socketDescriptor);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write("HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n");
    socket->disconnectFromHost();
}

} // namespace quillon
