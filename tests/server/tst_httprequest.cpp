// The request parser fed from memory: request line, headers, parameters,
// cookies, limits and multipart bodies.
#include "httprequest.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <QTest>

#include "testserver.h"

using namespace quillon;

namespace {

// Feeds bytes the way the connection handler does: readFrom while bytes are
// available and the request is neither complete nor aborted.
void feed(HttpRequest& request, const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    while (buffer.bytesAvailable() && request.status() != HttpRequest::Complete
           && request.status() != HttpRequest::Aborted)
        request.readFrom(&buffer);
}

QByteArray multipartBody(const QByteArray& boundary, const QList<QPair<QByteArray, QByteArray>>& parts, bool close = true)
{
    QByteArray body;
    for (const auto& part : parts) {
        body += "--" + boundary + "\r\n" + part.first + "\r\n\r\n" + part.second + "\r\n";
    }
    if (close)
        body += "--" + boundary + "--\r\n";
    return body;
}

QByteArray multipartRequest(const QByteArray& body, const QByteArray& boundary = "XyZ")
{
    return "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class TestHttpRequest : public QObject
{
    Q_OBJECT

private slots:
    void requestLine_data();
    void requestLine();
    void emptyLineBeforeRequestLineIsSkipped();
    void pathIsDecodedAndParametersCollected();
    void headerNamesAreLowerCasedAndLookedUpIgnoringCase();
    void headerLinesOutsideTheSyntaxAreBadRequests_data();
    void headerLinesOutsideTheSyntaxAreBadRequests();
    void foldedLineJoinsThePreviousHeader();
    void formBodyAndQueryAreMerged();
    void nonFormBodyIsNotParsed();
    void contentLength_data();
    void contentLength();
    void oversizedRequestIsRefusedBeforeTheBody();
    void headerBudgetUsedUpAborts();
    void cookiesWithQuotedParts();
    void urlDecode_data();
    void urlDecode();
    void oneByteSegmentsParseLikeOneChunk();
    void multipartFieldAndUpload();
    void multipartLimitOnBothSidesOfTheBoundary();
    void multipartWithoutClosingLineKeepsFinishedParts();
    void filePartWithoutContentIsSafe();
    void temporaryFilesAreRemovedWithTheRequest();
};

void TestHttpRequest::requestLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << QByteArray("GET / HTTP/1.1") << true;
    QTest::newRow("absolute form") << QByteArray("GET http://h/a HTTP/1.0") << true;
    QTest::newRow("asterisk form") << QByteArray("OPTIONS * HTTP/1.1") << true;
    QTest::newRow("extension method") << QByteArray("M-SEARCH / HTTP/1.1") << true;
    // RFC 9112 3: one space between the parts, a version HTTP/d.d, a target
    // in origin or absolute form, a method that is a token.
    QTest::newRow("HTTP anywhere in third word") << QByteArray("GET / xHTTPx") << false;
    QTest::newRow("trailing tab") << QByteArray("GET / HTTP/1.1\t") << false;
    QTest::newRow("target without slash") << QByteArray("GET w HTTP/1.1") << false;
    QTest::newRow("method not a token") << QByteArray("G(T / HTTP/1.1") << false;
    QTest::newRow("two spaces") << QByteArray("GET  / HTTP/1.1") << false;
    QTest::newRow("FOO version") << QByteArray("GET / FOO/1.1") << false;
    QTest::newRow("lower-case http") << QByteArray("GET / http/1.1") << false;
    QTest::newRow("two words") << QByteArray("GET /") << false;
    QTest::newRow("four words") << QByteArray("GET / HTTP/1.1 x") << false;
}

void TestHttpRequest::requestLine()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, valid);
    HttpRequest request(16000, 1000000);
    feed(request, line + "\r\n\r\n");
    QCOMPARE(request.status(), valid ? HttpRequest::Complete : HttpRequest::Aborted);
}

void TestHttpRequest::emptyLineBeforeRequestLineIsSkipped()
{
    HttpRequest request(16000, 1000000);
    feed(request, "\r\nGET /x HTTP/1.1\r\n\r\n");
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.method(), QByteArray("GET"));
    QCOMPARE(request.path(), QByteArray("/x"));
    QCOMPARE(request.version(), QByteArray("HTTP/1.1"));
}

void TestHttpRequest::pathIsDecodedAndParametersCollected()
{
    HttpRequest request(16000, 1000000);
    feed(request, "GET /a%20b?x=1&y=%41&x=2 HTTP/1.1\r\n\r\n");
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.path(), QByteArray("/a b"));
    QCOMPARE(request.parameter("y"), QByteArray("A"));
    QCOMPARE(request.parameter("x"), QByteArray("2"));
    QCOMPARE(request.parameterMap().values("x"), (QList<QByteArray>{"2", "1"}));
    QCOMPARE(request.parameter("X"), QByteArray());
}

void TestHttpRequest::headerNamesAreLowerCasedAndLookedUpIgnoringCase()
{
    HttpRequest request(16000, 1000000);
    feed(request, "GET / HTTP/1.1\r\nContent-Type:  text/html  \r\nX-Twice: a\r\nx-twice: b\r\n\r\n");
    QCOMPARE(request.header("Content-Type"), QByteArray("text/html"));
    QCOMPARE(request.header("content-type"), QByteArray("text/html"));
    QCOMPARE(request.header("X-TWICE"), QByteArray("b"));
    QCOMPARE(request.headerMap().keys(), (QList<QByteArray>{"content-type", "x-twice", "x-twice"}));
}

// RFC 9112 5.1: a field name is a token right before the colon.
void TestHttpRequest::headerLinesOutsideTheSyntaxAreBadRequests_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("space before the colon") << QByteArray("Host : example");
    QTest::newRow("tab before the colon") << QByteArray("Host\t: example");
    QTest::newRow("no colon") << QByteArray("Content-Length 45");
    QTest::newRow("colon first") << QByteArray(":starts with colon");
    QTest::newRow("space inside the name") << QByteArray("X A: b");
    QTest::newRow("control in the name") << QByteArray("X\x01: b");
}

void TestHttpRequest::headerLinesOutsideTheSyntaxAreBadRequests()
{
    QFETCH(QByteArray, line);
    HttpRequest request(16000, 1000000);
    feed(request, "GET / HTTP/1.1\r\nX-Before: 1\r\n" + line + "\r\n\r\n");
    QCOMPARE(request.status(), HttpRequest::Aborted);
    QCOMPARE(request.abortStatus(), 400);
}

void TestHttpRequest::foldedLineJoinsThePreviousHeader()
{
    HttpRequest request(16000, 1000000);
    feed(request, "GET / HTTP/1.1\r\nX-A: one\r\n   more\r\n\tand more\r\n\r\n");
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.header("x-a"), QByteArray("one more and more"));
    QCOMPARE(request.headerMap().values("x-a"), QList<QByteArray>{"one more and more"});
}

void TestHttpRequest::formBodyAndQueryAreMerged()
{
    HttpRequest request(16000, 1000000);
    feed(request, "POST /f?c=3 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                  "Content-Length: 5\r\n\r\na=1&b");
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.parameter("a"), QByteArray("1"));
    QVERIFY(request.parameterMap().contains("b"));
    QCOMPARE(request.parameter("b"), QByteArray());
    QCOMPARE(request.parameter("c"), QByteArray("3"));
    QCOMPARE(request.path(), QByteArray("/f"));
}

void TestHttpRequest::nonFormBodyIsNotParsed()
{
    HttpRequest request(16000, 1000000);
    feed(request, "POST /f?c=3 HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\na=1&b");
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.parameterMap().size(), 1);
    QCOMPARE(request.body(), QByteArray("a=1&b"));
}

void TestHttpRequest::contentLength_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("zero") << QByteArray("Content-Length: 0\r\n") << int(HttpRequest::Complete) << QByteArray();
    QTest::newRow("leading zeros") << QByteArray("Content-Length: 003\r\n") << int(HttpRequest::Complete)
                                   << QByteArray("abc");
    QTest::newRow("twice, same value") << QByteArray("Content-Length: 3\r\nContent-Length: 3\r\n")
                                       << int(HttpRequest::Aborted) << QByteArray();
    QTest::newRow("text") << QByteArray("Content-Length: abc\r\n") << int(HttpRequest::Aborted) << QByteArray();
    QTest::newRow("negative") << QByteArray("Content-Length: -5\r\n") << int(HttpRequest::Aborted) << QByteArray();
    QTest::newRow("hexadecimal") << QByteArray("Content-Length: 0x3\r\n") << int(HttpRequest::Aborted) << QByteArray();
    QTest::newRow("too large for int") << QByteArray("Content-Length: 99999999999\r\n") << int(HttpRequest::Aborted)
                                       << QByteArray();
    // Lengths whose sum with the bytes already read overflows, or that would
    // reserve gigabytes, if the size check added them up.
    for (const char* huge : {"9223372036854775807", "9223372036854775800", "9223372036854775000",
                             "4611686018427387904", "4294967301", "2147483648"})
        QTest::newRow(huge) << QByteArray("Content-Length: ") + huge + "\r\n" << int(HttpRequest::Aborted)
                            << QByteArray();
    QTest::newRow("folded into two numbers") << QByteArray("Content-Length: 3\r\n 3\r\n") << int(HttpRequest::Aborted)
                                             << QByteArray();
    QTest::newRow("transfer coding") << QByteArray("Transfer-Encoding: chunked\r\n") << int(HttpRequest::Aborted)
                                     << QByteArray();
}

void TestHttpRequest::contentLength()
{
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    HttpRequest request(16000, 1000000);
    feed(request, "POST / HTTP/1.1\r\n" + headers + "\r\nabc");
    QCOMPARE(int(request.status()), status);
    QCOMPARE(request.body(), body);
}

void TestHttpRequest::oversizedRequestIsRefusedBeforeTheBody()
{
    LogCapture log;
    const QByteArray head = "POST / HTTP/1.1\r\nContent-Length: 15990\r\n\r\n";
    HttpRequest request(16000, 1000000);
    feed(request, head);
    QCOMPARE(request.status(), HttpRequest::Aborted);
    QCOMPARE(log.count("HttpRequest: expected body is too large"), 1);

    HttpRequest fits(16000, 1000000);
    const int bodySize = 16000 - 42;
    const QByteArray exact = "POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(bodySize) + "\r\n\r\n";
    QCOMPARE(exact.size(), 42);
    feed(fits, exact + QByteArray(bodySize, 'a'));
    QCOMPARE(fits.status(), HttpRequest::Complete);
}

void TestHttpRequest::headerBudgetUsedUpAborts()
{
    LogCapture log;
    HttpRequest request(50, 1000000);
    feed(request, "GET / HTTP/1.1\r\nX-Long: " + QByteArray(100, 'x'));
    QCOMPARE(request.status(), HttpRequest::Aborted);
    QCOMPARE(log.count("HttpRequest: received too many bytes"), 1);
}

void TestHttpRequest::cookiesWithQuotedParts()
{
    HttpRequest request(16000, 1000000);
    feed(request, "GET / HTTP/1.1\r\nCookie: a=1; b=\"x;y\"; c\r\nCookie: a=2;;\r\n\r\n");
    QCOMPARE(request.cookie("b"), QByteArray("x;y"));
    QCOMPARE(request.cookie("c"), QByteArray());
    QVERIFY(request.cookieMap().contains("c"));
    QCOMPARE(request.cookie("a"), QByteArray("1"));
    QVERIFY(!request.headerMap().contains("cookie"));
    QCOMPARE(request.header("Cookie"), QByteArray());
}

void TestHttpRequest::urlDecode_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("decoded");
    QTest::newRow("percent four at end") << QByteArray("%4") << QByteArray("\x04", 1);
    QTest::newRow("not hex") << QByteArray("%zz") << QByteArray("%zz");
    QTest::newRow("plus and encoded plus") << QByteArray("a+b%2B") << QByteArray("a b+");
    QTest::newRow("decoded percent is not decoded again") << QByteArray("%2541") << QByteArray("%41");
    QTest::newRow("lone percent") << QByteArray("100%") << QByteArray("100%");
    QTest::newRow("NUL byte") << QByteArray("a%00b") << QByteArray("a\0b", 3);
    QTest::newRow("high byte") << QByteArray("%C3%A9") << QByteArray("\xC3\xA9");
}

void TestHttpRequest::urlDecode()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, decoded);
    QCOMPARE(HttpRequest::urlDecode(source), decoded);
}

void TestHttpRequest::oneByteSegmentsParseLikeOneChunk()
{
    const QByteArray bytes = "POST /s?q=1 HTTP/1.1\r\nX-A: " + QByteArray(80, 'a')
        + "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\nb=2&c=3";
    // The budget covers the request only if every byte is counted once.
    HttpRequest request(bytes.size(), 1000000);
    for (char c : bytes) {
        QVERIFY(request.status() != HttpRequest::Aborted);
        feed(request, QByteArray(1, c));
    }
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.header("x-a"), QByteArray(80, 'a'));
    QCOMPARE(request.parameter("q"), QByteArray("1"));
    QCOMPARE(request.parameter("c"), QByteArray("3"));
}

void TestHttpRequest::multipartFieldAndUpload()
{
    const QByteArray content = "\x00\x01 binary\r\nwith lines\r\n" + QByteArray(70000, 'z');
    const QByteArray body = multipartBody("XyZ", {
        {"Content-Disposition: form-data; name=\"greeting\"", "hello"},
        {"Content-Disposition: form-data; name=\"file1\"; filename=\"pic.jpg\"\r\nContent-Type: image/jpeg", content},
    });
    HttpRequest request(16000, 1000000);
    feed(request, multipartRequest(body));
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.parameter("greeting"), QByteArray("hello"));
    QCOMPARE(request.parameter("file1"), QByteArray("pic.jpg"));
    QTemporaryFile* file = request.uploadedFile("file1");
    QVERIFY(file);
    QCOMPARE(file->pos(), qint64(0));
    QCOMPARE(file->size(), qint64(content.size()));
    QCOMPARE(file->readAll(), content);
    QVERIFY(!request.uploadedFile("greeting"));
}

void TestHttpRequest::multipartLimitOnBothSidesOfTheBoundary()
{
    LogCapture log;
    const QByteArray disposition = "Content-Disposition: form-data; name=\"f\"; filename=\"a\"";
    const int overhead = multipartBody("XyZ", {{disposition, QByteArray()}}).size();

    const QByteArray atLimitBody = multipartBody("XyZ", {{disposition, QByteArray(1000000 - overhead, 'q')}});
    QCOMPARE(atLimitBody.size(), 1000000);
    HttpRequest atLimit(16000, 1000000);
    feed(atLimit, multipartRequest(atLimitBody));
    QCOMPARE(atLimit.status(), HttpRequest::Aborted);
    QCOMPARE(log.count("HttpRequest: received too many multipart bytes"), 1);

    const QByteArray belowBody = multipartBody("XyZ", {{disposition, QByteArray(999999 - overhead, 'q')}});
    HttpRequest belowLimit(16000, 1000000);
    feed(belowLimit, multipartRequest(belowBody));
    QCOMPARE(belowLimit.status(), HttpRequest::Complete);
    QCOMPARE(belowLimit.uploadedFile("f")->size(), qint64(999999 - overhead));
}

void TestHttpRequest::multipartWithoutClosingLineKeepsFinishedParts()
{
    QByteArray body = multipartBody("b", {{"Content-Disposition: form-data; name=\"one\"", "1"}}, false);
    body += "--b\r\nContent-Disposition: form-data; name=\"two\"\r\n\r\nunfinished";
    HttpRequest request(16000, 1000000);
    feed(request, multipartRequest(body, "\"b\""));
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.parameter("one"), QByteArray("1"));
    QVERIFY(!request.parameterMap().contains("two"));
}

void TestHttpRequest::filePartWithoutContentIsSafe()
{
    const QByteArray body = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"e.txt\"\r\n\r\n--b--\r\n";
    HttpRequest request(16000, 1000000);
    feed(request, multipartRequest(body, "b"));
    QCOMPARE(request.status(), HttpRequest::Complete);
    QCOMPARE(request.parameter("f"), QByteArray("e.txt"));
    QTemporaryFile* file = request.uploadedFile("f");
    QVERIFY(file);
    QCOMPARE(file->size(), qint64(0));
}

// A second upload under the same field name replaces the first, whose file
// is released at once.
void TestHttpRequest::temporaryFilesAreRemovedWithTheRequest()
{
    // Temporary files may have no name in the directory listing (O_TMPFILE),
    // so open descriptors are counted instead.
    const auto openFiles = [] { return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size(); };
    const QByteArray body = multipartBody("b", {
        {"Content-Disposition: form-data; name=\"f\"; filename=\"first\"", "one"},
        {"Content-Disposition: form-data; name=\"f\"; filename=\"second\"", "two"},
    });
    const int before = openFiles();
    {
        HttpRequest request(16000, 1000000);
        feed(request, multipartRequest(body, "b"));
        QCOMPARE(request.status(), HttpRequest::Complete);
        // The spooled body (an unnamed temporary file stays open until it is
        // deleted) and the one current upload: the replaced upload is gone.
        QCOMPARE(openFiles(), before + 2);
        QCOMPARE(request.parameter("f"), QByteArray("second"));
        QCOMPARE(request.uploadedFile("f")->readAll(), QByteArray("two"));
    }
    QCOMPARE(openFiles(), before);
}

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "tst_httprequest.moc"
