#include "testserver.h"

#include "httpconnectionhandlerpool.h"
#include "httplistener.h"
#include "locking.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSettings>
#include <QTcpSocket>
#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif
#include <QTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
QMutex logMutex;
QStringList logLines;
QtMessageHandler previousHandler = nullptr;
int captureDepth = 0;

void recordMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        quillon::MutexLocker locker(&logMutex);
        logLines.append(message);
    }
    if (type != QtDebugMsg && previousHandler)
        previousHandler(type, context, message);
}
} // namespace

LogCapture::LogCapture()
{
    quillon::MutexLocker locker(&logMutex);
    if (captureDepth++ == 0)
        previousHandler = qInstallMessageHandler(recordMessage);
    logLines.clear();
}

LogCapture::~LogCapture()
{
    quillon::MutexLocker locker(&logMutex);
    if (--captureDepth == 0)
        qInstallMessageHandler(previousHandler);
}

QStringList LogCapture::messages() const
{
    quillon::MutexLocker locker(&logMutex);
    return logLines;
}

int LogCapture::count(const QString& fragment) const
{
    quillon::MutexLocker locker(&logMutex);
    int n = 0;
    for (const QString& line : qAsConst(logLines))
        n += line.contains(fragment) ? 1 : 0;
    return n;
}

bool LogCapture::waitFor(const QString& fragment, int wanted, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (count(fragment) < wanted) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

void LogCapture::clear()
{
    quillon::MutexLocker locker(&logMutex);
    logLines.clear();
}

ServerThread::ServerThread(quillon::HttpRequestHandler* handler, const QVariantMap& listenerKeys)
    : m_handler(handler)
    , m_keys(listenerKeys)
{
}

ServerThread::~ServerThread()
{
    quillon::tsanRelease(this); // what the test did comes before the loop ends
    quit();
    wait();
    quillon::tsanAcquire(this);
}

bool ServerThread::startAndWait()
{
    quillon::tsanRelease(this);
    start();
    const bool ready = m_ready.tryAcquire(1, 10000);
    quillon::tsanAcquire(&m_ready);
    return ready && m_port != 0;
}

int ServerThread::poolSize() const
{
    return m_listener && m_listener->connectionPool() ? m_listener->connectionPool()->size() : -1;
}

void ServerThread::run()
{
    quillon::tsanAcquire(this);
    const QString iniFile = m_dir.filePath(QStringLiteral("test.ini"));
    {
        QSettings writer(iniFile, QSettings::IniFormat);
        writer.beginGroup(QStringLiteral("listener"));
        if (!m_keys.contains(QStringLiteral("host")))
            writer.setValue(QStringLiteral("host"), QStringLiteral("127.0.0.1"));
        for (auto it = m_keys.cbegin(); it != m_keys.cend(); ++it)
            writer.setValue(it.key(), it.value());
    }
    {
        QSettings settings(iniFile, QSettings::IniFormat);
        settings.beginGroup(QStringLiteral("listener"));
        quillon::HttpListener listener(&settings, m_handler);
        m_listener = &listener;
        m_port = listener.isListening() ? listener.serverPort() : 0;
        quillon::tsanRelease(&m_ready);
        m_ready.release();
        exec();
        quillon::tsanAcquire(this);
        m_listener = nullptr;
    }
    quillon::tsanRelease(this);
}

QThread* createThread(std::function<void()> body)
{
    return QThread::create([body = std::move(body)] {
        quillon::tsanAcquire(QThread::currentThread());
        body();
        quillon::tsanRelease(QThread::currentThread());
    });
}

void startThread(QThread* thread)
{
    quillon::tsanRelease(thread);
    thread->start();
}

bool joinThread(QThread* thread, int timeoutMs)
{
    const bool joined = thread->wait(timeoutMs);
    quillon::tsanAcquire(thread);
    return joined;
}

bool runningUnderWine()
{
#ifdef Q_OS_WIN
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

std::unique_ptr<QTcpSocket> connectClient(quint16 port, bool tls, qint64 readBufferSize)
{
#if QT_CONFIG(ssl)
    if (tls) {
        auto socket = std::make_unique<QSslSocket>();
        socket->setReadBufferSize(readBufferSize);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        return socket->waitForEncrypted(5000) ? std::move(socket) : nullptr;
    }
#else
    if (tls)
        return nullptr;
#endif
    auto socket = std::make_unique<QTcpSocket>();
    socket->setReadBufferSize(readBufferSize);
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket->waitForConnected(3000) ? std::move(socket) : nullptr;
}

std::unique_ptr<quillon::HttpRequest> parseRequest(const QByteArray& bytes, int maxSize, int maxMultiPartSize)
{
    auto request = std::make_unique<quillon::HttpRequest>(maxSize, maxMultiPartSize);
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    while (buffer.bytesAvailable() && request->status() != quillon::HttpRequest::Complete
           && request->status() != quillon::HttpRequest::Aborted)
        request->readFrom(&buffer);
    return request;
}

namespace rawclient {

Answer get(quint16 port, const QByteArray& target, const QByteArray& extraHeaders)
{
    const QByteArray raw = exchange(port, "GET " + target + " HTTP/1.1\r\nConnection: close\r\n" + extraHeaders + "\r\n");
    Answer answer;
    const int headerEnd = raw.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return answer;
    QList<QByteArray> lines = raw.left(headerEnd).split('\n');
    answer.statusLine = lines.takeFirst().trimmed();
    for (const QByteArray& line : lines) {
        const int colon = line.indexOf(':');
        answer.headers.insert(line.left(colon), line.mid(colon + 1).trimmed());
    }
    answer.body = raw.mid(headerEnd + 4);
    return answer;
}

QByteArray exchange(quint16 port, const QByteArray& request, int timeoutMs, bool* closedByServer)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return QByteArray();
    socket.write(request);
    socket.waitForBytesWritten(3000);
    QByteArray answer;
    QElapsedTimer timer;
    timer.start();
    bool closed = false;
    while (timer.elapsed() < timeoutMs) {
        if (socket.state() != QAbstractSocket::ConnectedState) {
            closed = true;
            break;
        }
        socket.waitForReadyRead(qMax<qint64>(1, timeoutMs - timer.elapsed()));
        answer += socket.readAll();
    }
    answer += socket.readAll();
    if (closedByServer)
        *closedByServer = closed;
    return answer;
}

} // namespace rawclient
