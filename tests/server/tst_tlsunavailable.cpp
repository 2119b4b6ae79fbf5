// Run where no TLS library can be loaded (the CTest case hides libssl in a
// private mount namespace): a listener configured for TLS says so and
// serves plain HTTP, and never claims that TLS is on.
#include "testserver.h"

#include <QSslSocket>
#include <QTest>

using namespace quillon;

class TestTlsUnavailable : public QObject
{
    Q_OBJECT

private slots:
    void configuredTlsIsOffAndSaysSo();
};

void TestTlsUnavailable::configuredTlsIsOffAndSaysSo()
{
    QVERIFY2(!QSslSocket::supportsSsl(), "a TLS library was loaded: the test's environment did not hide it");
    LogCapture log;
    ScriptedHandler handler([](HttpRequest&, HttpResponse& response) { response.write("hello", true); });
    ServerThread server(&handler, {{"sslKeyFile", "key.pem"}, {"sslCertFile", "cert.pem"}});
    QVERIFY(server.startAndWait());
    QCOMPARE(log.count("TLS is not available"), 1);
    QCOMPARE(log.count("SSL settings loaded"), 0);
    QVERIFY(rawclient::exchange(server.port(), "GET / HTTP/1.0\r\n\r\n").endsWith("hello"));
}

QTEST_GUILESS_MAIN(TestTlsUnavailable)
#include "tst_tlsunavailable.moc"
