#pragma once

#include <QList>
#include <QMutex>
#include <QObject>
#include <QTimer>

class QSettings;

namespace quillon {

class HttpConnectionHandler;
class HttpRequestHandler;
class SslServerContext;

// Hands out idle connection handlers, creates new ones up to "maxThreads",
// and retires one idle handler per "cleanupInterval" down to "minThreads".
class HttpConnectionHandlerPool : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HttpConnectionHandlerPool)

public:
    HttpConnectionHandlerPool(QSettings* settings, HttpRequestHandler* requestHandler);
    ~HttpConnectionHandlerPool() override;

    // An idle handler, already marked busy, or null when "maxThreads" are busy.
    HttpConnectionHandler* acquireHandler();

    int size() const;
    bool isSslEnabled() const { return m_sslContext != nullptr; }

public slots:
    void cleanup();

private:
    void loadSslConfiguration();
    void dropEndedHandlers();
    void joinRetiredHandlers();
    static bool descriptorsLeft();

    QSettings* m_settings;
    HttpRequestHandler* m_requestHandler;
    QList<HttpConnectionHandler*> m_pool;
    // Out of the pool, their threads ending; deleted once they have.
    QList<HttpConnectionHandler*> m_retired;
    QTimer m_cleanupTimer;
    mutable QMutex m_mutex;
    SslServerContext* m_sslContext = nullptr;
};

} // namespace quillon
