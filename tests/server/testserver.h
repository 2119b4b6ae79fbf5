#pragma once

#include "httprequest.h"
#include "httprequesthandler.h"
#include "heapinuse.h"
#include "httpresponse.h"

#include <QMap>
#include <QTest>
#include <QtNetwork/qtnetworkglobal.h>
#include <QMutex>
#include <QSemaphore>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>
#include <functional>
#include <memory>

class QTcpSocket;

namespace quillon {
class HttpListener;
}

// A row that cannot hold on Windows (it needs /proc, POSIX calls, Linux
// programs or heap statistics) skips there and says why; the Windows runner
// counts the skips.
#ifdef Q_OS_WIN
#define SKIP_ON_WINDOWS(reason) QSKIP("not on Windows: " reason)
#else
#define SKIP_ON_WINDOWS(reason)
#endif
// Whether this Windows program runs under Wine (false elsewhere).
bool runningUnderWine();

// Rows over TLS skip in a build whose Qt has no TLS.
#if QT_CONFIG(ssl)
#define SKIP_WITHOUT_TLS()
#else
#define SKIP_WITHOUT_TLS() QSKIP("this build has no TLS library")
#endif

// Request handler whose behaviour a test sets with a function.
class ScriptedHandler : public quillon::HttpRequestHandler
{
public:
    using Script = std::function<void(quillon::HttpRequest&, quillon::HttpResponse&)>;
    explicit ScriptedHandler(Script script = Script()) : m_script(std::move(script)) {}
    void setScript(Script script) { m_script = std::move(script); }
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override
    {
        if (m_script)
            m_script(request, response);
        else
            quillon::HttpRequestHandler::service(request, response);
    }

private:
    Script m_script;
};

// Records every message of Qt's logger while it exists.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList messages() const;
    int count(const QString& fragment) const;
    bool waitFor(const QString& fragment, int count = 1, int timeoutMs = 5000) const;
    void clear();
};

// An HttpListener on its own thread (so that a test can use blocking
// sockets), configured from a temporary INI file with the given listener keys.
class ServerThread : public QThread
{
public:
    ServerThread(quillon::HttpRequestHandler* handler, const QVariantMap& listenerKeys);
    ~ServerThread() override;

    bool startAndWait();
    quint16 port() const { return m_port; }
    QString iniDirectory() const { return m_dir.path(); }
    int poolSize() const;
    quillon::HttpListener* listener() const { return m_listener; }

protected:
    void run() override;

private:
    QTemporaryDir m_dir;
    quillon::HttpRequestHandler* m_handler;
    QVariantMap m_keys;
    QSemaphore m_ready;
    quint16 m_port = 0;
    quillon::HttpListener* m_listener = nullptr;
};

// Threads whose start and end ThreadSanitizer sees: Qt starts and joins them
// in its own code, which the sanitizer does not see.
QThread* createThread(std::function<void()> body);
void startThread(QThread* thread);
bool joinThread(QThread* thread, int timeoutMs);

// A client connected to 127.0.0.1:port, over TLS (any certificate) or plain;
// null when it does not connect.
std::unique_ptr<QTcpSocket> connectClient(quint16 port, bool tls, qint64 readBufferSize = 0);

// Parses a whole request from memory, the way the connection handler feeds it.
std::unique_ptr<quillon::HttpRequest> parseRequest(const QByteArray& bytes, int maxSize = 16000, int maxMultiPartSize = 1000000);

// Blocking raw client helpers.
namespace rawclient {
// Sends the bytes, then reads until the server closes or the timeout passes.
QByteArray exchange(quint16 port, const QByteArray& request, int timeoutMs = 5000, bool* closedByServer = nullptr);

// One request with "Connection: close"; the answer split into its parts.
struct Answer
{
    QByteArray statusLine;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
};
Answer get(quint16 port, const QByteArray& target, const QByteArray& extraHeaders = QByteArray());
}
