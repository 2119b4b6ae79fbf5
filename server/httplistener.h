#pragma once

#include "httpconnectionhandler.h"

#include <QTcpServer>

class QSettings;

namespace quillon {

class HttpConnectionHandlerPool;
class HttpRequestHandler;

// Listens on the configured host and port and hands each accepted connection
// to an idle connection handler; answers 503 itself when all are busy.
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
    void retryAfterAcceptError(QAbstractSocket::SocketError error);

    QSettings* m_settings;
    HttpRequestHandler* m_requestHandler;
    HttpConnectionHandlerPool* m_pool = nullptr;
    bool m_acceptFailing = false;
};

} // namespace quillon
