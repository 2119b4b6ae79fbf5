// The response writer on a real socket pair, and the cookie value type.
#include "httpcookie.h"
#include "httpresponse.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

Q_DECLARE_METATYPE(quillon::HttpCookie)

using namespace quillon;

class TestHttpResponse : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fixedLengthAnswer();
    void headersOnlyWriteSendsNoBody();
    void namedOriginAndBodylessStatuses_data();
    void namedOriginAndBodylessStatuses();
    void chunkedParts();
    void connectionCloseInAnyCaseStreams_data();
    void connectionCloseInAnyCaseStreams();
    void headerNamesDifferingInCaseAreBothSent();
    void statusAfterFirstWriteHasNoEffect();
    void cookiesAreSortedAndEmptyNamesIgnored();

    void cookieHeaderValue_data();
    void cookieHeaderValue();
    void splitSemicolonList_data();
    void splitSemicolonList();

private:
    QByteArray received(int wanted, int timeoutMs = 3000);

    QTcpServer m_server;
    QTcpSocket m_client;
    QTcpSocket* m_serverSide = nullptr;
};

void TestHttpResponse::init()
{
    QVERIFY(m_server.listen(QHostAddress::LocalHost));
    m_client.connectToHost(QHostAddress::LocalHost, m_server.serverPort());
    QVERIFY(m_client.waitForConnected(3000));
    QVERIFY(m_server.waitForNewConnection(3000));
    m_serverSide = m_server.nextPendingConnection();
}

void TestHttpResponse::cleanup()
{
    delete m_serverSide;
    m_serverSide = nullptr;
    m_client.abort();
    m_server.close();
}

QByteArray TestHttpResponse::received(int wanted, int timeoutMs)
{
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (data.size() < wanted && timer.elapsed() < timeoutMs) {
        m_serverSide->flush();
        m_client.waitForReadyRead(20);
        data += m_client.readAll();
    }
    return data;
}

void TestHttpResponse::fixedLengthAnswer()
{
    HttpResponse response(m_serverSide);
    response.setHeader("Content-Type", "text/plain");
    response.setHeader("Content-Length", "999");
    response.setCookie(HttpCookie("b", "2", 0));
    response.setCookie(HttpCookie("a", "1", 0));
    response.write("12345", true);
    QVERIFY(response.lastPartSent());
    const QByteArray expected = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 5\r\n"
                                "Content-Type: text/plain\r\nSet-Cookie: a=1; Version=1\r\nSet-Cookie: b=2; Version=1\r\n"
                                "\r\n12345";
    QCOMPARE(received(expected.size()), expected);
}

void TestHttpResponse::headersOnlyWriteSendsNoBody()
{
    HttpResponse response(m_serverSide);
    response.setHeader("Connection", "close");
    response.write(QByteArray());
    QVERIFY(!response.lastPartSent());
    const QByteArray expected = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
    QCOMPARE(received(expected.size() + 1), expected);
}

void TestHttpResponse::namedOriginAndBodylessStatuses_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("named origin stays") << 200 << QByteArray("https://a.example")
                                        << QByteArray("HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: https://a.example\r\n"
                                                      "Content-Length: 4\r\n\r\nbody");
    // RFC 9110 8.6: neither a Content-Length nor a body.
    QTest::newRow("204") << 204 << QByteArray()
                         << QByteArray("HTTP/1.1 204 OK\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
    QTest::newRow("304") << 304 << QByteArray()
                         << QByteArray("HTTP/1.1 304 OK\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
}

void TestHttpResponse::namedOriginAndBodylessStatuses()
{
    QFETCH(int, status);
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, expected);
    HttpResponse response(m_serverSide);
    response.setStatus(status, "OK");
    if (!origin.isEmpty())
        response.setHeader("Access-Control-Allow-Origin", origin);
    response.write("body", true);
    // A body that should not be there would follow at once.
    QCOMPARE(received(expected.size() + 4, 300), expected);
}

void TestHttpResponse::chunkedParts()
{
    HttpResponse response(m_serverSide);
    response.write(QByteArray(300, 'x'));
    response.write(QByteArray());
    response.write(QByteArray(10, 'y'), true);
    const QByteArray expected = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n12c\r\n" + QByteArray(300, 'x')
        + "\r\na\r\n" + QByteArray(10, 'y') + "\r\n0\r\n\r\n";
    QCOMPARE(received(expected.size()), expected);
}

void TestHttpResponse::connectionCloseInAnyCaseStreams_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("Connection close") << QByteArray("Connection") << QByteArray("close");
    QTest::newRow("connection CLOSE") << QByteArray("connection") << QByteArray("CLOSE");
}

void TestHttpResponse::connectionCloseInAnyCaseStreams()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    HttpResponse response(m_serverSide);
    response.setHeader(name, value);
    response.write("ab");
    response.write("cd", true);
    const QByteArray expected = "HTTP/1.1 200 OK\r\n" + name + ": " + value + "\r\n\r\nabcd";
    QCOMPARE(received(expected.size()), expected);
}

void TestHttpResponse::headerNamesDifferingInCaseAreBothSent()
{
    HttpResponse response(m_serverSide);
    response.setHeader("Content-Type", "a");
    response.setHeader("content-type", "b");
    response.write("", true);
    const QByteArray expected = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 0\r\n"
                                "Content-Type: a\r\ncontent-type: b\r\n\r\n";
    QCOMPARE(received(expected.size()), expected);
}

void TestHttpResponse::statusAfterFirstWriteHasNoEffect()
{
    HttpResponse response(m_serverSide);
    response.setStatus(404, "not found");
    response.write("a");
    response.setStatus(500, "late");
    response.setHeader("X-Late", "1");
    response.write("b", true);
    const QByteArray expected = "HTTP/1.1 404 not found\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n1\r\nb\r\n0\r\n\r\n";
    QCOMPARE(received(expected.size()), expected);
}

void TestHttpResponse::cookiesAreSortedAndEmptyNamesIgnored()
{
    HttpResponse response(m_serverSide);
    response.setCookie(HttpCookie("", "nameless", 10));
    response.setCookie(HttpCookie("sid", "first", 0));
    response.setCookie(HttpCookie("sid", "second", 0));
    QCOMPARE(response.cookies().size(), 1);
    QCOMPARE(response.cookies().value("sid").value(), QByteArray("second"));
}

void TestHttpResponse::cookieHeaderValue_data()
{
    QTest::addColumn<HttpCookie>("cookie");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("name, value, max-age, path") << HttpCookie("sid", "abc", 3600, "/")
                                                 << QByteArray("sid=abc; Max-Age=3600; Path=/; Version=1");
    QTest::newRow("every attribute")
        << HttpCookie("n", "v", -1, "/p", "a comment", "example.org", true, true)
        << QByteArray("n=v; Comment=a comment; Domain=example.org; Max-Age=-1; Path=/p; Secure; HttpOnly; Version=1");
    QTest::newRow("defaults") << HttpCookie() << QByteArray("=; Version=1");
    QTest::newRow("value sent unchanged") << HttpCookie("q", "a;b \"c\"", 0) << QByteArray("q=a;b \"c\"; Version=1");
}

void TestHttpResponse::cookieHeaderValue()
{
    QFETCH(HttpCookie, cookie);
    QFETCH(QByteArray, text);
    QCOMPARE(cookie.toHeaderValue(), text);
}

void TestHttpResponse::splitSemicolonList_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::newRow("quoted semicolon") << QByteArray("a=1; b=\"x;y\"; c") << QList<QByteArray>{"a=1", "b=x;y", "c"};
    QTest::newRow("empty pieces skipped") << QByteArray(";; a ;;b;") << QList<QByteArray>{"a", "b"};
    QTest::newRow("empty") << QByteArray() << QList<QByteArray>{};
    QTest::newRow("unbalanced quote") << QByteArray("a=\"x;y") << QList<QByteArray>{"a=x;y"};
}

void TestHttpResponse::splitSemicolonList()
{
    QFETCH(QByteArray, source);
    QFETCH(QList<QByteArray>, pieces);
    QCOMPARE(HttpCookie::splitSemicolonList(source), pieces);
}

QTEST_GUILESS_MAIN(TestHttpResponse)
#include "tst_httpresponse.moc"
