// The local command endpoint and the demonstration pages behind a real
// server: command texts (always valid JSON, equal to what the window gets)
// and the four pages.
#include "activationhost.h"
#include "globals.h"
#include "httpsessionstore.h"
#include "requestmapper.h"
#include "templatecache.h"
#include "testserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <limits>

namespace {

// Stands in for the main window: records the commands it receives.
class CommandReceiver : public QObject
{
    Q_OBJECT

public:
    QStringList received;

public slots:
    void checkApplicationArguments(QString arg) { received.append(arg); }
};

QByteArray bodyOf(const QByteArray& raw)
{
    return raw.mid(raw.indexOf("\r\n\r\n") + 4);
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init() { m_receiver.received.clear(); }

    void commandText_data();
    void commandText();
    void hostileValuesStayOneValidJsonObject_data();
    void hostileValuesStayOneValidJsonObject();
    void prefixesChooseThePage_data();
    void prefixesChooseThePage();
    void formIsShownPostedAndEscaped();
    void uploadComesBackByteIdentical();
    void uploadWithoutFileFails();
    void sessionPageRemembersItsStart();
    void templatePageListsTheHeadersInTheAskedLanguage();
    void markersInRequestsAreShownLiterally_data();
    void markersInRequestsAreShownLiterally();
    void onlyLanguageTagsChooseTheTemplate_data();
    void onlyLanguageTagsChooseTheTemplate();
    void endsInOrderWithRequestsInFlight();
    void gateDecidesWhoMayCommand_data();
    void gateDecidesWhoMayCommand();
    void activationHostTakesTheListenersScheme_data();
    void activationHostTakesTheListenersScheme();

private:
    QByteArray get(const QByteArray& target, const QByteArray& headers = QByteArray())
    {
        return rawclient::exchange(m_server->port(),
                                   "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n");
    }

    QTemporaryDir m_dir;
    QSettings* m_templates = nullptr;
    QSettings* m_sessions = nullptr;
    QSettings* m_listenerSettings = nullptr;
    CommandReceiver m_receiver;
    RequestMapper* m_mapper = nullptr;
    ServerThread* m_server = nullptr;
};

void TestCommands::initTestCase()
{
    // The shipped templates, with a folder and a file beside them that no
    // language may reach.
    QDir templates(m_dir.filePath("templates"));
    QVERIFY(templates.mkpath("demo-x"));
    for (const QString& name : QDir(TORVANE_SOURCE_DIR "/etc/templates").entryList({"*.tpl"}))
        QVERIFY(QFile::copy(TORVANE_SOURCE_DIR "/etc/templates/" + name, templates.filePath(name)));
    QFile secret(m_dir.filePath("secret.tpl"));
    QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("SECRET") == 6);
    secret.close();

    m_templates = new QSettings(m_dir.filePath("t.ini"), QSettings::IniFormat);
    m_templates->setValue("templates/path", templates.path());
    m_templates->setValue("templates/encoding", "UTF-8");
    m_templates->beginGroup("templates");
    sharedTemplateCache = new quillon::TemplateCache(m_templates);
    m_sessions = new QSettings(m_dir.filePath("t.ini"), QSettings::IniFormat);
    m_sessions->beginGroup("sessions");
    sharedSessionStore = new quillon::HttpSessionStore(m_sessions);
    m_mapper = new RequestMapper(nullptr, &m_receiver);
    // A deployment whose application lives at app.example, whose activation
    // host is a name of its own, and which lets one more page command. The
    // gate is in place before the server runs, as in the client.
    QTcpServer free;
    QVERIFY(free.listen(QHostAddress::LocalHost));
    const quint16 port = free.serverPort();
    free.close();
    m_listenerSettings = new QSettings(m_dir.filePath("t.ini"), QSettings::IniFormat);
    m_listenerSettings->setValue("listener/host", "127.0.0.1");
    m_listenerSettings->setValue("listener/allowedOrigins", QStringList{"https://crm.example", "bogus"});
    m_listenerSettings->beginGroup("listener");
    RequestGate gate(m_listenerSettings, {RequestGate::originOf(QUrl("https://app.example:8443/api/app/novo/app/index.php?modeOn=true"))},
                     ActivationHost("Activation.Example:9999"));
    gate.setListeningPort(port);
    m_mapper->setGate(gate);
    m_server = new ServerThread(m_mapper, {{"port", port}});
    QVERIFY(m_server->startAndWait());
}

void TestCommands::cleanupTestCase()
{
    delete m_server;
    delete m_mapper;
    delete sharedSessionStore;
    delete sharedTemplateCache;
    delete m_sessions;
    delete m_templates;
    delete m_listenerSettings;
}

void TestCommands::commandText_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("no parameters") << QByteArray("/") << QByteArray("{\"status\":true}");
    QTest::newRow("close") << QByteArray("/?action=close") << QByteArray("{\"action\":\"close\",\"status\":true}");
    QTest::newRow("members in name order") << QByteArray("/?comando=x&action=open")
                                           << QByteArray("{\"action\":\"open\",\"comando\":\"x\",\"status\":true}");
    QTest::newRow("comando only") << QByteArray("/?comando=x") << QByteArray("{\"comando\":\"x\",\"status\":true}");
    QTest::newRow("name in Base64, Name not") << QByteArray("/?name=Jo%C3%A3o&Name=Jo%C3%A3o")
                                              << QByteArray("{\"Name\":\"Jo\xC3\xA3o\",\"name\":\"Sm/Do28=\",\"status\":true}");
    QTest::newRow("repeated name, most recent first") << QByteArray("/?a=1&a=2")
                                                      << QByteArray("{\"a\":\"2\",\"a\":\"1\",\"status\":true}");
    QTest::newRow("dumpster is a command") << QByteArray("/dumpster?x=1") << QByteArray("{\"x\":\"1\",\"status\":true}");
    QTest::newRow("anything is a command") << QByteArray("/anything") << QByteArray("{\"status\":true}");
    QTest::newRow("invalid UTF-8") << QByteArray("/?v=%FF") << QByteArray("{\"v\":\"\xEF\xBF\xBD\",\"status\":true}");
}

void TestCommands::commandText()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    const QByteArray answer = get(target);
    QVERIFY(answer.contains("Content-Type: application/json; charset=UTF-8\r\n"));
    QVERIFY(answer.contains("Access-Control-Allow-Origin: *\r\n"));
    QCOMPARE(bodyOf(answer), body);
    QTRY_COMPARE(m_receiver.received.size(), 1);
    QCOMPARE(m_receiver.received.first().toUtf8(), body);
}

void TestCommands::hostileValuesStayOneValidJsonObject_data()
{
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QString>("value");
    QTest::newRow("quotes") << QByteArray("%22a%22b%22") << QString("\"a\"b\"");
    QTest::newRow("backslashes") << QByteArray("%5C%5C%5C") << QString("\\\\\\");
    QTest::newRow("script end tag") << QByteArray("%3C/script%3E") << QString("</script>");
    QTest::newRow("breaking out of the call") << QByteArray("%22%7D);alert(1);//") << QString("\"});alert(1);//");
    QTest::newRow("control characters") << QByteArray("a%0Ab%0Dc%09d%01e%1Ff%7F") << QString("a\nb\rc\td\x01" "e\x1f" "f\x7f");
    QTest::newRow("NUL") << QByteArray("a%00b") << QString::fromUtf16(u"a\0b", 3);
    QTest::newRow("line and paragraph separators") << QByteArray("x%E2%80%A8y%E2%80%A9z") << QString::fromUtf16(u"x\u2028y\u2029z");
    QTest::newRow("invalid UTF-8") << QByteArray("%C3%28") << QString::fromUtf8("\xEF\xBF\xBD(");
}

void TestCommands::hostileValuesStayOneValidJsonObject()
{
    QFETCH(QByteArray, encoded);
    QFETCH(QString, value);
    // In a value and in a name.
    const QByteArray body = bodyOf(get("/?v=" + encoded + "&k" + encoded + "=1"));
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(body, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, body.constData());
    // Qt's JSON strings end at an escaped NUL; python's parser checks those.
    if (!value.contains(QChar(0))) {
        QCOMPARE(object.value("v").toString(), value);
        QCOMPARE(object.value("k" + value).toString(), QString("1"));
    } else {
        QVERIFY(body.contains("\\u0000"));
    }
    QCOMPARE(object.value("status").toBool(), true);
    QCOMPARE(object.size(), 3);
    QVERIFY(!body.contains('\0') && !body.contains('\n') && !body.contains("\xE2\x80\xA8"));
    QTRY_COMPARE(m_receiver.received.size(), 1);
    QCOMPARE(m_receiver.received.first().toUtf8(), body);

    if (QStandardPaths::findExecutable("python3").isEmpty())
        return;
    QProcess python;
    python.start("python3", {"-c", "import json,sys; d=json.loads(sys.stdin.buffer.read());"
                                   " v=bytes.fromhex(sys.argv[1]).decode('utf-8');"
                                   " print(len(d), d['v'] == v, d['k' + v] == '1')",
                             QString::fromLatin1(value.toUtf8().toHex())});
    python.write(body);
    python.closeWriteChannel();
    QVERIFY(python.waitForFinished(10000));
    const QByteArray verdict = python.readAllStandardOutput().trimmed();
    QCOMPARE(verdict, QByteArray("3 True True"));
}

void TestCommands::prefixesChooseThePage_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("/files is the upload page") << QByteArray("/files") << QByteArray("Upload a JPEG image file<p>");
    QTest::newRow("/sessions is the session page") << QByteArray("/sessions") << QByteArray("New session started.");
    QTest::newRow("/formular is the form page") << QByteArray("/formular") << QByteArray("  Name: <input type=\"text\"");
    QTest::newRow("/templates is the template page") << QByteArray("/templates") << QByteArray("Requested path: /templates");
    QTest::newRow("/dump is a command") << QByteArray("/dump?x=1") << QByteArray("{\"x\":\"1\",\"status\":true}");
}

void TestCommands::prefixesChooseThePage()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, shown);
    const QByteArray body = bodyOf(get(target));
    QVERIFY2(body.contains(shown), body.constData());
}

void TestCommands::formIsShownPostedAndEscaped()
{
    QCOMPARE(bodyOf(get("/form")),
             QByteArray("<html><body><form method=\"post\">  <input type=\"hidden\" name=\"action\" value=\"show\">"
                        "  Name: <input type=\"text\" name=\"name\"><br>  City: <input type=\"text\" name=\"city\"><br>"
                        "  <input type=\"submit\"></form></body></html>"));
    const QByteArray form = "action=show&name=Ana&city=%3Cscript%3Ealert(1)%3C/script%3E";
    const QByteArray answer = rawclient::exchange(
        m_server->port(), "POST /form HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                          "Content-Type: application/x-www-form-urlencoded\r\n"
                          "Content-Length: " + QByteArray::number(form.size()) + "\r\n\r\n" + form);
    QCOMPARE(bodyOf(answer), QByteArray("<html><body>Name = Ana<br>City = &lt;script&gt;alert(1)&lt;/script&gt;</body></html>"));
    QVERIFY(bodyOf(get("/form?action=Show")).contains("<form method=\"post\">"));
    // Submitted as ISO-8859-1, as the page is served: echoed byte for byte.
    QCOMPARE(bodyOf(get("/form?action=show&name=Jo%E3o&city=%26%22%27%3E")),
             QByteArray("<html><body>Name = Jo\xE3o<br>City = &amp;&quot;&#39;&gt;</body></html>"));
}

void TestCommands::uploadComesBackByteIdentical()
{
    QByteArray jpeg("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 11);
    for (int i = 0; i < 70000; ++i)
        jpeg.append(char(i * 7));
    jpeg.append("\r\n\xFF\xD9", 4);
    const QByteArray body = "--XyZ\r\nContent-Disposition: form-data; name=\"action\"\r\n\r\nshow\r\n"
                            "--XyZ\r\nContent-Disposition: form-data; name=\"file1\"; filename=\"a.jpg\"\r\n"
                            "Content-Type: image/jpeg\r\n\r\n" + jpeg + "\r\n--XyZ--\r\n";
    const QByteArray answer = rawclient::exchange(
        m_server->port(), "POST /file HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: "
                              + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QVERIFY(answer.contains("Content-Type: image/jpeg\r\n"));
    QCOMPARE(bodyOf(answer), jpeg);
}

void TestCommands::uploadWithoutFileFails()
{
    const QByteArray answer = get("/file?action=show");
    QVERIFY(answer.contains("Content-Type: image/jpeg\r\n"));
    QCOMPARE(bodyOf(answer), QByteArray("upload failed"));
}

void TestCommands::sessionPageRemembersItsStart()
{
    const QByteArray first = get("/session");
    QCOMPARE(bodyOf(first), QByteArray("<html><body>New session started. Reload this page now.</body></html>"));
    const int start = first.indexOf("Set-Cookie: sessionid=") + 22;
    QVERIFY(start > 22);
    const QByteArray id = first.mid(start, 38);
    const QByteArray second = get("/session", "Cookie: sessionid=" + id + "\r\n");
    QVERIFY2(bodyOf(second).startsWith("<html><body>Your session started "), second.constData());
}

void TestCommands::templatePageListsTheHeadersInTheAskedLanguage()
{
    const QByteArray german = bodyOf(get("/template/%3Cb%3E", "Accept-Language: de-DE,de;q=0.9\r\nX-Test: <i>x</i>\r\n"));
    QVERIFY(german.contains("Angeforderter Pfad: /template/&lt;b&gt;"));
    QVERIFY(german.contains("<td>x-test</td><td>&lt;i&gt;x&lt;/i&gt;</td>"));
    QVERIFY(german.contains("<td>accept-language</td><td>de-DE,de;q=0.9</td>"));
    QVERIFY(!german.contains("<i>"));
    const QByteArray english = bodyOf(get("/template", "Accept-Language: en-US,en\r\n"));
    QVERIFY(english.contains("Your browser sent these request headers"));
}

void TestCommands::markersInRequestsAreShownLiterally_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("shown");
    QTest::addColumn<int>("times");
    const QByteArray markers = "{loop header}{header.value}{path}{end header}";
    QByteArray manyMarkers; // as sent in a request line
    for (int i = 0; i < 30; ++i)
        manyMarkers += QByteArray(markers).replace(' ', "%20");
    QByteArray markedHeaders;
    for (int i = 0; i < 40; ++i)
        markedHeaders += "X-" + QByteArray::number(i) + ": {header" + QByteArray::number(i + 1) + ".value}" + markers + "\r\n";
    QTest::newRow("template page, path") << QByteArray("/template") << "/template/" + manyMarkers << QByteArray()
                                         << markers << 30;
    QTest::newRow("template page, headers") << QByteArray("/template") << QByteArray("/template") << markedHeaders
                                            << markers << 40;
    QTest::newRow("template page, parameters") << QByteArray("/template") << "/template?" + manyMarkers
                                               << QByteArray() << markers << 0;
    QTest::newRow("form page, parameters") << QByteArray("/form")
                                           << "/form?action=show&name=" + manyMarkers + "&city="
            + QByteArray(markers).replace(' ', '+')
                                           << QByteArray() << markers << 31;
    QTest::newRow("upload page, headers") << QByteArray("/file") << QByteArray("/file") << markedHeaders << markers << 0;
    QTest::newRow("session page, path") << QByteArray("/session") << "/session/" + manyMarkers << QByteArray()
                                        << markers << 0;
}

// Text from a request is data: markers in it are never expanded, on any page,
// and a request full of them costs about what an ordinary one does.
void TestCommands::markersInRequestsAreShownLiterally()
{
    QFETCH(QByteArray, page);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, shown);
    QFETCH(int, times);
    const auto timed = [this](const QByteArray& target, const QByteArray& headers, qint64* nanoseconds) {
        QElapsedTimer timer;
        timer.start();
        const QByteArray answer = get(target, headers);
        *nanoseconds = timer.nsecsElapsed();
        return answer;
    };
    qint64 ordinary = std::numeric_limits<qint64>::max();
    QByteArray ordinaryAnswer;
    for (int i = 0; i < 5; ++i) {
        qint64 elapsed = 0;
        ordinaryAnswer = timed(page, QByteArray(), &elapsed);
        QVERIFY(ordinaryAnswer.startsWith("HTTP/1.1 200"));
        ordinary = qMin(ordinary, elapsed);
    }
    qint64 hostile = 0;
    const QByteArray answer = timed(target, headers, &hostile);
    QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.left(200).constData());
    // A page that shows nothing of the request answers as it does without
    // the markers (no count could tell an expanded marker from none).
    if (times == 0)
        QCOMPARE(bodyOf(answer), bodyOf(ordinaryAnswer));
    else
        QCOMPARE(int(bodyOf(answer).count(shown)), times);
    QVERIFY2(hostile < qMax<qint64>(50 * ordinary, 50 * 1000 * 1000),
             qPrintable(QStringLiteral("%1 ns against %2 ns").arg(hostile).arg(ordinary)));
}

void TestCommands::onlyLanguageTagsChooseTheTemplate_data()
{
    QTest::addColumn<QByteArray>("languages");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("a tag") << QByteArray("de") << QByteArray("Angeforderter Pfad");
    QTest::newRow("dot-dot parts") << QByteArray("x/../../secret") << QByteArray("Your request headers");
    QTest::newRow("backslashes") << QByteArray("x\\..\\..\\secret, de") << QByteArray("Angeforderter Pfad");
    QTest::newRow("dots") << QByteArray("..,.,de") << QByteArray("Angeforderter Pfad");
    QTest::newRow("NUL") << QByteArray("d\0e,en", 6) << QByteArray("400 Bad request"); // refused by the parser
    QTest::newRow("overlong tag") << QByteArray(36, 'd') + ",de" << QByteArray("Angeforderter Pfad");
}

void TestCommands::onlyLanguageTagsChooseTheTemplate()
{
    QFETCH(QByteArray, languages);
    QFETCH(QByteArray, shown);
    const QByteArray body = bodyOf(get("/template", "Accept-Language: " + languages + "\r\n"));
    QVERIFY2(body.contains(shown), body.constData());
    QVERIFY(!body.contains("SECRET"));
}

// Ended while fifty connections are sending and being answered, the server
// stops accepting, lets its handlers finish, and only then frees what they
// use: a normal exit, and nothing for a sanitizer to report.
void TestCommands::endsInOrderWithRequestsInFlight()
{
    SKIP_ON_WINDOWS("it ends the server with SIGTERM");
    // Its output (a line per command) goes to a file, so that it never waits
    // for this test to read a pipe.
    QProcess server;
    const QString output = m_dir.filePath("demoserver.out");
    server.setStandardOutputFile(output);
    server.start(TORVANE_DEMOSERVER, {"--templates", QStringLiteral(TORVANE_SOURCE_DIR "/etc/templates")});
    const auto banner = [&output] {
        QFile file(output);
        return file.open(QIODevice::ReadOnly) ? file.readLine() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(banner().endsWith('\n'), 20000);
    const quint16 port = quint16(QRegularExpression(":(\\d+)/").match(QString::fromLatin1(banner())).captured(1).toUInt());
    QVERIFY2(port != 0, banner().constData());

    QByteArray requests;
    for (int i = 0; i < 200; ++i)
        requests += "GET /template/" + QByteArray::number(i) + " HTTP/1.1\r\nHost: localhost\r\nX-A: a\r\n\r\n"
                    "GET /?n=" + QByteArray::number(i) + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    // Each connection is being answered before the next one opens.
    QList<QTcpSocket*> sockets;
    for (int i = 0; i < 50; ++i) {
        auto* socket = new QTcpSocket;
        sockets.append(socket);
        socket->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket->waitForConnected(5000));
        socket->write(requests);
        QVERIFY(socket->waitForBytesWritten(5000));
        QVERIFY(socket->bytesAvailable() || socket->waitForReadyRead(10000));
    }
    server.terminate();
    for (QTcpSocket* socket : qAsConst(sockets))
        socket->abort();
    QVERIFY(server.waitForFinished(30000));
    qDeleteAll(sockets);
    const QByteArray errors = server.readAllStandardError();
    QVERIFY2(!errors.contains("Sanitizer") && !errors.contains("runtime error"), errors.constData());
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
}

// Rows: the request's head after its request line (PORT stands for the
// listener's port), the status, and whether a command reaches the window.
void TestCommands::gateDecidesWhoMayCommand_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("commands");
    QTest::addColumn<QByteArray>("answerHas");
    const QByteArray version = " HTTP/1.1\r\n";
    QTest::newRow("local program") << "GET /?n=1" + version + "Host: 127.0.0.1:PORT\r\n" << 200 << true << QByteArray();
    QTest::newRow("localhost in capitals") << "GET /?n=1" + version + "Host: LOCALHOST\r\n" << 200 << true << QByteArray();
    QTest::newRow("IPv6 loopback") << "GET /?n=1" + version + "Host: [::1]:PORT\r\n" << 200 << true << QByteArray();
    QTest::newRow("activation host, its port") << "GET /?n=1" + version + "Host: activation.example:9999\r\n" << 200
                                               << true << QByteArray();
    QTest::newRow("HTTP/1.0 without Host") << QByteArray("GET /?n=1 HTTP/1.0\r\n") << 200 << true << QByteArray();
    QTest::newRow("HTTP/1.1 without Host") << "GET /?n=1" + version << 400 << false << QByteArray("Host");
    QTest::newRow("two Hosts") << "GET /?n=1" + version + "Host: localhost\r\nHost: localhost\r\n" << 400 << false
                               << QByteArray();
    QTest::newRow("rebound name") << "GET /?n=1" + version + "Host: attacker.example:PORT\r\n" << 403 << false
                                  << QByteArray("unknown host");
    QTest::newRow("loopback, other port") << "GET /?n=1" + version + "Host: 127.0.0.1:1\r\n" << 403 << false
                                          << QByteArray();
    QTest::newRow("no-cors fetch of another site") << "GET /?n=1" + version + "Host: localhost:PORT\r\nOrigin: "
                                                      "http://localhost:3000\r\n"
                                                   << 403 << false << QByteArray("\"status\":false");
    QTest::newRow("image of another site") << "GET /?n=1" + version + "Host: 127.0.0.1:PORT\r\nSec-Fetch-Site: "
                                              "same-site\r\nReferer: http://localhost:3000/page.html\r\n"
                                           << 403 << false << QByteArray();
    QTest::newRow("image without a referrer") << "GET /?n=1" + version + "Host: 127.0.0.1:PORT\r\nSec-Fetch-Site: "
                                                 "cross-site\r\n"
                                              << 403 << false << QByteArray();
    QTest::newRow("referrer of another site") << "GET /?n=1" + version + "Host: 127.0.0.1\r\nReferer: "
                                                 "https://evil.example/\r\n"
                                              << 403 << false << QByteArray();
    QTest::newRow("sandboxed page") << "GET /?n=1" + version + "Host: 127.0.0.1\r\nOrigin: null\r\n" << 403 << false
                                    << QByteArray();
    QTest::newRow("typed by the user") << "GET /?n=1" + version + "Host: 127.0.0.1\r\nSec-Fetch-Site: none\r\n" << 200
                                       << true << QByteArray();
    QTest::newRow("the server's own page") << "POST /?n=1" + version + "Host: 127.0.0.1:PORT\r\nOrigin: "
                                              "http://127.0.0.1:PORT\r\nContent-Length: 0\r\n"
                                           << 200 << true << QByteArray();
    QTest::newRow("the application") << "GET /?n=1" + version + "Host: localhost\r\nOrigin: https://app.example:8443\r\n"
                                     << 200 << true << QByteArray("Access-Control-Allow-Origin: https://app.example:8443");
    QTest::newRow("a listed page") << "POST /?n=1" + version + "Host: localhost\r\nOrigin: https://CRM.example:443\r\n"
                                      "Content-Type: application/json\r\nContent-Length: 0\r\n"
                                   << 200 << true << QByteArray("Vary: Origin");
    QTest::newRow("preflight, allowed") << "OPTIONS /?n=1" + version + "Host: localhost\r\nOrigin: https://crm.example\r\n"
                                           "Access-Control-Request-Method: POST\r\nAccess-Control-Request-Headers: "
                                           "content-type\r\nAccess-Control-Request-Private-Network: true\r\n"
                                        << 204 << false
                                        << QByteArray("Access-Control-Allow-Headers: content-type\r\n"
                                                      "Access-Control-Allow-Methods: GET, POST, HEAD\r\n"
                                                      "Access-Control-Allow-Origin: https://crm.example\r\n"
                                                      "Access-Control-Allow-Private-Network: true\r\n"
                                                      "Access-Control-Max-Age: 600\r\n");
    QTest::newRow("preflight, refused") << "OPTIONS /?n=1" + version + "Host: localhost\r\nOrigin: https://evil.example\r\n"
                                           "Access-Control-Request-Method: POST\r\n"
                                        << 403 << false << QByteArray();
    QTest::newRow("preflight of the demo pages") << "OPTIONS /form" + version + "Host: localhost\r\nOrigin: "
                                                    "https://evil.example\r\nAccess-Control-Request-Method: POST\r\n"
                                                 << 403 << false << QByteArray();
}

void TestCommands::gateDecidesWhoMayCommand()
{
    QFETCH(QByteArray, head);
    QFETCH(int, status);
    QFETCH(bool, commands);
    QFETCH(QByteArray, answerHas);
    const QByteArray port = QByteArray::number(m_server->port());
    // This row's own mark: a command that an earlier test left on its way
    // is not taken for one of this row.
    static int row = 0;
    const QByteArray mark = "row" + QByteArray::number(++row);
    const QByteArray answer = rawclient::exchange(
        m_server->port(), head.replace("PORT", port).replace("n=1", "n=" + mark) + "Connection: close\r\n\r\n");
    QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), answer.constData());
    QVERIFY2(answer.contains(answerHas), answer.constData());
    if (status == 204)
        QVERIFY(!answer.contains("Content-Length") && answer.endsWith("\r\n\r\n"));
    // A command of a local program afterwards comes after it.
    get("/?after=" + mark);
    const QString after = "\"after\":\"" + QString::fromLatin1(mark) + '"';
    QTRY_VERIFY(!m_receiver.received.filter(after).isEmpty());
    QCOMPARE(m_receiver.received.filter("\"n\":\"" + QString::fromLatin1(mark) + '"').size(), commands ? 1 : 0);
}

void TestCommands::activationHostTakesTheListenersScheme_data()
{
    QTest::addColumn<QString>("activationHost");
    QTest::addColumn<QString>("listenerHost");
    QTest::addColumn<int>("listenerPort");
    QTest::addColumn<int>("configuredPort");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("closeUrl");
    QTest::addColumn<QString>("secondStart");
    QTest::newRow("shipped: plain listener") << "localhost:8085" << "127.0.0.1" << 8085 << 8085 << false
                                             << "http://localhost:8085/?action=close"
                                             << "http://localhost:8085/ https://localhost:8085/";
    QTest::newRow("TLS listener") << "localhost:8085" << "127.0.0.1" << 8085 << 8085 << true
                                  << "https://localhost:8085/?action=close"
                                  << "http://localhost:8085/ https://localhost:8085/";
    QTest::newRow("another local port") << "127.0.0.1:9000" << "127.0.0.1" << 8085 << 8085 << false
                                        << "https://127.0.0.1:9000/?action=close"
                                        << "http://127.0.0.1:9000/ https://127.0.0.1:9000/";
    QTest::newRow("an account's own port") << "localhost:8085" << "127.0.0.1" << 8086 << 8085 << false
                                           << "http://localhost:8086/?action=close"
                                           << "http://localhost:8086/ https://localhost:8086/";
    QTest::newRow("no listener") << "[::1]:8085" << "" << 0 << 8085 << false << "https://[::1]:8085/?action=close"
                                 << "http://[::1]:8085/ https://[::1]:8085/";
    QTest::newRow("deployment host") << "service.example" << "127.0.0.1" << 443 << 443 << false
                                     << "https://service.example/?action=close" << "https://service.example/";
}

void TestCommands::activationHostTakesTheListenersScheme()
{
    QFETCH(QString, activationHost);
    QFETCH(QString, listenerHost);
    QFETCH(int, listenerPort);
    QFETCH(int, configuredPort);
    QFETCH(bool, tls);
    QFETCH(QString, closeUrl);
    QFETCH(QString, secondStart);
    ActivationHost host(activationHost);
    if (listenerPort)
        host.setLocalListener(listenerHost, listenerPort, tls, configuredPort);
    QCOMPARE(host.url("action=close").toString(), closeUrl);
    QStringList urls;
    for (const QUrl& url : host.secondStartUrls())
        urls.append(url.toString());
    QCOMPARE(urls.join(' '), secondStart);
}

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
