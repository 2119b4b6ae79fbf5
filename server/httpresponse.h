#pragma once

#include "httpcookie.h"

#include <QByteArray>
#include <QMap>

class QTcpSocket;

namespace quillon {

// The answer to one request: status line, headers and cookies once, then the
// body in one piece (Content-Length), in chunks (keep-alive) or as a stream
// that ends when the connection closes ("Connection: close").
class HttpResponse
{
public:
    // stallTimeout bounds every wait for the send queue: when no byte leaves
    // the queue for that many milliseconds the connection is dropped.
    explicit HttpResponse(QTcpSocket* socket, int stallTimeout = 10000);

    void setHeader(const QByteArray& name, const QByteArray& value);
    void setStatus(int statusCode, const QByteArray& statusText);
    QMap<QByteArray, QByteArray>& headers() { return m_headers; }
    QMap<QByteArray, HttpCookie>& cookies() { return m_cookies; }
    void setCookie(const HttpCookie& cookie);

    int status() const { return m_statusCode; }
    QByteArray statusText() const { return m_statusText; }

    void write(const QByteArray& data, bool lastPart = false);
    bool lastPartSent() const { return m_sentLastPart; }
    bool headersSent() const { return m_sentHeaders; }
    // Statuses whose answers end with their headers (1xx, 204, 304).
    bool hasNoBody() const;

private:
    void sendHeaders();
    bool sendRaw(const QByteArray& data);

    QMap<QByteArray, QByteArray> m_headers;
    QTcpSocket* m_socket;
    int m_statusCode = 200;
    QByteArray m_statusText = "OK";
    bool m_sentHeaders = false;
    bool m_sentLastPart = false;
    bool m_chunkedMode = false;
    QMap<QByteArray, HttpCookie> m_cookies;
    int m_stallTimeout;
};

} // namespace quillon
