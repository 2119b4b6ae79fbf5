#include "httpresponse.h"

#include "logging.h"
#include "socketoutput.h"

#include <QIODevice>
#include <QTcpSocket>

namespace quillon {

namespace {
constexpr qint64 kDeviceBlockSize = 65536;
} // namespace

HttpResponse::HttpResponse(QTcpSocket* socket)
    : m_socket(socket)
{
}

HttpResponse::~HttpResponse()
{
    if (!m_bodyDevice)
        return;
    while (!m_bodyDevice->atEnd() && sendRaw(m_bodyDevice->read(kDeviceBlockSize))) {
    }
}

void HttpResponse::setHeader(const QByteArray& name, const QByteArray& value)
{
    if (!m_sentHeaders)
        m_headers.insert(name, value);
}

void HttpResponse::setStatus(int statusCode, const QByteArray& statusText)
{
    if (m_sentHeaders)
        return;
    m_statusCode = statusCode;
    m_statusText = statusText;
}

void HttpResponse::setCookie(const HttpCookie& cookie)
{
    if (!cookie.name().isEmpty())
        m_cookies.insert(cookie.name(), cookie);
}

void HttpResponse::write(const QByteArray& data, bool lastPart)
{
    if (!m_sentHeaders) {
        if (lastPart) {
            // RFC 9110 8.6: no Content-Length (and no body) in a 1xx, 204 or 304 answer.
            if (!hasNoBody())
                m_headers.insert("Content-Length", QByteArray::number(data.size()));
            // Every whole answer may be read by any page, unless the handler
            // named the one origin that may.
            if (!m_headers.contains("Access-Control-Allow-Origin"))
                m_headers.insert("Access-Control-Allow-Origin", "*");
        } else {
            QByteArray connection = m_headers.value("Connection", m_headers.value("connection"));
            if (connection.compare("close", Qt::CaseInsensitive) != 0) {
                m_headers.insert("Transfer-Encoding", "chunked");
                m_chunkedMode = true;
            }
        }
        sendHeaders();
    }

    if (!data.isEmpty() && !hasNoBody()) {
        if (m_chunkedMode) {
            sendRaw(QByteArray::number(data.size(), 16));
            sendRaw("\r\n");
            sendRaw(data);
            sendRaw("\r\n");
        } else {
            sendRaw(data);
        }
    }

    if (lastPart) {
        if (m_chunkedMode)
            sendRaw("0\r\n\r\n");
        m_sentLastPart = true;
    }
    // Each part is handed to the system at once, as much of it as it takes
    // without waiting: the request handler may take a while for the next.
    if (m_socket && m_socket->isOpen())
        m_socket->flush();
}

bool HttpResponse::hasNoBody() const
{
    return (m_statusCode >= 100 && m_statusCode < 200) || m_statusCode == 204 || m_statusCode == 304;
}

void HttpResponse::sendHeaders()
{
    QByteArray buffer;
    buffer.reserve(256);
    buffer.append("HTTP/1.1 ").append(QByteArray::number(m_statusCode)).append(' ').append(m_statusText).append("\r\n");
    for (auto it = m_headers.cbegin(); it != m_headers.cend(); ++it)
        buffer.append(it.key()).append(": ").append(it.value()).append("\r\n");
    for (const HttpCookie& cookie : qAsConst(m_cookies))
        buffer.append("Set-Cookie: ").append(cookie.toHeaderValue()).append("\r\n");
    buffer.append("\r\n");
    sendRaw(buffer);
    m_sentHeaders = true;
}

bool HttpResponse::sendRaw(const QByteArray& data)
{
    if (!m_socket || !m_socket->isOpen())
        return false;
    // Encrypted bytes count too.
    if (pendingOutput(m_socket) > kMaxQueuedOutput - data.size()) {
        qCWarning(lcServer, "HttpResponse: the peer has not read %lld bytes of its answer, connection dropped",
                  pendingOutput(m_socket));
        m_socket->abort();
        return false;
    }
    return m_socket->write(data) == data.size();
}

void HttpResponse::writeDevice(QIODevice* device)
{
    std::unique_ptr<QIODevice> owned(device);
    if (m_sentHeaders || hasNoBody()) {
        // The body has begun: the rest goes as ordinary parts.
        while (!owned->atEnd() && !hasNoBody())
            write(owned->read(kDeviceBlockSize));
        return;
    }
    m_bodyDevice = std::move(owned);
    m_headers.insert("Content-Length", QByteArray::number(device->size() - device->pos()));
    if (!m_headers.contains("Access-Control-Allow-Origin"))
        m_headers.insert("Access-Control-Allow-Origin", "*");
    sendHeaders();
    m_sentLastPart = true;
}

} // namespace quillon
