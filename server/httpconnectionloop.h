#pragma once

#include "socketdescriptor.h"

#include <QAtomicInt>
#include <QElapsedTimer>
#include <QSet>
#include <QThread>

class QSocketNotifier;
class QTimer;

namespace quillon {

class HttpConnectionHandler;
class HttpConnectionHandlerPool;
struct HttpConnectionSettings;
class HttpRequestHandler;
class PeerAccountFilter;
class SslServerContext;

// One I/O thread: an event loop that owns many connections. Where the
// system allows it, it accepts from the listening socket itself (one
// connection per wake, so that the loops share them) and keeps a connection
// unless another loop serves fewer; otherwise connections are handed to it.
// One timer per loop, set to the earliest deadline of its connections.
class HttpConnectionLoop : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnectionLoop)

public:
    // `listening`: a descriptor of the listening socket of its own (owned),
    // or -1 when the listener hands connections over.
    HttpConnectionLoop(HttpConnectionHandlerPool* pool, tSocketDescriptor listening);
    ~HttpConnectionLoop() override;

    // Connections it serves or has been handed and not yet taken.
    int load() const { return m_load.loadRelaxed(); }
    void addLoad() { m_load.ref(); }
    // Set once its event loop has ended: it takes no more connections.
    bool hasEnded() const { return m_ended.loadAcquire() != 0; }
    void markEnded() { m_ended.storeRelease(1); }

    // For its connections, on its own thread.
    const HttpConnectionSettings& settings() const;
    HttpRequestHandler* requestHandler() const;
    SslServerContext* sslContext() const;
    const PeerAccountFilter& peerFilter() const;
    qint64 now() const { return m_clock.elapsed(); }
    void watchDeadline(qint64 deadline);
    // A connection no longer counts among maxThreads (it closes).
    void releasePlace();
    // A connection is over: it is deleted later.
    void connectionEnded(HttpConnectionHandler* connection);

public slots:
    // A connection accepted elsewhere, its place among maxThreads reserved
    // and counted in load().
    void handleConnection(quillon::tSocketDescriptor socketDescriptor);

signals:
    void ended();

private:
    void run() override;
    void startAccepting();
    void acceptOne();
    void adopt(tSocketDescriptor socketDescriptor);
    void refuseBusy(tSocketDescriptor socketDescriptor);
    void sweepDeadlines();
    void tearDown();

    HttpConnectionHandlerPool* m_pool;
    tSocketDescriptor m_listening;
    QSocketNotifier* m_acceptNotifier = nullptr;
    QTimer* m_acceptRetry = nullptr;
    bool m_acceptFailing = false;
    QTimer* m_deadlineTimer = nullptr;
    qint64 m_armedFor = 0;
    QElapsedTimer m_clock;
    QSet<HttpConnectionHandler*> m_connections;
    QAtomicInt m_load;
    QAtomicInt m_ended;
};

} // namespace quillon
