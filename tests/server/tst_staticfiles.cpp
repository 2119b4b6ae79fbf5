// The static file controller behind a real server: content types, caching,
// streaming, refusals and attempts to leave the document root.
#include "staticfilecontroller.h"
#include "testserver.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QSettings>
#include <QTest>

using namespace quillon;

namespace {

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

// A document root "site" beside etc/test.ini (given as a relative path), a
// secret file outside it, and a server on loopback.
class Fixture
{
public:
    explicit Fixture(const QVariantMap& keys = {})
    {
        root = dir.filePath("etc/site");
        QDir().mkpath(root);
        writeFile(dir.filePath("etc/secret.txt"), "TOPSECRET");
        writeFile(dir.filePath("secret.txt"), "TOPSECRET");
        // Reached by a target without a leading slash, glued to the root's name.
        writeFile(dir.filePath("etc/sitesecret.txt"), "TOPSECRET");
        settings = new QSettings(dir.filePath("etc/test.ini"), QSettings::IniFormat);
        settings->beginGroup("docroot");
        settings->setValue("path", "site");
        for (auto it = keys.cbegin(); it != keys.cend(); ++it)
            settings->setValue(it.key(), it.value());
        controller = new StaticFileController(settings);
        server = new ServerThread(controller, {});
        ok = server->startAndWait();
    }
    ~Fixture()
    {
        delete server;
        delete controller;
        delete settings;
    }
    rawclient::Answer get(const QByteArray& target) { return rawclient::get(server->port(), target); }

    QTemporaryDir dir;
    QString root;
    QSettings* settings;
    StaticFileController* controller;
    ServerThread* server;
    bool ok = false;
};

class TestStaticFiles : public QObject
{
    Q_OBJECT

private slots:
    void contentTypes_data();
    void contentTypes();
    void maxAgeIsRoundedDown_data();
    void maxAgeIsRoundedDown();
    void directoryAnswersItsIndexAndCachesUnderItsPath();
    void cacheHitAndExpiry();
    void zeroCacheTimeServesFromMemoryForever();
    void largeFileIsStreamedAndNeverCached();
    void refusalsAndMissingFiles();
    void relativeRootIsResolvedAgainstTheConfigFile();
    void traversalAttemptsNeverLeaveTheRoot_data();
    void traversalAttemptsNeverLeaveTheRoot();
    void dotsInsideANameAreServed();
    void windowsPathHazardsAreRefused_data();
    void windowsPathHazardsAreRefused();
};

void TestStaticFiles::contentTypes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("type");
    QTest::newRow("png") << "a.png" << QByteArray("image/png");
    QTest::newRow("jpg") << "a.jpg" << QByteArray("image/jpeg");
    QTest::newRow("gif") << "a.gif" << QByteArray("image/gif");
    QTest::newRow("pdf") << "a.pdf" << QByteArray("application/pdf");
    QTest::newRow("txt") << "a.txt" << QByteArray("text/plain; charset=UTF-8");
    QTest::newRow("html") << "a.html" << QByteArray("text/html; charset=UTF-8");
    QTest::newRow("htm") << "a.htm" << QByteArray("text/html; charset=UTF-8");
    QTest::newRow("css") << "a.css" << QByteArray("text/css");
    QTest::newRow("js") << "a.js" << QByteArray("text/javascript");
    QTest::newRow("svg") << "a.svg" << QByteArray("image/svg+xml");
    QTest::newRow("woff") << "a.woff" << QByteArray("font/woff");
    QTest::newRow("woff2") << "a.woff2" << QByteArray("font/woff2");
    QTest::newRow("ttf") << "a.ttf" << QByteArray("application/x-font-ttf");
    QTest::newRow("eot") << "a.eot" << QByteArray("application/vnd.ms-fontobject");
    QTest::newRow("otf") << "a.otf" << QByteArray("application/font-otf");
    QTest::newRow("upper-case PNG") << "a.PNG" << QByteArray();
    QTest::newRow("jpeg has no row") << "a.jpeg" << QByteArray();
}

void TestStaticFiles::contentTypes()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, type);
    LogCapture log;
    Fixture f;
    QVERIFY(f.ok);
    writeFile(f.root + "/" + name, "content of " + name.toUtf8());
    for (int round = 0; round < 2; ++round) { // a miss, then a cache hit
        const rawclient::Answer answer = f.get("/" + name.toUtf8());
        QCOMPARE(answer.statusLine, QByteArray("HTTP/1.1 200 OK"));
        QCOMPARE(answer.headers.value("Content-Type"), type);
        QCOMPARE(answer.body, "content of " + name.toUtf8());
    }
    QCOMPARE(log.count("StaticFileController: unknown MIME type for filename '/" + name + "'"), type.isEmpty() ? 2 : 0);
    QCOMPARE(log.count("StaticFileController: Cache hit for /" + name), 1);
}

void TestStaticFiles::maxAgeIsRoundedDown_data()
{
    QTest::addColumn<int>("maxAge");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("1500") << 1500 << QByteArray("max-age=1");
    QTest::newRow("999") << 999 << QByteArray("max-age=0");
    QTest::newRow("default") << -1 << QByteArray("max-age=60");
}

void TestStaticFiles::maxAgeIsRoundedDown()
{
    QFETCH(int, maxAge);
    QFETCH(QByteArray, header);
    Fixture f(maxAge < 0 ? QVariantMap() : QVariantMap{{"maxAge", maxAge}});
    QVERIFY(f.ok);
    writeFile(f.root + "/a.txt", "x");
    QCOMPARE(f.get("/a.txt").headers.value("Cache-Control"), header);
}

void TestStaticFiles::directoryAnswersItsIndexAndCachesUnderItsPath()
{
    LogCapture log;
    Fixture f;
    QVERIFY(f.ok);
    writeFile(f.root + "/index.html", "<h1>home</h1>");
    writeFile(f.root + "/sub/index.html", "<h1>sub</h1>");
    rawclient::Answer answer = f.get("/");
    QCOMPARE(answer.body, QByteArray("<h1>home</h1>"));
    QCOMPARE(answer.headers.value("Content-Type"), QByteArray("text/html; charset=UTF-8"));
    QCOMPARE(log.count("Open file " + f.root + "//index.html"), 1);
    answer = f.get("/");
    QCOMPARE(answer.body, QByteArray("<h1>home</h1>"));
    QCOMPARE(answer.headers.value("Content-Type"), QByteArray("text/html; charset=UTF-8"));
    QCOMPARE(log.count("StaticFileController: Cache hit for /"), 1);
    QCOMPARE(f.get("/sub").body, QByteArray("<h1>sub</h1>"));
}

void TestStaticFiles::cacheHitAndExpiry()
{
    LogCapture log;
    Fixture f({{"cacheTime", 300}});
    QVERIFY(f.ok);
    writeFile(f.root + "/a.txt", "first");
    QCOMPARE(f.get("/a.txt").body, QByteArray("first"));
    writeFile(f.root + "/a.txt", "second");
    const rawclient::Answer hit = f.get("/a.txt");
    QCOMPARE(hit.body, QByteArray("first"));
    QCOMPARE(hit.headers.value("Cache-Control"), QByteArray("max-age=60"));
    QCOMPARE(log.count("Cache hit for /a.txt"), 1);
    QTest::qWait(350);
    QCOMPARE(f.get("/a.txt").body, QByteArray("second"));
    QCOMPARE(log.count("Cache miss for /a.txt"), 2);
}

void TestStaticFiles::zeroCacheTimeServesFromMemoryForever()
{
    Fixture f({{"cacheTime", 0}});
    QVERIFY(f.ok);
    writeFile(f.root + "/a.txt", "kept");
    QCOMPARE(f.get("/a.txt").body, QByteArray("kept"));
    writeFile(f.root + "/a.txt", "changed on disk");
    QTest::qWait(100);
    QCOMPARE(f.get("/a.txt").body, QByteArray("kept"));
}

void TestStaticFiles::largeFileIsStreamedAndNeverCached()
{
    LogCapture log;
    Fixture f;
    QVERIFY(f.ok);
    QByteArray content(65537, 'L');
    content[65536] = 'E';
    writeFile(f.root + "/big.txt", content);
    QCOMPARE(f.get("/big.txt").body, content);
    QCOMPARE(f.get("/big.txt").body, content);
    QCOMPARE(log.count("Cache miss for /big.txt"), 2);
    QCOMPARE(log.count("Cache hit"), 0);
}

void TestStaticFiles::refusalsAndMissingFiles()
{
    LogCapture log;
    Fixture f;
    QVERIFY(f.ok);
    rawclient::Answer answer = f.get("/nothing.txt");
    QCOMPARE(answer.statusLine, QByteArray("HTTP/1.1 404 not found"));
    QCOMPARE(answer.body, QByteArray("404 not found"));

    for (const QByteArray& target : {QByteArray("/x\\..\\y"), QByteArray("/a%00b")}) {
        answer = f.get(target);
        QVERIFY2(answer.statusLine == "HTTP/1.1 403 forbidden", target.constData());
    }
    QCOMPARE(log.count("detected forbidden characters"), 2);
    // Not a request target at all: refused before it reaches the controller.
    QCOMPARE(f.get("sitesecret.txt").statusLine, QByteArray("HTTP/1.1 400 bad request"));

    answer = f.get("/a/../b");
    QCOMPARE(answer.statusLine, QByteArray("HTTP/1.1 403 forbidden"));
    QCOMPARE(answer.body, QByteArray("403 forbidden"));
    QCOMPARE(log.count("StaticFileController: detected forbidden characters in path /a/../b"), 1);

    // A file that exists but that nobody, root included, can open for
    // reading: a local socket (a named pipe, not a file, on Windows).
    SKIP_ON_WINDOWS("a local socket is no file there");
    QLocalServer locked;
    QVERIFY(locked.listen(f.root + "/locked.txt"));
    QVERIFY(!QFile(f.root + "/locked.txt").open(QIODevice::ReadOnly));
    answer = f.get("/locked.txt");
    QCOMPARE(answer.statusLine, QByteArray("HTTP/1.1 403 forbidden"));
    QCOMPARE(log.count("Cannot open existing file"), 1);
}

void TestStaticFiles::relativeRootIsResolvedAgainstTheConfigFile()
{
    Fixture f;
    QVERIFY(f.ok);
    QCOMPARE(f.controller->documentRoot(), QDir(f.dir.path()).absoluteFilePath("etc/site"));
}

void TestStaticFiles::traversalAttemptsNeverLeaveTheRoot_data()
{
    QTest::addColumn<QByteArray>("target");
    const QList<QByteArray> targets = {
        "/../secret.txt", "/../../secret.txt", "/..", "/../", "/x/../../secret.txt",
        "/%2e%2e/secret.txt", "/%2E%2E/secret.txt", "/.%2e/secret.txt", "/%2e./secret.txt",
        "/%2e%2e%2fsecret.txt", "/%2e%2e%2f%2e%2e%2fsecret.txt", "/..%2fsecret.txt", "/x/..%2f..%2fsecret.txt",
        "/%252e%252e/secret.txt", "/%25%32%65%25%32%65/secret.txt",
        "/..\\secret.txt", "/x\\..\\..\\secret.txt", "/..%5csecret.txt", "/%5c..%5csecret.txt", "/x/..\\../secret.txt",
        "..%2fsecret.txt", "../secret.txt", "secret.txt", "sitesecret.txt", "site/../secret.txt", "%2e%2e/secret.txt",
        "/%00/../secret.txt", "/secret.txt%00.html", "/%00", "/../secret.txt%00",
        "//..//secret.txt", "/./../secret.txt", "/....//secret.txt", "/.../secret.txt",
        "http://localhost/../secret.txt", "/%c0%ae%c0%ae/secret.txt", "/x/%2e%2e/%2e%2e/secret.txt",
    };
    for (const QByteArray& target : targets)
        QTest::newRow(target.constData()) << target;
}

void TestStaticFiles::traversalAttemptsNeverLeaveTheRoot()
{
    QFETCH(QByteArray, target);
    static Fixture* f = nullptr;
    if (!f)
        f = new Fixture; // shared by all rows; lives until the process ends
    QVERIFY(f->ok);
    const rawclient::Answer answer = f->get(target);
    QVERIFY2(!answer.body.contains("TOPSECRET"), answer.statusLine.constData());
    QVERIFY2(answer.statusLine.startsWith("HTTP/1.1 403") || answer.statusLine.startsWith("HTTP/1.1 404")
                 || answer.statusLine.startsWith("HTTP/1.1 400"),
             answer.statusLine.constData());
}

void TestStaticFiles::dotsInsideANameAreServed()
{
    SKIP_ON_WINDOWS("a name cannot end in a dot there, and such a path is refused");
    Fixture f;
    QVERIFY(f.ok);
    writeFile(f.root + "/a/b..", "dots");
    QCOMPARE(f.get("/a/b..").body, QByteArray("dots"));
    QCOMPARE(f.get("/x/..y").statusLine, QByteArray("HTTP/1.1 403 forbidden"));
}

void TestStaticFiles::windowsPathHazardsAreRefused_data()
{
    QTest::addColumn<QByteArray>("target");
    const QList<QByteArray> targets = {
        // Backslashes, alone and mixed with slashes.
        "/..%5csecret.txt", "/sub%5c..%5c..%5csecret.txt", "/x/..%5c../secret.txt",
        // A drive letter, a UNC name, and alternate data streams.
        "/C:/Windows/win.ini", "/c:%5cwindows%5cwin.ini", "//server/share/secret.txt", "/%5c%5cserver%5cshare",
        "/file.txt::$DATA", "/file.txt:stream", "/sub/file.txt:$DATA",
        // Reserved device names, with and without extensions, in any case.
        "/CON", "/con", "/NUL", "/nul.txt", "/COM1", "/com9.log", "/LPT1.txt", "/lPt3", "/AUX.html", "/PRN",
        "/sub/con.txt", "/CONIN$", "/CONOUT$",
        // Names Windows opens without their trailing dots and spaces.
        "/inside.txt.", "/inside.txt..", "/inside.txt%20", "/inside.txt.%20", "/sub./inside.txt",
        // 8.3 short names, of a directory outside the root too.
        "/PUBLIC~1/secret.txt", "/INSIDE~1.TXT", "/sub/SECRET~1.TXT",
    };
    for (const QByteArray& target : targets)
        QTest::newRow(target.constData()) << target;
}

// Each is a way Windows can reach something other than a file under the
// root: refused (403), and nothing is opened, a device least of all. The
// rule itself holds everywhere; what a server answers is Windows' own.
void TestStaticFiles::windowsPathHazardsAreRefused()
{
    QFETCH(QByteArray, target);
    QVERIFY(StaticFileController::isWindowsPathHazard(HttpRequest::urlDecode(target)));
#ifdef Q_OS_WIN
    static Fixture* f = nullptr;
    if (!f) {
        f = new Fixture; // shared by all rows; lives until the process ends
        writeFile(f->root + "/inside.txt", "INSIDE");
        writeFile(f->root + "/file.txt", "FILE");
        writeFile(f->root + "/sub/file.txt", "FILE");
        writeFile(f->dir.filePath("etc/public-secrets/secret.txt"), "TOPSECRET");
    }
    QVERIFY(f->ok);
    LogCapture log;
    const rawclient::Answer answer = f->get(target);
    QCOMPARE(answer.statusLine, QByteArray("HTTP/1.1 403 forbidden"));
    QVERIFY(!answer.body.contains("SECRET") && !answer.body.contains("INSIDE"));
#endif
    // Plain names are none of these.
    for (const QByteArray& plain : {"/inside.txt", "/sub/file.txt", "/console.txt", "/a.b/c", "/~user/x", "/com10"})
        QVERIFY2(!StaticFileController::isWindowsPathHazard(plain), plain);
}

QTEST_GUILESS_MAIN(TestStaticFiles)
#include "tst_staticfiles.moc"
