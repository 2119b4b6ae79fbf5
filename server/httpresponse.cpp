#include "httpresponse.h"

#include "socketoutput.h"

#include <QTcpSocket>

namespace quillon {

namespace {
constexpr qint64 kMaxQueuedBytes = 16384;
}

HttpResponse::HttpResponse(QTcpSocket* socket, int stallTimeout)
    : m_socket(socket)
    , m_stallTimeout(stallTimeout)
{
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
        m_socket->flush();
        m_sentLastPart = true;
    }
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
    qint64 written = 0;
    while (m_socket->isOpen() && written < data.size()) {
        // Encrypted bytes count too: a TLS peer that stops reading must not
        // make the queue grow without bound.
        if (pendingOutput(m_socket) > kMaxQueuedBytes) {
            // The peer stopped reading (or the connection broke): the worker
            // thread is given back instead of waiting forever.
            if (!waitForOutput(m_socket, m_stallTimeout))
                return false;
            continue;
        }
        // At most the bound at a time: one large write would queue all of it.
        const qint64 n = m_socket->write(data.constData() + written, qMin(data.size() - written, kMaxQueuedBytes));
        if (n == -1)
            return false;
        written += n;
    }
    return true;
}

} // namespace quillon
