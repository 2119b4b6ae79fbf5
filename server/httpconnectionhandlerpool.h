#pragma once

#include "httpconnectionsettings.h"
#include "peeraccountfilter.h"
#include "socketdescriptor.h"

#include <QAtomicInt>
#include <QList>
#include <QMutex>
#include <QObject>

class QSettings;

namespace quillon {

class HttpConnectionLoop;
class HttpRequestHandler;
class SslServerContext;

// The I/O threads of a listener ("ioThreads", as many as cores by default),
// each an event loop that owns many connections, and what they share: the
// connection settings, the TLS context and the bound on connections served
// at once ("maxThreads"; the next one gets 503). A loop whose thread ended
// is replaced.
class HttpConnectionHandlerPool : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnectionHandlerPool)

public:
    HttpConnectionHandlerPool(QSettings* settings, HttpRequestHandler* requestHandler);
    // Stops every loop, waiting at most 5 s for them in all.
    ~HttpConnectionHandlerPool() override;

    // The running I/O threads.
    int size() const;
    int connectionCount() const { return m_connections.loadRelaxed(); }
    bool isSslEnabled() const { return m_sslContext != nullptr; }
    const HttpConnectionSettings& connectionSettings() const { return m_connectionSettings; }
    HttpRequestHandler* requestHandler() const { return m_requestHandler; }
    SslServerContext* sslContext() const { return m_sslContext; }
    const PeerAccountFilter& peerFilter() const { return m_peerFilter; }

    // Starts the loops. They accept from the listening socket themselves
    // where the system allows it; false: the listener hands connections over.
    bool start(tSocketDescriptor listening = -1);
    // An accepted connection, to the loop that serves the fewest; false when
    // "maxThreads" connections are served (the caller answers 503).
    bool handleConnection(tSocketDescriptor socketDescriptor);

    // For the loops, from their threads.
    bool reserveConnection();
    void releaseConnection();
    // Hands a connection that `from` accepted to a loop that serves fewer,
    // if there is one; false when `from` keeps it.
    bool handOver(HttpConnectionLoop* from, tSocketDescriptor socketDescriptor);
    // The loop takes no more connections.
    void retire(HttpConnectionLoop* loop);
    // A connection handed to a loop that ended before it took it: another
    // loop, or the one that replaces it, serves it instead.
    void serveElsewhere(tSocketDescriptor socketDescriptor);

private slots:
    void replaceEndedLoops();
    void serveWaiting();

private:
    void serve(tSocketDescriptor socketDescriptor);
    HttpConnectionLoop* startLoop();
    HttpConnectionLoop* leastLoaded(HttpConnectionLoop* preferred) const;

    HttpRequestHandler* m_requestHandler;
    HttpConnectionSettings m_connectionSettings;
    PeerAccountFilter m_peerFilter;
    int m_maxConnections = 100;
    int m_loopCount = 1;
    tSocketDescriptor m_listening = -1;
    // Guards m_loops and every hand-over, so that none reaches a loop after
    // it retired.
    mutable QMutex m_mutex;
    QList<HttpConnectionLoop*> m_loops;
    QList<tSocketDescriptor> m_waiting;
    QAtomicInt m_connections;
    bool m_stopping = false;
    SslServerContext* m_sslContext = nullptr;
};

} // namespace quillon
