// The HTTP server driven over real loopback sockets: exact byte streams,
// keep-alive rules, refusals, the handler pool and TLS.
#include "httpconnectionhandlerpool.h"
#include "httpconnectionloop.h"
#include "httplistener.h"
#include "peeraccount.h"
#include "peeraccountfilter.h"
#include "locking.h"
#include "sslservercontext.h"
#include "staticfilecontroller.h"
#include "testserver.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#if QT_CONFIG(ssl)
#include <QSslConfiguration>
#endif
#include <QTemporaryDir>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QSemaphore>
#include <QTcpServer>
#include <QTest>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
inline int socketOf(const QTcpSocket&) { return 0; }
#else
#include <winsock2.h>
inline SOCKET socketOf(const QTcpSocket&) { return 0; }
#endif

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>

using namespace quillon;

namespace {

const QByteArray kSimpleGet = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
const QByteArray k413 = "HTTP/1.1 413 entity too large\r\nConnection: close\r\n\r\n413 Entity too large\r\n";
const QByteArray k503 = "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";

// Reads from a kept-alive connection until the buffer holds `wanted` bytes.
QByteArray readAtLeast(QTcpSocket& socket, int wanted, int timeoutMs = 5000)
{
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (data.size() < wanted && timer.elapsed() < timeoutMs) {
        if (!socket.bytesAvailable())
            socket.waitForReadyRead(50);
        data += socket.readAll();
    }
    return data;
}

bool connectTo(QTcpSocket& socket, quint16 port, const QHostAddress& address = QHostAddress::LocalHost)
{
    socket.connectToHost(address, port);
    return socket.waitForConnected(3000);
}

void fixedBody(HttpRequest&, HttpResponse& response)
{
    response.setHeader("Content-Type", "text/plain");
    response.write("hello", true);
}

// An exception that escapes the I/O thread's event loop once the current
// request is answered: Qt does not carry it, so the loop ends.
void escapeFromTheEventLoop()
{
    QMetaObject::invokeMethod(
        QThread::currentThread(), [] { throw std::runtime_error("escaped"); }, Qt::QueuedConnection);
}

// How many of the next requests an I/O thread starts to read fail
// as if memory ran out (see operator new below).
std::atomic<int> g_failingRequests{0};

} // namespace

#ifdef QUILLON_TSAN
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

// Allocation failures on demand, made here rather than in the server:
// while g_failingRequests is positive, allocating a request on an I/O
// thread throws std::bad_alloc.
void* operator new(std::size_t size)
{
    if (size == sizeof(HttpRequest) && g_failingRequests.load(std::memory_order_relaxed) > 0
        && qobject_cast<HttpConnectionLoop*>(QThread::currentThread()) && g_failingRequests.fetch_sub(1) > 0)
        throw std::bad_alloc();
#ifdef QUILLON_TSAN
    // ThreadSanitizer would take every allocation, Qt's queued calls among
    // them, for a write of this program; its own operator new leaves those
    // of Qt's libraries alone (tests/server/tsan.supp), and so does this one.
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
    void* block = std::malloc(size ? size : 1);
#ifdef QUILLON_TSAN
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
    if (block)
        return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept
{
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

class TestHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void fixedLengthAnswerHasSortedHeadersCookiesAndCrossOrigin();
    void severalPartsOnKeepAliveAreChunkedAndConnectionStays();
    void responseConnectionCloseStreamsUntilClose();
    void requestConnectionCloseIsAnsweredAndClosed();
    void http10IsClosedAndNeverChunked();
    void pipelinedRequestsAreAnsweredInOrder();
    void silentHandlerGivesEmpty200();
    void throwingHandlerStillAnswers();
    void baseHandlerAnswers501();
    void refusalsSayWhatHappened_data();
    void refusalsSayWhatHappened();
    void heldRequestsStayWithinTheirLimit_data();
    void heldRequestsStayWithinTheirLimit();
    void hugeContentLengthsHeldOpenReserveNothing();
    void failureWhileReadingFreesTheHandler();
    void exceptionEscapingTheEventLoopEndsOnlyItsHandler();
    void connectionsBeyondMaxThreadsGet503_data();
    void connectionsBeyondMaxThreadsGet503();
    void connectionsSpreadOverTheLoops();
    void silentConnectionIsClosedAfterReadTimeout();
    void eachDeadlineHasItsOwnSetting_data();
    void eachDeadlineHasItsOwnSetting();
    void requestInOneByteSegmentsIsServed();
    void stalledReaderReleasesTheWorker_data();
    void stalledReaderReleasesTheWorker();
    void slowReaderDelaysNobodyOnItsLoop();
    void answerInPartsArrivesWholeBeforePipelinedOnes_data();
    void answerInPartsArrivesWholeBeforePipelinedOnes();
    void largeFileIsReadAsThePeerTakesIt();
    void tlsRequestDuringAnAnswerIsServedOnceAfterIt();
    void memoryIsBoundedWhileAnswersAreBlocked();
    void connectionCountsUntilItsAnswerEnds();
    void runningOutOfDescriptorsIsNeverPermanent();
    void handOverAtShutdownIsClosed();
    void connectionDuringALoopsReplacementIsServed_data();
    void connectionDuringALoopsReplacementIsServed();
    void shutdownDoesNotWaitForStalledPeers();
    void unadoptableDescriptorIsReleased();
    void emptyHostListensOnIpv4AndIpv6();
    void peerAccountIsFoundByTheExactPair_data();
    void peerAccountIsFoundByTheExactPair();
    void otherAccountsAreTurnedAwayUnread_data();
    void otherAccountsAreTurnedAwayUnread();
    void curlKeepsTheConnectionAlive();
    void tlsServesCurlAndRefusesTls10();
    void tlsSessionsResumeAcrossHandlerThreads();
    void tlsContextIsSharedOnlyWithoutNextProtocols();
    void missingTlsFilesFallBackToPlainTcp();
    void relativeTlsFilesAreTheUsersFirst();
    void keyWithoutCertificateMeansNoTls();

private:
    bool haveTool(const char* name) { return !QStandardPaths::findExecutable(QLatin1String(name)).isEmpty(); }
    bool makeCertificate(const QString& dir);
};

void TestHttpServer::fixedLengthAnswerHasSortedHeadersCookiesAndCrossOrigin()
{
    ScriptedHandler handler([](HttpRequest&, HttpResponse& response) {
        response.setHeader("Content-Type", "text/plain");
        response.setCookie(HttpCookie("sid", "abc", 3600, "/"));
        response.write("hello", true);
    });
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    QTcpSocket socket;
    QVERIFY(connectTo(socket, server.port()));
    socket.write(kSimpleGet);
    const QByteArray expected = "HTTP/1.1 200 OK\r\n"
                                "Access-Control-Allow-Origin: *\r\n"
                                "Content-Length: 5\r\n"
                                "Content-Type: text/plain\r\n"
                                "Set-Cookie: sid=abc; Max-Age=3600; Path=/; Version=1\r\n"
                                "\r\n"
                                "hello";
    QCOMPARE(readAtLeast(socket, expected.size()), expected);
    QTest::qWait(50);
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
}

void TestHttpServer::severalPartsOnKeepAliveAreChunkedAndConnectionStays()
{
    ScriptedHandler handler([](HttpRequest&, HttpResponse& response) {
        response.write(QByteArray(300, 'a'));
        response.write(QByteArray(10, 'b'), true);
    });
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    QTcpSocket socket;
    QVERIFY(connectTo(socket, server.port()));
    const QByteArray expected = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n12c\r\n" + QByteArray(300, 'a')
        + "\r\na\r\n" + QByteArray(10, 'b') + "\r\n0\r\n\r\n";
    for (int round = 0; round < 2; ++round) {
        socket.write(kSimpleGet);
        QCOMPARE(readAtLeast(socket, expected.size()), expected);
    }
}

void TestHttpServer::responseConnectionCloseStreamsUntilClose()
{
    ScriptedHandler handler([](HttpRequest&, HttpResponse& response) {
        response.setHeader("Connection", "CLOSE");
        response.write("part1 ");
        response.write("part2");
    });
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    bool closed = false;
    const QByteArray answer = rawclient::exchange(server.port(), kSimpleGet, 5000, &closed);
    QVERIFY(closed);
    QCOMPARE(answer, QByteArray("HTTP/1.1 200 OK\r\nConnection: CLOSE\r\n\r\npart1 part2"));
}

void TestHttpServer::requestConnectionCloseIsAnsweredAndClosed()
{
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    bool closed = false;
    const QByteArray answer
        = rawclient::exchange(server.port(), "GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", 5000, &closed);
    QVERIFY(closed);
    QCOMPARE(answer, QByteArray("HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n"
                                "Content-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello"));
}

void TestHttpServer::http10IsClosedAndNeverChunked()
{
    ScriptedHandler handler([](HttpRequest&, HttpResponse& response) {
        response.write("one ");
        response.write("two", true);
    });
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    bool closed = false;
    const QByteArray answer = rawclient::exchange(server.port(), "GET / HTTP/1.0\r\n\r\n", 5000, &closed);
    QVERIFY(closed);
    QCOMPARE(answer, QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\none two"));
}

void TestHttpServer::pipelinedRequestsAreAnsweredInOrder()
{
    ScriptedHandler handler([](HttpRequest& request, HttpResponse& response) {
        response.write(request.path(), true);
    });
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    QTcpSocket socket;
    QVERIFY(connectTo(socket, server.port()));
    // Both requests in one segment: the second must be served without a new
    // read event.
    socket.write("GET /first HTTP/1.1\r\n\r\nGET /second HTTP/1.1\r\n\r\n");
    const QByteArray one = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 6\r\n\r\n/first";
    const QByteArray two = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 7\r\n\r\n/second";
    QCOMPARE(readAtLeast(socket, one.size() + two.size()), one + two);
}

void TestHttpServer::silentHandlerGivesEmpty200()
{
    ScriptedHandler handler([](HttpRequest&, HttpResponse&) {});
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    QTcpSocket socket;
    QVERIFY(connectTo(socket, server.port()));
    socket.write(kSimpleGet);
    const QByteArray expected = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 0\r\n\r\n";
    QCOMPARE(readAtLeast(socket, expected.size()), expected);
}

// Before its headers left, a handler's exception gives a 500 and the end of
// the connection; after them, the connection is cut, so that a truncated
// body (a final chunk, say) never passes for a whole answer.
void TestHttpServer::throwingHandlerStillAnswers()
{
    LogCapture log;
    ScriptedHandler handler([](HttpRequest& request, HttpResponse& response) {
        response.setHeader("X-Before", "1");
        if (request.path() == "/late")
            response.write("part");
        throw std::runtime_error("boom");
    });
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    bool closed = false;
    QCOMPARE(rawclient::exchange(server.port(), kSimpleGet, 5000, &closed),
             QByteArray("HTTP/1.1 500 Internal Server Error\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n"
                        "Content-Length: 27\r\n\r\n500 Internal Server Error\r\n"));
    QVERIFY(closed);
    QVERIFY(log.waitFor("An uncatched exception occured in the request handler"));
    const QByteArray late = rawclient::exchange(server.port(), "GET /late HTTP/1.1\r\nHost: x\r\n\r\n", 5000, &closed);
    QVERIFY(closed);
    QVERIFY2(!late.contains("0\r\n\r\n"), late.constData());
}

void TestHttpServer::baseHandlerAnswers501()
{
    LogCapture log;
    HttpRequestHandler handler;
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    bool closed = false;
    const QByteArray answer = rawclient::exchange(server.port(), "GET /x HTTP/1.1\r\nConnection: close\r\n\r\n", 5000, &closed);
    QCOMPARE(answer, QByteArray("HTTP/1.1 501 not implemented\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n"
                                "Content-Length: 19\r\n\r\n501 not implemented"));
    QVERIFY(log.count("HttpRequestHandler: you need to override the service() function") == 1);
    QVERIFY(log.count("HttpRequestHandler: request=GET /x HTTP/1.1") == 1);
}

// Every refused request gets the answer that says what went wrong, is
// never served, and ends its connection.
void TestHttpServer::refusalsSayWhatHappened_data()
{
    QTest::addColumn<QVariantMap>("keys");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("warning");

    QTest::newRow("two spaces in request line") << QVariantMap() << QByteArray("GET  / HTTP/1.1\r\n\r\n") << 400
                                                << "invalid first line";
    QTest::newRow("no HTTP in version") << QVariantMap() << QByteArray("GET / FOO/1.1\r\n\r\n") << 400
                                        << "invalid first line";
    // Refused at once, not after a readTimeout spent waiting for a line end.
    QTest::newRow("TLS greeting to a plain listener") << QVariantMap() << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc", 9)
                                                      << 400 << "control character";
    QTest::newRow("request line over maxRequestSize")
        << QVariantMap{{"maxRequestSize", 100}} << QByteArray("GET /" + QByteArray(200, 'x') + " HTTP/1.1\r\n\r\n")
        << 414 << "received too many bytes";
    QTest::newRow("headers over maxRequestSize")
        << QVariantMap{{"maxRequestSize", 100}}
        << QByteArray("GET / HTTP/1.1\r\nX-Long: " + QByteArray(200, 'x') + "\r\n\r\n") << 431 << "received too many bytes";
    QTest::newRow("header budget used up without line end")
        << QVariantMap{{"maxRequestSize", 100}} << QByteArray("GET / HTTP/1.1\r\nX: " + QByteArray(150, 'y')) << 431
        << "received too many bytes";
    QTest::newRow("announced body too large")
        << QVariantMap{{"maxRequestSize", 100}} << QByteArray("POST / HTTP/1.1\r\nContent-Length: 90\r\n\r\n") << 413
        << "expected body is too large";
    QTest::newRow("announced multipart body too large")
        << QVariantMap{{"maxMultiPartSize", 1000}}
        << QByteArray("POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=xx\r\nContent-Length: 1001\r\n\r\n")
        << 413 << "expected multipart body is too large";
    QTest::newRow("multipart bytes reach the limit")
        << QVariantMap{{"maxMultiPartSize", 1000}}
        << QByteArray("POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=xx\r\nContent-Length: 1000\r\n\r\n"
                      + QByteArray(1000, 'z'))
        << 413 << "received too many multipart bytes";
    QByteArray parts;
    for (int i = 0; i < 5; ++i)
        parts += "--b\r\nContent-Disposition: form-data; name=\"f" + QByteArray::number(i) + "\"; filename=\"x\"\r\n\r\nx\r\n";
    parts += "--b--\r\n";
    QTest::newRow("more parts than maxMultiParts")
        << QVariantMap{{"maxMultiParts", 4}}
        << QByteArray("POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: "
                      + QByteArray::number(parts.size()) + "\r\n\r\n" + parts)
        << 413 << "too many multipart parts";
    const QByteArray field = "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n" + QByteArray(300, 'v') + "\r\n--b--\r\n";
    QTest::newRow("form fields over maxRequestSize")
        << QVariantMap{{"maxRequestSize", 200}}
        << QByteArray("POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: "
                      + QByteArray::number(field.size()) + "\r\n\r\n" + field)
        << 413 << "multipart form fields are too large";

    // A body whose length is unclear, or a header another server could read
    // as Content-Length, must never let the body be read as a request of its
    // own (RFC 9112 5.1, 6.3).
    const QByteArray smuggled = "GET /smuggled HTTP/1.1\r\n\r\n";
    const auto withLength = [&](const QByteArray& headers) {
        return QByteArray("POST / HTTP/1.1\r\n" + headers + "\r\n" + smuggled);
    };
    QTest::newRow("Content-Length not a number") << QVariantMap() << withLength("Content-Length: abc\r\n") << 400
                                                 << "invalid Content-Length";
    QTest::newRow("Content-Length negative") << QVariantMap() << withLength("Content-Length: -27\r\n") << 400
                                             << "invalid Content-Length";
    QTest::newRow("Content-Length with sign") << QVariantMap() << withLength("Content-Length: +27\r\n") << 400
                                              << "invalid Content-Length";
    QTest::newRow("Content-Length beyond range")
        << QVariantMap() << withLength("Content-Length: 99999999999999999999999\r\n") << 400 << "invalid Content-Length";
    QTest::newRow("Content-Length empty") << QVariantMap() << withLength("Content-Length:\r\n") << 400
                                          << "invalid Content-Length";
    QTest::newRow("Content-Length list") << QVariantMap() << withLength("Content-Length: 27, 27\r\n") << 400
                                         << "invalid Content-Length";
    QTest::newRow("Content-Length twice, different")
        << QVariantMap() << withLength("Content-Length: 0\r\nContent-Length: 27\r\n") << 400 << "invalid Content-Length";
    QTest::newRow("space before the colon") << QVariantMap() << withLength("Content-Length : 27\r\n") << 400
                                            << "invalid header name";
    QTest::newRow("tab before the colon") << QVariantMap() << withLength("Content-Length\t: 27\r\n") << 400
                                          << "invalid header name";
    QTest::newRow("no colon") << QVariantMap() << withLength("Content-Length 27\r\n") << 400 << "invalid header line";
    QTest::newRow("empty name") << QVariantMap() << withLength(": 27\r\n") << 400 << "invalid header line";
    QTest::newRow("chunked body") << QVariantMap() << withLength("Transfer-Encoding: chunked\r\n") << 501
                                  << "transfer coding of the body is not supported";
}

void TestHttpServer::refusalsSayWhatHappened()
{
    QFETCH(QVariantMap, keys);
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QString, warning);
    LogCapture log;
    QAtomicInt served;
    ScriptedHandler handler([&served](HttpRequest&, HttpResponse&) { served.ref(); });
    ServerThread server(&handler, keys);
    QVERIFY(server.startAndWait());
    bool closed = false;
    const QByteArray answer = rawclient::exchange(server.port(), request, 5000, &closed);
    const QByteArray statusLine = "HTTP/1.1 " + QByteArray::number(status) + ' ';
    QVERIFY2(answer.startsWith(statusLine) && answer.count("HTTP/1.1") == 1, answer.constData());
    if (status == 413)
        QCOMPARE(answer, k413);
    QVERIFY(closed);
    QVERIFY(log.count(warning) >= 1);
    QCOMPARE(served.loadAcquire(), 0);
}

void TestHttpServer::heldRequestsStayWithinTheirLimit_data()
{
    QTest::addColumn<QByteArray>("header");
    const auto repeated = [](const QByteArray& first, const QByteArray& line) {
        QByteArray header = first;
        while (header.size() + line.size() < 15900)
            header += line;
        return header;
    };
    QTest::newRow("folded lines") << repeated("X-A: a\r\n", " b\r\n");
    QTest::newRow("many tiny headers") << repeated(QByteArray(), "a:\r\n");
    QByteArray distinct;
    for (int i = 0; distinct.size() < 15880; ++i)
        distinct += "h" + QByteArray::number(i) + ":\r\n";
    QTest::newRow("many distinct names") << distinct;
}

// Twenty requests of the largest allowed header, all held by the server at
// once (their heads not yet ended), must hold tens of times the limit at
// most, whatever their shape.
void TestHttpServer::heldRequestsStayWithinTheirLimit()
{
    SKIP_ON_WINDOWS("it measures the heap with glibc's statistics");
    QFETCH(QByteArray, header);
    constexpr int kConnections = 20;
    constexpr qint64 kLimitPerRequest = 40 * 16000;
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {{"readTimeout", 60000}});
    QVERIFY(server.startAndWait());
    const qint64 heapBefore = heapInUse();
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < kConnections; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(connectTo(*sockets.back(), server.port()));
        sockets.back()->write("GET / HTTP/1.1\r\n" + header);
        sockets.back()->waitForBytesWritten(3000);
    }
    // Held: at least their bytes are on the heap once the server read them.
    QTRY_VERIFY_WITH_TIMEOUT(heapInUse() - heapBefore >= kConnections * header.size(), 20000);
    QTest::qWait(200);
    const qint64 grown = heapInUse() - heapBefore;
    for (auto& socket : sockets) {
        socket->write("\r\n");
        QVERIFY(readAtLeast(*socket, 10).startsWith("HTTP/1.1 200 OK"));
    }
    qInfo("heap held by %d requests: %lld bytes", kConnections, grown);
    QVERIFY2(grown < kConnections * kLimitPerRequest, qPrintable(QString::number(grown)));
}

// The process's committed data (VmData), in KiB.
qint64 committedKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmData:"))
            return line.mid(7).trimmed().split(' ').first().toLongLong();
    return -1;
}

// Bodies announced far beyond the limit, up to the edge of the 64-bit
// range, with the connections held open: each is refused at once, and
// none makes the server reserve memory for the body.
void TestHttpServer::hugeContentLengthsHeldOpenReserveNothing()
{
    SKIP_ON_WINDOWS("it measures committed memory in /proc");
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    const qint64 before = committedKiB();
    QVERIFY(before > 0);
    QList<QTcpSocket*> sockets;
    for (const char* length : {"9223372036854775800", "9223372036854775000", "4611686018427387904", "4294967301",
                               "2147483648"}) {
        for (int copy = 0; copy < 2; ++copy) {
            auto* socket = new QTcpSocket;
            sockets.append(socket);
            QVERIFY(connectTo(*socket, server.port()));
            socket->write(QByteArray("POST / HTTP/1.1\r\nContent-Length: ") + length + "\r\n\r\nabc");
            QVERIFY(socket->waitForBytesWritten(3000));
        }
    }
    for (QTcpSocket* socket : qAsConst(sockets))
        QCOMPARE(readAtLeast(*socket, k413.size()), k413);
    const qint64 grownKiB = committedKiB() - before;
    qDeleteAll(sockets);
    qInfo("committed memory grew by %lld KiB", grownKiB);
    QVERIFY2(grownKiB < 256 * 1024, qPrintable(QString::number(grownKiB)));
}

// A failure outside the request handler (out of memory while reading) costs
// only its own connection: its place is free for the next one.
void TestHttpServer::failureWhileReadingFreesTheHandler()
{
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {{"maxThreads", 1}, {"ioThreads", 1}});
    QVERIFY(server.startAndWait());
    QTcpSocket failing;
    QVERIFY(connectTo(failing, server.port()));
    QTest::qWait(200); // adopted by the handler before the failure is armed
    g_failingRequests = 1;
    failing.write(kSimpleGet);
    QVERIFY(failing.waitForDisconnected(5000));
    QCOMPARE(failing.readAll(), QByteArray());
    QCOMPARE(g_failingRequests.load(), 0);
    QCOMPARE(log.count("an exception occured while reading, connection dropped"), 1);
    QTcpSocket next;
    QVERIFY(connectTo(next, server.port()));
    for (int i = 0; i < 3; ++i) {
        next.write(kSimpleGet);
        const QByteArray answer = readAtLeast(next, 67);
        QVERIFY2(answer.startsWith("HTTP/1.1 200 OK") && answer.endsWith("\r\n\r\nhello"), answer.constData());
    }
}

// An exception that escapes an I/O thread's event loop (Qt carries none
// through it) ends that thread and its connections; the pool replaces it,
// and the server goes on serving with the same number of threads.
void TestHttpServer::exceptionEscapingTheEventLoopEndsOnlyItsHandler()
{
    LogCapture log;
    ScriptedHandler handler([](HttpRequest& request, HttpResponse& response) {
        if (request.path() == "/escape")
            escapeFromTheEventLoop();
        fixedBody(request, response);
    });
    ServerThread server(&handler, {{"maxThreads", 1}, {"ioThreads", 1}});
    QVERIFY(server.startAndWait());
    QVERIFY(rawclient::exchange(server.port(), "GET /escape HTTP/1.0\r\n\r\n").endsWith("hello"));
    QVERIFY(log.waitFor("an uncatched exception occured in the thread"));
    QTcpSocket next;
    QVERIFY(connectTo(next, server.port()));
    for (int i = 0; i < 3; ++i) {
        next.write(kSimpleGet);
        QVERIFY(readAtLeast(next, 67).endsWith("\r\n\r\nhello"));
    }
    QCOMPARE(server.poolSize(), 1);
    QCOMPARE(log.count("whose thread ended"), 1);
}

void TestHttpServer::connectionsBeyondMaxThreadsGet503_data()
{
    QTest::addColumn<int>("ioThreads");
    QTest::addColumn<int>("maxThreads");
    for (int threads : {1, 2, 4})
        for (int connections : {1, 3})
            QTest::addRow("%d I/O threads, %d connections", threads, connections) << threads << connections;
}

// maxThreads bounds the connections served at once, however many threads
// serve them: the next one gets 503 unread, and the others are still served.
void TestHttpServer::connectionsBeyondMaxThreadsGet503()
{
    QFETCH(int, ioThreads);
    QFETCH(int, maxThreads);
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {{"maxThreads", maxThreads}, {"ioThreads", ioThreads}});
    QVERIFY(server.startAndWait());
    QTRY_COMPARE(server.poolSize(), ioThreads);
    std::vector<std::unique_ptr<QTcpSocket>> served;
    for (int i = 0; i < maxThreads; ++i) {
        served.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(connectTo(*served.back(), server.port()));
        served.back()->write(kSimpleGet);
        QVERIFY(readAtLeast(*served.back(), 10).startsWith("HTTP/1.1 200 OK"));
    }
    bool closed = false;
    QCOMPARE(rawclient::exchange(server.port(), kSimpleGet, 5000, &closed), k503);
    QVERIFY(closed);
    for (auto& socket : served) {
        socket->write(kSimpleGet);
        QVERIFY(readAtLeast(*socket, 10).startsWith("HTTP/1.1 200 OK"));
    }
    served.pop_back();
    QByteArray body;
    QTRY_VERIFY2((body = rawclient::get(server.port(), "/").body) == "hello", body.constData());
}

// Connections opened one after the other go to the loop that serves the
// fewest, whichever loop accepted them.
void TestHttpServer::connectionsSpreadOverTheLoops()
{
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {{"ioThreads", 2}});
    QVERIFY(server.startAndWait());
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 8; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(connectTo(*sockets.back(), server.port()));
        sockets.back()->write(kSimpleGet);
        QVERIFY(readAtLeast(*sockets.back(), 10).startsWith("HTTP/1.1 200 OK"));
    }
    QMap<QString, int> perLoop;
    for (const QString& line : log.messages().filter("took a connection"))
        ++perLoop[line.section(' ', 1, 1)];
    QCOMPARE(perLoop.values(), QList<int>({4, 4}));
}

void TestHttpServer::silentConnectionIsClosedAfterReadTimeout()
{
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {{"readTimeout", 300}});
    QVERIFY(server.startAndWait());
    QElapsedTimer timer;
    timer.start();
    bool closed = false;
    const QByteArray answer = rawclient::exchange(server.port(), QByteArray(), 5000, &closed);
    QVERIFY(closed);
    QVERIFY(answer.isEmpty());
    QVERIFY(timer.elapsed() >= 250);
    QVERIFY(log.waitFor("read timeout occured"));
}

void TestHttpServer::eachDeadlineHasItsOwnSetting_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("logged");
    QTest::newRow("keepAliveTimeout: no request") << "keepAliveTimeout" << QByteArray() << "read timeout occured";
    QTest::newRow("headTimeout: a head that never ends, a byte at a time")
        << "headTimeout" << QByteArray("GET / HTTP/1.1\r\nX-Slow: ") << "read timeout occured";
    QTest::newRow("bodyTimeout: a body that stops")
        << "bodyTimeout" << QByteArray("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nab") << "read timeout occured";
    QTest::newRow("writeTimeout: an answer nobody reads")
        << "writeTimeout" << QByteArray("GET /big HTTP/1.1\r\n\r\n") << "the peer reads nothing";
}

// Each phase of a connection ends by its own deadline (300 ms here), while
// readTimeout, which the others default to, is a minute.
void TestHttpServer::eachDeadlineHasItsOwnSetting()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, request);
    QFETCH(QString, logged);
    LogCapture log;
    ScriptedHandler handler([](HttpRequest& request, HttpResponse& response) {
        response.write(request.path() == "/big" ? QByteArray(32 << 20, 'x') : QByteArray("hello"), true);
    });
    ServerThread server(&handler, {{"readTimeout", 60000}, {key, 300}});
    QVERIFY(server.startAndWait());
    QTcpSocket socket;
    socket.setReadBufferSize(4096);
    QVERIFY(connectTo(socket, server.port()));
    socket.write(request);
    QElapsedTimer timer;
    timer.start();
    // The slow head goes on a byte at a time: progress does not extend it.
    while (log.count(logged) == 0 && timer.elapsed() < 5000) {
        if (key == "headTimeout")
            socket.write("x");
        QTest::qWait(100);
    }
    QCOMPARE(log.count(logged), 1);
    socket.setReadBufferSize(0);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
}

void TestHttpServer::requestInOneByteSegmentsIsServed()
{
    ScriptedHandler handler([](HttpRequest& request, HttpResponse& response) {
        response.write(request.header("x-name") + "|" + request.parameter("a") + "|" + request.body(), true);
    });
    // A small budget: counting a buffered line again on every segment would
    // exceed it.
    ServerThread server(&handler, {{"maxRequestSize", 200}});
    QVERIFY(server.startAndWait());
    const QByteArray request = "POST /p?a=1 HTTP/1.1\r\nX-Name: " + QByteArray(60, 'n')
        + "\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\nbody";
    QTcpSocket socket;
    QVERIFY(connectTo(socket, server.port()));
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    for (char c : request) {
        socket.write(&c, 1);
        socket.waitForBytesWritten(1000);
        QThread::usleep(300);
    }
    const QByteArray body = QByteArray(60, 'n') + "|1|body";
    const QByteArray answer = readAtLeast(socket, 70 + body.size());
    QVERIFY2(answer.startsWith("HTTP/1.1 200 OK"), answer.constData());
    QVERIFY(answer.endsWith(body));
}

void TestHttpServer::stalledReaderReleasesTheWorker_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("plain") << false;
    // Encrypted bytes count as queued output, and the close that follows a
    // refused write has a deadline too.
    QTest::newRow("TLS") << true;
}

void TestHttpServer::stalledReaderReleasesTheWorker()
{
    QFETCH(bool, tls);
    LogCapture log;
    ScriptedHandler handler([](HttpRequest& request, HttpResponse& response) {
        if (request.path() == "/big") {
            const QByteArray block(1 << 20, 'x');
            for (int i = 0; i < 256; ++i)
                response.write(block);
        }
        response.write("done", true);
    });
    if (tls)
        SKIP_WITHOUT_TLS();
    QVariantMap keys{{"maxThreads", 1}, {"readTimeout", 500}, {"ioThreads", 1}};
    if (tls)
        keys.insert({{"sslKeyFile", "key.pem"}, {"sslCertFile", "cert.pem"}});
    ServerThread server(&handler, keys);
    QVERIFY(!tls || makeCertificate(server.iniDirectory()));
    QVERIFY(server.startAndWait());

    const std::unique_ptr<QTcpSocket> stalled = connectClient(server.port(), tls, 4096);
    QVERIFY(stalled);
    stalled->write("GET /big HTTP/1.1\r\nHost: x\r\n\r\n");
    stalled->waitForBytesWritten(1000);
    // Never read: the worker must give up and become free again.
    QElapsedTimer timer;
    timer.start();
    QByteArray answer;
    while (timer.elapsed() < 15000) {
        if (const std::unique_ptr<QTcpSocket> probe = connectClient(server.port(), tls)) {
            probe->write("GET /small HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
            answer = readAtLeast(*probe, 1000, 2000);
        }
        if (answer.startsWith("HTTP/1.1 200"))
            break;
        QTest::qWait(200);
    }
    QVERIFY2(answer.endsWith("done"), answer.left(80).constData());
}

// A peer that reads its 8 MiB answer slowly costs only itself: on the same
// loop (one I/O thread) other connections' commands are answered meanwhile.
void TestHttpServer::slowReaderDelaysNobodyOnItsLoop()
{
    const int bigSize = 8 << 20;
    ScriptedHandler handler([bigSize](HttpRequest& request, HttpResponse& response) {
        response.write(request.path() == "/big" ? QByteArray(bigSize, 'x') : QByteArray("hello"), true);
    });
    ServerThread server(&handler, {{"ioThreads", 1}});
    QVERIFY(server.startAndWait());
    QTcpSocket slow;
    slow.setReadBufferSize(16384);
    QVERIFY(connectTo(slow, server.port()));
    slow.write("GET /big HTTP/1.1\r\n\r\n");
    QVERIFY(slow.waitForBytesWritten(1000));
    qint64 slowRead = 0;
    QTcpSocket other;
    QVERIFY(connectTo(other, server.port()));
    for (int i = 0; i < 20; ++i) {
        slowRead += slow.read(4096).size();
        other.write(kSimpleGet);
        QVERIFY(readAtLeast(other, 67, 3000).endsWith("hello"));
        QThread::msleep(20);
    }
    QVERIFY2(slowRead < bigSize / 2, qPrintable(QString::number(slowRead)));
    while (slowRead < bigSize && (slow.bytesAvailable() || slow.waitForReadyRead(3000)))
        slowRead += slow.readAll().size();
    QVERIFY(slowRead > bigSize);
}

void TestHttpServer::answerInPartsArrivesWholeBeforePipelinedOnes_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("plain") << false;
    QTest::newRow("TLS") << true;
}

// A handler that writes its answer in many parts (more than the socket
// takes at once) gets it to the peer whole and in order, and the requests
// pipelined behind it are answered after it, once each.
void TestHttpServer::answerInPartsArrivesWholeBeforePipelinedOnes()
{
    QFETCH(bool, tls);
    const auto part = [](int i) { return QByteArray(65536, char('a' + i % 26)); };
    ScriptedHandler handler([&](HttpRequest& request, HttpResponse& response) {
        if (request.path() == "/parts") {
            for (int i = 0; i < 64; ++i)
                response.write(part(i));
        }
        response.write(request.path(), true);
    });
    if (tls)
        SKIP_WITHOUT_TLS();
    QVariantMap keys{{"ioThreads", 1}};
    if (tls)
        keys.insert({{"sslKeyFile", "key.pem"}, {"sslCertFile", "cert.pem"}});
    ServerThread server(&handler, keys);
    QVERIFY(!tls || makeCertificate(server.iniDirectory()));
    QVERIFY(server.startAndWait());
    const std::unique_ptr<QTcpSocket> connected = connectClient(server.port(), tls);
    QVERIFY(connected);
    QTcpSocket& client = *connected;
    client.write("GET /parts HTTP/1.1\r\n\r\nGET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
    QByteArray expected = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 64; ++i)
        expected += "10000\r\n" + part(i) + "\r\n";
    expected += "6\r\n/parts\r\n0\r\n\r\n";
    for (const QByteArray path : {"/a", "/b"})
        expected += "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 2\r\n\r\n" + path;
    const QByteArray answer = readAtLeast(client, expected.size(), 15000);
    QCOMPARE(answer.size(), expected.size());
    QVERIFY(answer == expected);
    QVERIFY(!client.waitForReadyRead(300));
}

// A file beyond the cache's size is sent from the file as the peer reads
// it: the server never holds it whole, and a peer that takes it slowly
// still gets every byte.
void TestHttpServer::largeFileIsReadAsThePeerTakesIt()
{
    QTemporaryDir docroot;
    QByteArray content;
    for (int i = 0; i < (24 << 20) / 16; ++i)
        content += QByteArray::number(i, 16).rightJustified(15, '0') + '\n';
    {
        QFile file(docroot.filePath("big.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QSettings settings(docroot.filePath("files.ini"), QSettings::IniFormat);
    settings.beginGroup("docroot");
    settings.setValue("path", docroot.path());
    StaticFileController files(&settings);
    ScriptedHandler handler([&](HttpRequest& request, HttpResponse& response) { files.service(request, response); });
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    QByteArray answer;
    answer.reserve(content.size() + 4096);
    const qint64 before = qint64(heapInUse());
    QTcpSocket client;
    client.setReadBufferSize(65536);
    QVERIFY(connectTo(client, server.port()));
    client.write("GET /big.txt HTTP/1.1\r\n\r\n");
    qint64 grown = 0;
    QElapsedTimer timer;
    timer.start();
    while (answer.size() < content.size() && timer.elapsed() < 30000) {
        if (client.bytesAvailable() || client.waitForReadyRead(1000))
            answer += client.read(65536);
        grown = qMax(grown, qint64(heapInUse()) - before);
    }
    const int headerEnd = answer.indexOf("\r\n\r\n") + 4;
    QVERIFY(answer.left(headerEnd).contains("Content-Length: " + QByteArray::number(content.size())));
    while (answer.size() - headerEnd < content.size() && client.waitForReadyRead(3000))
        answer += client.readAll();
    QCOMPARE(answer.size() - headerEnd, content.size());
    QVERIFY(answer.mid(headerEnd) == content);
#ifndef Q_OS_WIN
    qInfo("a 24 MiB file: the heap grew by %lld KiB at most", grown >> 10);
    QVERIFY2(grown < (8 << 20), qPrintable(QString::number(grown)));
#endif
}

// Over TLS a socket reports new data from inside its waits for written
// bytes: a request that arrives while a large answer is written must be
// answered once, after it, not in the middle of it. The peer (Python's ssl,
// which reads only when asked) reads slowly and sends its second request in
// a record of its own while the first answer waits.
void TestHttpServer::tlsRequestDuringAnAnswerIsServedOnceAfterIt()
{
    if (!haveTool("python3"))
        QSKIP("python3 is not installed");
    const int bigSize = 8 << 20;
    ScriptedHandler handler([bigSize](HttpRequest& request, HttpResponse& response) {
        response.write(request.path() == "/big" ? QByteArray(bigSize, 'x') : QByteArray("small"), true);
    });
    ServerThread server(&handler, {{"sslKeyFile", "key.pem"}, {"sslCertFile", "cert.pem"}});
    QVERIFY(makeCertificate(server.iniDirectory()));
    QVERIFY(server.startAndWait());
    const char* client = R"(
import socket, ssl, sys, time
context = ssl.create_default_context()
context.check_hostname = False
context.verify_mode = ssl.CERT_NONE
s = context.wrap_socket(socket.create_connection(('127.0.0.1', int(sys.argv[1]))))
s.sendall(b'GET /big HTTP/1.1\r\nHost: x\r\n\r\n')
data = s.recv(65536)
time.sleep(0.5)
s.sendall(b'GET /small HTTP/1.1\r\nHost: x\r\n\r\n')
s.settimeout(3)
try:
    while not data.endswith(b'small'):
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
        time.sleep(0.0005)
    s.settimeout(0.3)
    data += s.recv(65536)
except (socket.timeout, ssl.SSLError):
    pass
print(data.count(b'HTTP/1.1 200 OK'), len(data), data.endswith(b'small'))
)";
    QProcess python;
    python.start("python3", {"-c", client, QString::number(server.port())});
    QVERIFY(python.waitForFinished(60000));
    const auto head = [](int size) {
        return "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " + QByteArray::number(size) + "\r\n\r\n";
    };
    const int expected = head(bigSize).size() + bigSize + head(5).size() + 5;
    QCOMPARE(python.readAllStandardOutput().trimmed(), "2 " + QByteArray::number(expected) + " True");
}

// A peer that sends while its answers wait (it never reads) makes the server
// hold neither its input nor the answers beyond bounded buffers.
void TestHttpServer::memoryIsBoundedWhileAnswersAreBlocked()
{
    SKIP_ON_WINDOWS("it measures committed memory in /proc");
    ScriptedHandler handler([](HttpRequest&, HttpResponse& response) { response.write(QByteArray(32 << 20, 'x'), true); });
    ServerThread server(&handler, {{"readTimeout", 60000}});
    QVERIFY(server.startAndWait());
    const qint64 before = committedKiB();
    QTcpSocket client;
    client.setReadBufferSize(4096); // its waits for written bytes would read otherwise
    QVERIFY(connectTo(client, server.port()));
    client.write(kSimpleGet);
    // Never read; send a flood of pipelined requests while the answer waits.
    const QByteArray flood = QByteArray(kSimpleGet).repeated(4096);
    QElapsedTimer timer;
    timer.start();
    qint64 sent = 0;
    while (timer.elapsed() < 3000 && sent < (256LL << 20)) {
        if (client.bytesToWrite() < (1 << 20)) {
            client.write(flood);
            sent += flood.size();
        }
        client.waitForBytesWritten(50);
    }
    const qint64 grownKiB = committedKiB() - before;
    qInfo("sent %lld MiB, the server's committed memory grew by %lld KiB", sent >> 20, grownKiB);
    client.abort();
    // The answer itself (32 MiB) is the handler's; the flood must add little.
    QVERIFY2(grownKiB < 96 * 1024, qPrintable(QString::number(grownKiB)));
}

// The connection may end while its answer is still written; it counts among
// maxThreads until its work is done, not when the peer went away.
void TestHttpServer::connectionCountsUntilItsAnswerEnds()
{
    QSemaphore resume;
    QSemaphore finish;
    ScriptedHandler handler([&](HttpRequest&, HttpResponse& response) {
        response.write(QByteArray(40000, 'a'));
        resume.tryAcquire(1, 10000);
        response.write(QByteArray(1 << 20, 'b')); // meets the closed connection
        finish.tryAcquire(1, 10000);
        response.write("end", true);
    });
    ServerThread server(&handler, {{"maxThreads", 1}, {"ioThreads", 2}});
    QVERIFY(server.startAndWait());
    {
        QTcpSocket first;
        QVERIFY(connectTo(first, server.port()));
        first.write(kSimpleGet);
        QVERIFY(readAtLeast(first, 100).startsWith("HTTP/1.1 200"));
        first.abort();
    }
    resume.release();
    QTest::qWait(300);
    // The first answer is still being written; the other thread turns the
    // next connection away.
    QCOMPARE(rawclient::exchange(server.port(), kSimpleGet, 3000), k503);
    finish.release();
}

// Running out of file descriptors is never permanent: where Qt stops
// accepting after such an error, the listener makes it accept again; and an
// I/O thread that cannot accept for want of a descriptor pauses and tries
// again until it can.
void TestHttpServer::runningOutOfDescriptorsIsNeverPermanent()
{
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    {
        // A listener on this thread, which pauses as Qt does on such an error.
        QTemporaryDir dir;
        QSettings settings(dir.filePath("l.ini"), QSettings::IniFormat);
        settings.setValue("listener/host", "127.0.0.1");
        settings.beginGroup("listener");
        HttpListener listener(&settings, &handler);
        QVERIFY(listener.isListening());
        listener.pauseAccepting();
        emit listener.acceptError(QAbstractSocket::SocketResourceError);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(client.waitForConnected(3000));
        client.write(kSimpleGet);
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += client.readAll()).endsWith("hello"), 5000);
        QCOMPARE(log.count("cannot accept connections"), 1);
    }

    SKIP_ON_WINDOWS("its descriptor limit is a POSIX one (setrlimit)");
#ifdef Q_OS_UNIX
    log.clear();
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    QVERIFY(rawclient::get(server.port(), "/").body == "hello");
    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int open = QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
    struct rlimit tight = saved;
    tight.rlim_cur = rlim_t(open + 16);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
    // Every descriptor below the limit taken, then one given back for the
    // client's socket: the server has none to accept it with.
    QList<int> padding;
    for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0; fd = ::open("/dev/null", O_RDONLY))
        padding.append(fd);
    ::close(padding.takeLast());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.port());
    const bool connected = client.waitForConnected(3000);
    const bool refused = log.waitFor("cannot accept connections", 1, 3000);
    for (int fd : qAsConst(padding))
        ::close(fd);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
    QVERIFY(connected);
    QVERIFY(refused);
    client.write(kSimpleGet);
    QVERIFY(readAtLeast(client, 67).endsWith("hello"));
    QVERIFY(log.waitFor("accepting connections again"));
#endif
}

namespace {
// Keeps accepted descriptors as they are, for a test to hand over itself.
class RawServer : public QTcpServer
{
public:
    QList<qintptr> descriptors;

protected:
    void incomingConnection(qintptr descriptor) override { descriptors.append(descriptor); }
};
} // namespace

// A connection handed over to a loop that is stopping is closed, not
// leaked: its peer learns at once.
void TestHttpServer::handOverAtShutdownIsClosed()
{
    RawServer accepting;
    QVERIFY(accepting.listen(QHostAddress::LocalHost));
    QTcpSocket peer;
    QVERIFY(connectTo(peer, accepting.serverPort()));
    QTRY_COMPARE(accepting.descriptors.size(), 1);
    {
        QTemporaryDir dir;
        QSettings settings(dir.filePath("x.ini"), QSettings::IniFormat);
        settings.setValue("ioThreads", 1);
        HttpRequestHandler requestHandler;
        HttpConnectionHandlerPool pool(&settings, &requestHandler);
        pool.start();
        QVERIFY(pool.handleConnection(accepting.descriptors.first()));
    }
    QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QAbstractSocket::UnconnectedState, 3000);
}

// Where the listener hands connections over (Windows), a connection that
// reaches the only loop as it ends, or arrives after it ended and before its
// replacement is reported, waits for the replacement instead of being closed
// unanswered. This thread is the pool's.
void TestHttpServer::connectionDuringALoopsReplacementIsServed_data()
{
    QTest::addColumn<bool>("beforeItEnds");
    QTest::newRow("handed to the loop as it ends") << true;
    QTest::newRow("handed over after it ended") << false;
}

void TestHttpServer::connectionDuringALoopsReplacementIsServed()
{
    QFETCH(bool, beforeItEnds);
    LogCapture log;
    RawServer accepting;
    QVERIFY(accepting.listen(QHostAddress::LocalHost));
    QTcpSocket first, second;
    QVERIFY(connectTo(first, accepting.serverPort()));
    QVERIFY(connectTo(second, accepting.serverPort()));
    QTRY_COMPARE(accepting.descriptors.size(), 2);
    QSemaphore escapeQueued, secondHandedOver;
    ScriptedHandler handler([&](HttpRequest& request, HttpResponse& response) {
        if (request.path() == "/escape") {
            escapeFromTheEventLoop();
            escapeQueued.release();
            if (beforeItEnds)
                secondHandedOver.tryAcquire(1, 5000);
        }
        fixedBody(request, response);
    });
    QTemporaryDir dir;
    QSettings settings(dir.filePath("x.ini"), QSettings::IniFormat);
    settings.setValue("ioThreads", 1);
    HttpConnectionHandlerPool pool(&settings, &handler);
    pool.start();
    QVERIFY(pool.handleConnection(accepting.descriptors.at(0)));
    first.write("GET /escape HTTP/1.0\r\n\r\n");
    QVERIFY(first.waitForBytesWritten(1000));
    QVERIFY(escapeQueued.tryAcquire(1, 5000));
    if (!beforeItEnds) {
        // No events are processed here, so the replacement is not reported.
        QElapsedTimer waited;
        waited.start();
        while (!log.count("an uncatched exception occured in the thread") && waited.elapsed() < 5000)
            QThread::msleep(10);
        QVERIFY(log.count("an uncatched exception occured in the thread"));
        QThread::msleep(100); // the loop retires right after that line
    }
    QVERIFY(pool.handleConnection(accepting.descriptors.at(1)));
    secondHandedOver.release();
    second.write(kSimpleGet);
    QByteArray answer;
    QTRY_VERIFY_WITH_TIMEOUT((answer += second.readAll()).endsWith("\r\n\r\nhello"), 5000);
    QCOMPARE(pool.size(), 1);
}

// Stopping the server does not wait for a peer that never reads.
void TestHttpServer::shutdownDoesNotWaitForStalledPeers()
{
    LogCapture log;
    QSemaphore answering;
    ScriptedHandler handler([&](HttpRequest&, HttpResponse& response) {
        answering.release();
        for (int i = 0; i < 64; ++i)
            response.write(QByteArray(1 << 20, 'x'));
        response.write("end", true);
    });
    auto* server = new ServerThread(&handler, {{"readTimeout", 60000}});
    QVERIFY(server->startAndWait());
    QTcpSocket stalled;
    stalled.setReadBufferSize(4096);
    QVERIFY(connectTo(stalled, server->port()));
    stalled.write(kSimpleGet);
    QVERIFY(stalled.waitForBytesWritten(1000));
    QVERIFY(answering.tryAcquire(1, 5000));
    QTest::qWait(500);
    QElapsedTimer timer;
    timer.start();
    delete server;
    // Well within the pool's own deadline (5 s), which it never reaches here.
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(log.count("did not stop"), 0);
}

// A descriptor that cannot be used is closed, and its place among
// maxThreads is free again.
void TestHttpServer::unadoptableDescriptorIsReleased()
{
    LogCapture log;
    QTemporaryDir dir;
    QSettings settings(dir.filePath("x.ini"), QSettings::IniFormat);
    HttpRequestHandler requestHandler;
    HttpConnectionHandlerPool pool(&settings, &requestHandler);
    pool.start();
    QVERIFY(pool.handleConnection(tSocketDescriptor(-1)));
    QVERIFY(log.waitFor("cannot initialize socket"));
    QTRY_COMPARE(pool.connectionCount(), 0);
}

void TestHttpServer::emptyHostListensOnIpv4AndIpv6()
{
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {{"host", QString()}});
    QVERIFY(server.startAndWait());
    for (const QHostAddress& address : {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
        // Wine names no owner of an IPv6 connection: such a local peer is refused.
        if (address.protocol() == QAbstractSocket::IPv6Protocol && runningUnderWine())
            QSKIP("Wine's TCP table names no owning process for IPv6 connections");
        QTcpSocket socket;
        QVERIFY2(connectTo(socket, server.port(), address), qPrintable(address.toString()));
        socket.write(kSimpleGet);
        QVERIFY(readAtLeast(socket, 10).startsWith("HTTP/1.1 200"));
    }
}

void TestHttpServer::peerAccountIsFoundByTheExactPair_data()
{
    QTest::addColumn<QString>("listenOn");
    QTest::addColumn<QString>("connectTo");
    QTest::addColumn<bool>("closeFirst");
    QTest::newRow("IPv4") << "127.0.0.1" << "127.0.0.1" << false;
    QTest::newRow("IPv6") << "::1" << "::1" << false;
    QTest::newRow("IPv4 to a dual-stack listener (v4-mapped)") << "::" << "127.0.0.1" << false;
    QTest::newRow("a peer that closed before the lookup") << "127.0.0.1" << "127.0.0.1" << true;
}

// The owner of the peer's socket, found by the exact pair of addresses; a
// peer that is gone has no owner, and the filter refuses it.
void TestHttpServer::peerAccountIsFoundByTheExactPair()
{
    QFETCH(QString, listenOn);
    QFETCH(QString, connectTo);
    QFETCH(bool, closeFirst);
    if (listenOn == "::1" && runningUnderWine())
        QSKIP("Wine's TCP table names no owning process for IPv6 connections");
    QTcpServer server;
    QVERIFY(server.listen(listenOn == "::" ? QHostAddress(QHostAddress::Any) : QHostAddress(listenOn)));
    QTcpSocket client;
    client.connectToHost(QHostAddress(connectTo), server.serverPort());
    QVERIFY(client.waitForConnected(3000));
    QVERIFY(server.waitForNewConnection(3000));
    QTcpSocket* accepted = server.nextPendingConnection();
    const QHostAddress local = accepted->localAddress();
    const QHostAddress peer = accepted->peerAddress();
    const quint16 localPort = accepted->localPort();
    const quint16 peerPort = accepted->peerPort();
    if (closeFirst) {
        // Reset at once, so that no socket of it is left.
        const linger reset = {1, 0};
        ::setsockopt(decltype(socketOf(client))(client.socketDescriptor()), SOL_SOCKET, SO_LINGER,
                     reinterpret_cast<const char*>(&reset), sizeof reset);
        client.abort();
    }
    const PeerAccount owner = PeerAccount::ownerOf(local, localPort, peer, peerPort);
    QTemporaryDir dir;
    QSettings settings(dir.filePath("x.ini"), QSettings::IniFormat);
    QString refusal;
    const bool admitted = PeerAccountFilter(&settings).admits(local, localPort, peer, peerPort, &refusal);
    if (closeFirst) {
        QVERIFY(!owner.found);
        QVERIFY(!admitted);
        QVERIFY2(refusal.contains("cannot be found"), qPrintable(refusal));
    } else {
        QVERIFY2(owner.found, qPrintable(accepted->peerAddress().toString()));
        QCOMPARE(owner.id, PeerAccount::current().id);
        QVERIFY(admitted);
    }
    // The server's own end is never taken for the peer's.
    QVERIFY(!PeerAccount::ownerOf(peer, peerPort, local, localPort + 1).found);
    // Nor is a peer whose address could not be read.
    QVERIFY(!PeerAccountFilter(&settings).admits(local, localPort, QHostAddress(), 0, &refusal));
}

void TestHttpServer::otherAccountsAreTurnedAwayUnread_data()
{
    QTest::addColumn<QString>("allowedAccounts");
    QTest::addColumn<bool>("served");
    QTest::newRow("the owner alone") << QString() << false;
    QTest::newRow("the other account listed") << "someone, nobody" << true;
    QTest::newRow("every account") << "*" << true;
}

// A program of another account (nobody, started through setpriv) is turned
// away before its request is read, with one line that names its account,
// unless the listener lists it.
void TestHttpServer::otherAccountsAreTurnedAwayUnread()
{
    QFETCH(QString, allowedAccounts);
    QFETCH(bool, served);
    SKIP_ON_WINDOWS("the other account's program is started with setpriv");
#ifdef Q_OS_UNIX
    if (::geteuid() != 0)
        QSKIP("a program of another account can only be started as root");
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    QVariantMap keys;
    if (!allowedAccounts.isEmpty())
        keys.insert("allowedAccounts", allowedAccounts.split(','));
    ServerThread server(&handler, keys);
    QVERIFY(server.startAndWait());
    const char* client = R"(
import socket, sys
s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))
s.sendall(b'GET / HTTP/1.1\r\nHost: x\r\n\r\n')
s.settimeout(5)
try:
    data = s.recv(1000)
except OSError as e:
    data = b''
print(data.decode(errors='replace').split('\r\n')[0] or 'closed')
)";
    QProcess other;
    other.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/python3", "-c", client,
                            QString::number(server.port())});
    QVERIFY(other.waitForFinished(15000));
    const QByteArray answer = other.readAllStandardOutput().trimmed();
    QCOMPARE(answer, served ? QByteArray("HTTP/1.1 200 OK") : QByteArray("closed"));
    QCOMPARE(log.count("refused a program of the account nobody"), served ? 0 : 1);
    QVERIFY(rawclient::get(server.port(), "/").body == "hello");
#endif
}

void TestHttpServer::curlKeepsTheConnectionAlive()
{
    if (!haveTool("curl"))
        QSKIP("curl is not installed");
    ScriptedHandler handler([](HttpRequest& request, HttpResponse& response) {
        response.write("p=" + request.parameter("p") + ";", true);
    });
    ServerThread server(&handler, {});
    QVERIFY(server.startAndWait());
    const QString base = QString("http://127.0.0.1:%1/").arg(server.port());
    QProcess curl;
    curl.start("curl", {"-sv", base + "?p=1", base + "?p=two%20words"});
    QVERIFY(curl.waitForFinished(10000));
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("p=1;p=two words;"));
    QVERIFY(curl.readAllStandardError().contains("Re-using existing connection"));
}

bool TestHttpServer::makeCertificate(const QString& dir)
{
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir + "/key.pem", "-out",
                              dir + "/cert.pem", "-days", "2", "-subj", "/CN=localhost", "-addext",
                              "subjectAltName=DNS:localhost,IP:127.0.0.1"});
    return openssl.waitForFinished(30000) && openssl.exitCode() == 0;
}

void TestHttpServer::tlsServesCurlAndRefusesTls10()
{
    if (!haveTool("curl") || !haveTool("openssl"))
        QSKIP("curl or openssl is not installed");
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    // Relative names are resolved against the directory of the INI file.
    ServerThread server(&handler, {{"sslKeyFile", "key.pem"}, {"sslCertFile", "cert.pem"}});
    QVERIFY(makeCertificate(server.iniDirectory()));
    QVERIFY(server.startAndWait());
    QVERIFY(log.count("SSL settings loaded") == 1);
    const QString url = QString("https://127.0.0.1:%1/").arg(server.port());

    QProcess curl;
    curl.start("curl", {"-s", "-k", "--tlsv1.2", url, url});
    QVERIFY(curl.waitForFinished(15000));
    QCOMPARE(curl.exitCode(), 0);
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("hellohello"));

    QProcess old;
    old.start("curl", {"-s", "-k", "--tlsv1.0", "--tls-max", "1.0", "--ciphers", "DEFAULT@SECLEVEL=0", url});
    QVERIFY(old.waitForFinished(15000));
    QVERIFY(old.exitCode() != 0);
    QVERIFY(old.readAllStandardOutput().isEmpty());

    // Plain HTTP on the TLS port gets no answer.
    QVERIFY(!rawclient::exchange(server.port(), kSimpleGet, 1000).contains("hello"));
}

// The handler threads share one TLS context: a client resumes its session on
// later connections, whichever thread serves them, and many handshakes at
// once on several threads all complete.
void TestHttpServer::tlsSessionsResumeAcrossHandlerThreads()
{
    if (!haveTool("curl") || !haveTool("openssl"))
        QSKIP("curl or openssl is not installed");
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {{"sslKeyFile", "key.pem"}, {"sslCertFile", "cert.pem"}});
    QVERIFY(makeCertificate(server.iniDirectory()));
    QVERIFY(server.startAndWait());
    const QString address = QString("127.0.0.1:%1").arg(server.port());

    QStringList urls;
    for (int i = 0; i < 200; ++i)
        urls << "https://" + address + "/";
    QProcess burst;
    burst.start("curl", QStringList{"-s", "-k", "-Z", "--parallel-max", "40", "-H", "Connection: close"} + urls);
    QVERIFY(burst.waitForFinished(60000));
    QCOMPARE(burst.readAllStandardOutput(), QByteArray("hello").repeated(200));
    QVERIFY(server.poolSize() > 1);

    QProcess client;
    client.start("openssl", {"s_client", "-connect", address, "-tls1_2", "-reconnect"});
    client.closeWriteChannel();
    QVERIFY(client.waitForFinished(30000));
    const QByteArray output = client.readAllStandardOutput();
    // With one shared context the first connection negotiates and the five
    // after it resume; with a context per connection each negotiates.
    const bool shared = log.count("the TLS connections share one context") == 1;
    QCOMPARE(output.count("\nNew, TLSv1.2"), shared ? 1 : 6);
    QCOMPARE(output.count("\nReused, TLSv1.2"), shared ? 5 : 0);
}

// A context is shared only where Qt leaves it alone: with next protocols
// (ALPN) Qt rewrites it for every socket.
void TestHttpServer::tlsContextIsSharedOnlyWithoutNextProtocols()
{
    SKIP_WITHOUT_TLS();
#if QT_CONFIG(ssl)
    LogCapture log;
    QSslConfiguration configuration;
    { SslServerContext plain(configuration); }
    configuration.setAllowedNextProtocols({QSslConfiguration::ALPNProtocolHTTP2});
    { SslServerContext withNextProtocols(configuration); }
    const bool forcedOff = qEnvironmentVariableIsSet("QUILLON_SHARED_TLS_CONTEXT");
    QCOMPARE(log.count("the TLS connections share one context"), forcedOff ? 0 : 1);
    QCOMPARE(log.count("a TLS context per connection (next protocols are configured)"), 1);
#endif
}

void TestHttpServer::missingTlsFilesFallBackToPlainTcp()
{
    SKIP_WITHOUT_TLS();
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {{"sslKeyFile", "missing-key.pem"}, {"sslCertFile", "missing-cert.pem"}});
    QVERIFY(server.startAndWait());
    const QString certPath = QDir(server.iniDirectory()).filePath("missing-cert.pem");
    QCOMPARE(log.count("HttpConnectionHandlerPool: cannot open sslCertFile " + certPath), 1);
    QVERIFY(rawclient::exchange(server.port(), "GET / HTTP/1.0\r\n\r\n").endsWith("hello"));
}

// An installed client's configuration lies where users cannot write: their
// own key and certificate come from their configuration folder.
void TestHttpServer::relativeTlsFilesAreTheUsersFirst()
{
    if (!haveTool("openssl"))
        QSKIP("openssl is not installed");
    QTemporaryDir configHome;
    const QByteArray savedConfigHome = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    const QString own = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QVERIFY(own.startsWith(configHome.path()) && QDir().mkpath(own) && makeCertificate(own));
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    {
        ServerThread server(&handler, {{"sslKeyFile", "key.pem"}, {"sslCertFile", "cert.pem"}});
        QVERIFY(server.startAndWait());
    }
    qputenv("XDG_CONFIG_HOME", savedConfigHome);
    QCOMPARE(log.count("SSL settings loaded"), 1);
    QCOMPARE(log.count("cannot open"), 0);
}

void TestHttpServer::keyWithoutCertificateMeansNoTls()
{
    LogCapture log;
    ScriptedHandler handler(fixedBody);
    ServerThread server(&handler, {{"sslKeyFile", "key.pem"}});
    QVERIFY(server.startAndWait());
    QCOMPARE(log.messages().filter(QRegularExpression("ssl|SSL")).size(), 0);
    QVERIFY(rawclient::exchange(server.port(), "GET / HTTP/1.0\r\n\r\n").endsWith("hello"));
}

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
