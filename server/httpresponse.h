#pragma once

#include "httpcookie.h"

#include <QByteArray>
#include <QIODevice>
#include <QMap>

#include <memory>

class QTcpSocket;

namespace quillon {

// The answer to one request: status line, headers and cookies once, then the
// body in one piece (Content-Length), in chunks (keep-alive), as a stream
// that ends when the connection closes ("Connection: close"), or from a
// device. Writing never waits for the peer: what the socket cannot take yet
// is queued, up to kMaxQueuedOutput, and sent as the peer reads.
class HttpResponse
{
public:
    // A handler that queues more than this for a peer that does not read
    // loses the connection; a larger answer comes from a device.
    static constexpr qint64 kMaxQueuedOutput = 64LL << 20;

    explicit HttpResponse(QTcpSocket* socket);
    // A body device that no connection took over is written out here.
    ~HttpResponse();

    void setHeader(const QByteArray& name, const QByteArray& value);
    void setStatus(int statusCode, const QByteArray& statusText);
    QMap<QByteArray, QByteArray>& headers() { return m_headers; }
    QMap<QByteArray, HttpCookie>& cookies() { return m_cookies; }
    void setCookie(const HttpCookie& cookie);

    int status() const { return m_statusCode; }
    QByteArray statusText() const { return m_statusText; }

    void write(const QByteArray& data, bool lastPart = false);
    // The whole body is the rest of `device`, open for reading and owned by
    // the response from now on: its length goes into Content-Length, the
    // headers are sent, and the connection reads the device as the peer
    // takes the bytes, so an answer of any size holds a block in memory.
    // Only before anything else was written.
    void writeDevice(QIODevice* device);
    std::unique_ptr<QIODevice> takeBodyDevice() { return std::move(m_bodyDevice); }
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
    std::unique_ptr<QIODevice> m_bodyDevice;
};

} // namespace quillon
