#pragma once

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

class QSettings;
class QTcpSocket;

namespace quillon {

class HttpRequest;
class HttpRequestHandler;
class SslServerContext;

typedef qintptr tSocketDescriptor;

// Serves one connection at a time on a thread of its own: adopts an accepted
// socket, reads requests, passes each to the request handler, and keeps the
// connection alive or closes it. Reused for later connections by the pool.
class HttpConnectionHandler : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnectionHandler)

public:
    HttpConnectionHandler(QSettings* settings, HttpRequestHandler* requestHandler,
                          SslServerContext* sslContext = nullptr);
    ~HttpConnectionHandler() override;

    bool isBusy() const { return m_busy.loadAcquire() != 0; }
    void setBusy() { m_busy.storeRelease(1); }
    // True once an exception escaped the thread's event loop: it serves no
    // more connections and ends.
    bool hasEnded() const { return m_ended.loadAcquire() != 0; }

public slots:
    void handleConnection(quillon::tSocketDescriptor socketDescriptor);

private slots:
    void readTimeout();
    void read();
    void disconnected();

private:
    void run() override;
    void createSocket();
    void adoptConnection(tSocketDescriptor socketDescriptor);
    void closeIfIdle();
    void giveUpAfterException(const char* where);
    void readRequests();
    bool answer(HttpRequest& request);
    void leaveAnswering();
    static void closeDescriptor(tSocketDescriptor socketDescriptor);
    void abandonConnection();
    void startReadTimer();
    void setLowDelay();
    bool drainOutput();
    void closeConnection();

    QSettings* m_settings;
    QTcpSocket* m_socket = nullptr;
    QTimer m_readTimer;
    QElapsedTimer m_lastActivity;
    HttpRequest* m_currentRequest = nullptr;
    HttpRequestHandler* m_requestHandler;
    QAtomicInt m_busy;
    QAtomicInt m_ended;
    SslServerContext* m_sslContext;
    bool m_lowDelay = false;
    // True while a request is answered or output drained: the socket's
    // signals from inside its waits are not acted on then.
    bool m_answering = false;
    // The connection ended while an answer was written.
    bool m_peerGone = false;
    // The event loop has ended: connections handed over now are reset.
    bool m_stopping = false;
    int m_readTimeout = 10000;
    int m_maxRequestSize = 16000;
    int m_maxMultiPartSize = 1000000;
    int m_maxMultiParts = 100;
};

} // namespace quillon
