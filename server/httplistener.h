#pragma once

#include "socketdescriptor.h"

#include <QTcpServer>

class QSettings;

namespace quillon {

class HttpConnectionHandlerPool;
class HttpRequestHandler;

// Listens on the configured host and port. Its I/O threads accept from the
// socket themselves where the system allows it; otherwise it accepts and
// hands each connection to the thread that serves the fewest. Beyond
// "maxThreads" connections a connection gets 503.
class HttpListener : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpListener)

public:
    HttpListener(QSettings* settings, HttpRequestHandler* requestHandler, QObject* parent = nullptr);
    ~HttpListener() override;

    void startListening();
    HttpConnectionHandlerPool* connectionPool() const { return m_pool; }

signals:
    void handleConnection(quillon::tSocketDescriptor socketDescriptor);

protected:
    void incomingConnection(tSocketDescriptor socketDescriptor) override;

private:
    void startServing();
    void retryAfterAcceptError(QAbstractSocket::SocketError error);

    QSettings* m_settings;
    HttpRequestHandler* m_requestHandler;
    HttpConnectionHandlerPool* m_pool = nullptr;
    bool m_acceptFailing = false;
};

} // namespace quillon
