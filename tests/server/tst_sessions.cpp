// The session store and session handles: cookies, lookup, expiry and
// concurrent use.
#include "httpsessionstore.h"
#include "testserver.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QThread>
#include <atomic>

using namespace quillon;

namespace {

std::unique_ptr<HttpRequest> requestWithCookie(const QByteArray& cookie)
{
    QByteArray raw = "GET /session HTTP/1.1\r\n";
    if (!cookie.isEmpty())
        raw += "Cookie: " + cookie + "\r\n";
    return parseRequest(raw + "\r\n");
}

} // namespace

class TestSessions : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstRequestGetsNewSessionCookie();
    void cookieFindsTheSameSessionAndRefreshesIt();
    void unknownIdIsReplacedOrNull();
    void twoLookupsInOneRequestShareTheSession();
    void expiryBoundary();
    void erasedSessionStaysUsableWhileHeld();
    void shortExpirationOmitsMaxAge();
    void cookieAttributesComeFromSettings();
    void nullSessionIsHarmless();
    void manyThreadsAtOnce();

private:
    QSettings* makeSettings(const QVariantMap& keys);
    QTemporaryDir* m_dir = nullptr;
    QList<QSettings*> m_settings;
};

void TestSessions::init()
{
    m_dir = new QTemporaryDir;
}

void TestSessions::cleanup()
{
    qDeleteAll(m_settings);
    m_settings.clear();
    delete m_dir;
}

QSettings* TestSessions::makeSettings(const QVariantMap& keys)
{
    auto* settings = new QSettings(m_dir->filePath(QString("s%1.ini").arg(m_settings.size())), QSettings::IniFormat);
    settings->beginGroup("sessions");
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        settings->setValue(it.key(), it.value());
    m_settings.append(settings);
    return settings;
}

void TestSessions::firstRequestGetsNewSessionCookie()
{
    HttpSessionStore store(makeSettings({}));
    auto request = requestWithCookie(QByteArray());
    HttpResponse response(nullptr);
    HttpSession session = store.getSession(*request, response, true);
    QVERIFY(!session.isNull());
    QVERIFY(response.cookies().contains("sessionid"));
    const HttpCookie cookie = response.cookies().value("sessionid");
    QCOMPARE(cookie.value(), session.id());
    QCOMPARE(cookie.value().size(), 38);
    QVERIFY(QRegularExpression("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$")
                .match(QString::fromLatin1(cookie.value()))
                .hasMatch());
    QCOMPARE(cookie.maxAge(), 3600);
    QCOMPARE(cookie.toHeaderValue(), "sessionid=" + session.id() + "; Max-Age=3600; Version=1");
}

void TestSessions::cookieFindsTheSameSessionAndRefreshesIt()
{
    HttpSessionStore store(makeSettings({}));
    QByteArray id;
    qint64 firstAccess;
    {
        auto request = requestWithCookie(QByteArray());
        HttpResponse response(nullptr);
        HttpSession session = store.getSession(*request, response);
        session.set("startTime", 42);
        id = session.id();
        firstAccess = session.lastAccess();
    }
    QThread::msleep(5);
    auto request = requestWithCookie("other=1; sessionid=" + id);
    HttpResponse response(nullptr);
    HttpSession session = store.getSession(*request, response, false);
    QCOMPARE(session.id(), id);
    QCOMPARE(session.get("startTime").toInt(), 42);
    QCOMPARE(response.cookies().value("sessionid").value(), id);
    QVERIFY(session.lastAccess() > firstAccess);
}

void TestSessions::unknownIdIsReplacedOrNull()
{
    LogCapture log;
    HttpSessionStore store(makeSettings({}));
    const QByteArray forged = "{00000000-0000-0000-0000-000000000000}";
    auto request = requestWithCookie("sessionid=" + forged);
    {
        HttpResponse response(nullptr);
        HttpSession session = store.getSession(*request, response, false);
        QVERIFY(session.isNull());
        QVERIFY(response.cookies().isEmpty());
    }
    QCOMPARE(log.count("HttpSessionStore: received invalid session cookie with ID " + forged), 1);
    HttpResponse response(nullptr);
    HttpSession session = store.getSession(*request, response, true);
    QVERIFY(!session.isNull());
    QVERIFY(session.id() != forged);
    QCOMPARE(response.cookies().value("sessionid").value(), session.id());
}

void TestSessions::twoLookupsInOneRequestShareTheSession()
{
    LogCapture log;
    HttpSessionStore store(makeSettings({}));
    auto request = requestWithCookie(QByteArray());
    HttpResponse response(nullptr);
    HttpSession first = store.getSession(*request, response);
    HttpSession second = store.getSession(*request, response);
    QCOMPARE(second.id(), first.id());
    first.set("k", "v");
    QCOMPARE(second.get("k").toString(), QString("v"));
    QCOMPARE(log.count("HttpSessionStore: create new session"), 1);
}

void TestSessions::expiryBoundary()
{
    LogCapture log;
    HttpSessionStore store(makeSettings({{"expirationTime", 10000}}));
    auto request = requestWithCookie(QByteArray());
    QByteArray id;
    qint64 lastAccess;
    {
        HttpResponse response(nullptr);
        HttpSession session = store.getSession(*request, response);
        id = session.id();
        lastAccess = session.lastAccess();
    }
    auto again = requestWithCookie("sessionid=" + id);
    store.expireSessions(lastAccess + 10000);
    {
        HttpResponse response(nullptr);
        QCOMPARE(store.getSessionId(*again, response), id);
    }
    // The lookup above did not touch lastAccess; one millisecond more expires it.
    store.expireSessions(lastAccess + 10001);
    QCOMPARE(log.count("HttpSessionStore: session " + id + " expired"), 1);
    QCOMPARE(log.count("HttpSession: deleting data"), 1);
    HttpResponse response(nullptr);
    QVERIFY(store.getSessionId(*again, response).isEmpty());
}

void TestSessions::erasedSessionStaysUsableWhileHeld()
{
    LogCapture log;
    HttpSessionStore store(makeSettings({{"expirationTime", 1000}}));
    auto request = requestWithCookie(QByteArray());
    HttpResponse response(nullptr);
    auto* held = new HttpSession(store.getSession(*request, response));
    held->set("a", 1);
    store.expireSessions(held->lastAccess() + 1001);
    QCOMPARE(log.count("expired"), 1);
    QCOMPARE(log.count("HttpSession: deleting data"), 0);
    held->set("b", 2);
    QCOMPARE(held->get("a").toInt() + held->get("b").toInt(), 3);
    delete held;
    QCOMPARE(log.count("HttpSession: deleting data"), 1);
}

void TestSessions::shortExpirationOmitsMaxAge()
{
    HttpSessionStore store(makeSettings({{"expirationTime", 500}}));
    auto request = requestWithCookie(QByteArray());
    HttpResponse response(nullptr);
    store.getSession(*request, response);
    QVERIFY(!response.cookies().value("sessionid").toHeaderValue().contains("Max-Age"));
}

void TestSessions::cookieAttributesComeFromSettings()
{
    HttpSessionStore store(makeSettings({{"cookieName", "sid"}, {"cookiePath", "/app"}, {"cookieDomain", "localhost"},
                                          {"cookieComment", "c"}}));
    auto request = requestWithCookie(QByteArray());
    HttpResponse response(nullptr);
    HttpSession session = store.getSession(*request, response);
    QCOMPARE(response.cookies().value("sid").toHeaderValue(),
             "sid=" + session.id() + "; Comment=c; Domain=localhost; Max-Age=3600; Path=/app; Version=1");
    auto second = requestWithCookie("sid=" + session.id());
    HttpResponse secondResponse(nullptr);
    QCOMPARE(store.getSession(*second, secondResponse, false).id(), session.id());
}

void TestSessions::nullSessionIsHarmless()
{
    HttpSession session;
    QVERIFY(session.isNull());
    session.set("x", 1);
    session.setLastAccess();
    QVERIFY(!session.get("x").isValid());
    QVERIFY(!session.contains("x"));
    QCOMPARE(session.lastAccess(), qint64(0));
    QVERIFY(session.id().isEmpty());
    HttpSession copy = session;
    copy = HttpSession(true);
    QVERIFY(!copy.isNull());
}

void TestSessions::manyThreadsAtOnce()
{
    HttpSessionStore store(makeSettings({{"expirationTime", 50}}));
    std::atomic<int> failures{0};
    QList<QThread*> threads;
    for (int t = 0; t < 8; ++t) {
        threads.append(createThread([&store, &failures, t] {
            QByteArray cookie;
            for (int i = 0; i < 1500; ++i) {
                auto request = requestWithCookie(cookie.isEmpty() ? QByteArray() : "sessionid=" + cookie);
                HttpResponse response(nullptr);
                HttpSession session = store.getSession(*request, response);
                session.set("n", i);
                if (session.get("n") != QVariant(i))
                    ++failures;
                HttpSession copy;
                copy = session;
                (void)copy.contains("n");
                cookie = (i % 7 == t % 7) ? QByteArray() : session.id();
            }
        }));
    }
    QThread* expirer = createThread([&store] {
        for (int i = 0; i < 300; ++i) {
            store.expireSessions(QDateTime::currentMSecsSinceEpoch());
            QThread::usleep(200);
        }
    });
    for (QThread* thread : qAsConst(threads))
        startThread(thread);
    startThread(expirer);
    for (QThread* thread : qAsConst(threads))
        QVERIFY(joinThread(thread, 60000));
    QVERIFY(joinThread(expirer, 60000));
    qDeleteAll(threads);
    delete expirer;
    QCOMPARE(failures.load(), 0);
}

QTEST_GUILESS_MAIN(TestSessions)
#include "tst_sessions.moc"
