// Scripts injected into the main window's pages, the web-channel bridge and
// pop-up windows, with real pages in the real browser view (under Xvfb).
#include "clienttest.h"
#include "deployment.h"
#include "logotorvane.h"
#include "mainwindow.h"
#include "popupwindow.h"
#include "webview.h"

#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"

#include <QAction>
#include <QMenu>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>

namespace {

class PageHandler : public quillon::HttpRequestHandler
{
public:
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override
    {
        const QByteArray path = request.path();
        if (path == "/jquery.js") {
            QFile file("/usr/share/javascript/jquery/jquery.min.js");
            file.open(QIODevice::ReadOnly);
            response.setHeader("Content-Type", "text/javascript");
            response.write(file.readAll(), true);
            return;
        }
        response.setHeader("Content-Type", "text/html; charset=UTF-8");
        if (path == "/own-jquery") {
            response.write("<html><head><title>own</title><script src=\"/jquery.js\"></script>"
                           "<script>window.pageJQuery = jQuery; jQuery.pageMarker = 'mine';</script></head>"
                           "<body>own</body></html>",
                           true);
        } else if (path == "/late-close") {
            // The page's own $ records what the close elements ask for.
            response.write("<html><head><title>late</title><script>"
                           "window.requests = [];"
                           "window.$ = { getJSON: function (url) { window.requests.push(url); } };"
                           "setTimeout(function () {"
                           "  var b = document.createElement('button'); b.className = 'close'; b.id = 'late';"
                           "  document.body.appendChild(b); window.createdAt = Date.now(); }, 2000);"
                           "</script></head><body></body></html>",
                           true);
        } else if (path == "/opener") {
            response.write("<html><head><title>opener</title></head><body></body></html>", true);
        } else if (path == "/popup") {
            response.write("<html><head><title>popup</title></head><body>popup</body></html>", true);
        } else {
            response.write("<html><head><title>plain</title></head><body>plain</body></html>", true);
        }
    }
};

QList<PopupWindow*> popups()
{
    QList<PopupWindow*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* popup = qobject_cast<PopupWindow*>(widget))
            found.append(popup);
    }
    return found;
}

} // namespace

class TestPageScripts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void privateJQueryLeavesThePagesOwn();
    void privateJQueryOnAPageWithoutOne();
    void lateCloseElementGetsTheHook();
    void bridgeAfterTheTestAction();
    void popupOpensMovesAndCloses();
    void popupGetsNoScriptsAndOpensNothing();

private:
    QUrl pageUrl(const QString& path) const
    {
        return m_pages.url(path);
    }
    bool loadAndWait(const QString& path)
    {
        QSignalSpy loaded(m_window->view(), &QWebEngineView::loadFinished);
        m_window->view()->load(pageUrl(path));
        return loaded.wait(20000);
    }
    QWebEnginePage* page() const { return m_window->view()->page(); }

    PageHandler m_handler;
    clienttest::PageServer m_pages;
    QPointer<MainWindow> m_window;
};

void TestPageScripts::initTestCase()
{
    QVERIFY(m_pages.listen(&m_handler));
}

void TestPageScripts::cleanupTestCase()
{
    m_pages.close();
}

void TestPageScripts::init()
{
    m_window = new MainWindow(pageUrl("/plain"));
    QSignalSpy loaded(m_window->view(), &QWebEngineView::loadFinished);
    m_window->show();
    QVERIFY(loaded.wait(20000));
}

void TestPageScripts::cleanup()
{
    qDeleteAll(popups());
    QVERIFY(clienttest::closeMainWindow(m_window));
}

void TestPageScripts::privateJQueryLeavesThePagesOwn()
{
    QVERIFY(loadAndWait("/own-jquery"));
    QTRY_COMPARE(clienttest::evaluate(page(), "typeof qt === 'object' && typeof qt.jQuery").toString(), QStringLiteral("function"));
    QCOMPARE(clienttest::evaluate(page(), "qt.jQuery !== window.pageJQuery").toBool(), true);
    QCOMPARE(clienttest::evaluate(page(), "jQuery === window.pageJQuery && $ === window.pageJQuery").toBool(), true);
    QCOMPARE(clienttest::evaluate(page(), "$.pageMarker").toString(), QStringLiteral("mine"));
    QCOMPARE(clienttest::evaluate(page(), "typeof qt.jQuery.fn.unbind + typeof qt.jQuery.fn.click").toString(),
             QStringLiteral("functionfunction"));
}

void TestPageScripts::privateJQueryOnAPageWithoutOne()
{
    QVERIFY(loadAndWait("/plain"));
    QTRY_COMPARE(clienttest::evaluate(page(), "typeof qt === 'object' && typeof qt.jQuery").toString(), QStringLiteral("function"));
    QCOMPARE(clienttest::evaluate(page(), "typeof jQuery + ' ' + typeof $").toString(), QStringLiteral("undefined undefined"));
}

void TestPageScripts::lateCloseElementGetsTheHook()
{
    QVERIFY(loadAndWait("/late-close"));
    QTRY_VERIFY_WITH_TIMEOUT(clienttest::evaluate(page(), "!!document.getElementById('late')").toBool(), 5000);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 2000
           && !clienttest::evaluate(page(), "!!(qt.jQuery._data(document.getElementById('late'), 'events') || {}).click").toBool())
        QTest::qWait(20);
    QVERIFY(clienttest::evaluate(page(), "Date.now() - window.createdAt").toInt() <= 700);
    clienttest::evaluate(page(), "document.getElementById('late').click()");
    // One request, to the activation host.
    QCOMPARE(clienttest::evaluate(page(), "window.requests.join(',')").toString(),
             QStringLiteral("https://" TORVANE_ACTIVATION_HOST "/?action=close"));
}

void TestPageScripts::bridgeAfterTheTestAction()
{
    QVERIFY(loadAndWait("/plain"));
    QSignalSpy infoChanged(m_window->bridge(), &Object::infoChanged);
    m_window->dialButton()->show();
    m_window->testAction()->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(clienttest::evaluate(page(), "!!(window.external && window.external.closeWindow)").toBool(), 10000);
    clienttest::evaluate(page(), "external.info = 'hello from the page'");
    QTRY_COMPARE(m_window->bridge()->info(), QStringLiteral("hello from the page"));
    clienttest::evaluate(page(), "window.readBack = null; external.info; setTimeout(function () { window.readBack = external.info; }, 100)");
    QTRY_COMPARE(clienttest::evaluate(page(), "window.readBack").toString(), QStringLiteral("hello from the page"));
    QCOMPARE(infoChanged.count(), 0);
    clienttest::evaluate(page(), "external.closeWindow()");
    QTRY_VERIFY(!m_window->isVisible());
    QVERIFY(m_window->dialButton()->isVisible());
}

void TestPageScripts::popupOpensMovesAndCloses()
{
    QVERIFY(loadAndWait("/opener"));
    clienttest::evaluate(page(), QStringLiteral("window.opened = window.open('%1', 'p', 'width=300,height=200')")
                         .arg(pageUrl("/popup").toString()));
    QTRY_COMPARE_WITH_TIMEOUT(popups().size(), 1, 10000);
    QPointer<PopupWindow> popup = popups().first();
    // Shown once its page turned out to be the application's.
    QTRY_VERIFY_WITH_TIMEOUT(popup->isVisible(), 10000);
    QVERIFY(popup->windowFlags() & Qt::WindowStaysOnTopHint);
    QTRY_VERIFY_WITH_TIMEOUT(!popup->busyIndicator()->isVisible(), 10000);

    // Xvfb has no window manager: the window has no frame, and the page's
    // request is the window's geometry as it stands.
    QCOMPARE(popup->frameGeometry(), popup->geometry());
    clienttest::evaluate(popup->view()->page(), "window.moveTo(120, 130); window.resizeTo(400, 300)");
    QTRY_COMPARE(popup->geometry(), QRect(120, 130, 400, 300));

    clienttest::evaluate(popup->view()->page(), "window.close()");
    QTRY_VERIFY_WITH_TIMEOUT(popup.isNull(), 10000);
}

void TestPageScripts::popupGetsNoScriptsAndOpensNothing()
{
    QVERIFY(loadAndWait("/opener"));
    clienttest::evaluate(page(), QStringLiteral("window.open('%1')").arg(pageUrl("/popup").toString()));
    QTRY_COMPARE_WITH_TIMEOUT(popups().size(), 1, 10000);
    PopupWindow* popup = popups().first();
    QTRY_VERIFY_WITH_TIMEOUT(!popup->busyIndicator()->isVisible(), 10000);
    QTest::qWait(300);
    QCOMPARE(clienttest::evaluate(popup->view()->page(), "typeof qt").toString(), QStringLiteral("undefined"));
    clienttest::evaluate(popup->view()->page(), QStringLiteral("window.open('%1')").arg(pageUrl("/plain").toString()));
    QTest::qWait(1000);
    QCOMPARE(popups().size(), 1);
}

int main(int argc, char* argv[])
{
    return clienttest::run<TestPageScripts>(argc, argv);
}

#include "tst_pagescripts.moc"
