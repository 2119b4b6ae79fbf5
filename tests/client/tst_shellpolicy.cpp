// What the shell lets pages do, with pages of our own in the real client
// window (under Xvfb): the application's page, and a widget frame of another
// origin inside it, each try a download, a sip: link, a pop-up and the
// microphone after a real click; links and navigations to another site.
#include "browsersandbox.h"
#include "clienttest.h"
#include "downloadsaver.h"
#include "mainwindow.h"
#include "pagerecovery.h"
#include "webpage.h"
#include "shellpolicy.h"
#include "popupwindow.h"
#include "webview.h"

#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>

namespace {

// Buttons at fixed places, so that a test can click them: button i at
// (10, 10 + 40 i), 200 x 30.
QByteArray buttonsPage(const QByteArray& title, const QByteArray& frame, const QByteArray& self)
{
    QByteArray page = "<html><head><title>" + title + "</title><style>body{margin:0} button{position:absolute;"
                      "left:10px;width:200px;height:30px} iframe{position:absolute;left:0;top:200px;width:260px;"
                      "height:200px;border:0}</style></head><body>"
                      "<button style='top:10px' onclick=\"var a=document.createElement('a');a.href='" + self
        + "/file';a.download='call.wav';document.body.appendChild(a);a.click()\">download</button>"
          "<button style='top:50px' onclick=\"location.href='sip:ana@example.com'\">sip</button>"
          "<button style='top:90px' onclick=\"window.open('" + self + "/popup', 'p', 'width=200,height=100')\">"
          "pop-up</button>"
          "<button style='top:130px' onclick=\"window.result='pending';navigator.mediaDevices.getUserMedia({audio:"
          "true}).then(function(s){s.getTracks().forEach(function(t){t.stop()});window.result='granted'},"
          "function(e){window.result=e.name}).then(function(){parent.postMessage(window.result,'*')})\">microphone"
          "</button><script>onmessage=function(e){window.frameResult=e.data}</script>";
    if (!frame.isEmpty())
        page += "<iframe src='" + frame + "' allow='microphone'></iframe>"; // as a voice widget is embedded
    return page + "</body></html>";
}

class PageHandler : public quillon::HttpRequestHandler
{
public:
    QByteArray self; // this server's origin
    QByteArray other; // the other server's origin
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override
    {
        const QByteArray path = request.path();
        if (path == "/file") {
            response.setHeader("Content-Type", "audio/wav");
            response.write("RIFF", true);
            return;
        }
        if (path == "/redirect-away") {
            response.setStatus(302, "Found");
            response.setHeader("Location", other + "/page");
            response.write(QByteArray(), true);
            return;
        }
        response.setHeader("Content-Type", "text/html; charset=UTF-8");
        if (path == "/app")
            response.write(buttonsPage("app", other + "/widget", self), true);
        else if (path == "/widget")
            response.write(buttonsPage("widget", QByteArray(), self), true);
        else if (path == "/links")
            response.write("<html><head><title>links</title></head><body style='margin:0'><a href='" + other
                               + "/page' style='display:block;width:200px;height:30px'>elsewhere</a></body></html>",
                           true);
        else
            response.write("<html><head><title>" + path.mid(1) + "</title></head><body>page</body></html>", true);
    }
};

QList<PopupWindow*> visiblePopups()
{
    QList<PopupWindow*> found;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* popup = qobject_cast<PopupWindow*>(widget); popup && popup->isVisible())
            found.append(popup);
    return found;
}

} // namespace

class TestShellPolicy : public QObject
{
    Q_OBJECT

public slots:
    void openedOutside(const QUrl& url) { m_openedOutside.append(url); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void onlyTheApplicationGetsWhatItAsksFor_data();
    void onlyTheApplicationGetsWhatItAsksFor();
    void linkToAnotherSiteOpensOutside();
    void navigationsToAnotherSiteAreRefused();
    void downloadNamesAreSafe_data();
    void downloadNamesAreSafe();
    void chromiumSwitchesAreAllowedOneByOne_data();
    void chromiumSwitchesAreAllowedOneByOne();
    void argumentsThatLookLikeSwitchesAreDropped();
    void sandboxThatCannotStartIsNamed();
    void everyFailedRetrySetsTheNextOne();

private:
    // Made once the test runs: QtTest installs its own logger first.
    std::unique_ptr<clienttest::LogRecorder> m_log;
    void click(int button, bool inFrame);

    PageHandler m_appHandler;
    PageHandler m_otherHandler;
    clienttest::PageServer m_app;
    clienttest::PageServer m_other;
    QTemporaryDir m_downloads;
    QPointer<MainWindow> m_window;
    QList<QUrl> m_openedOutside;
};

void TestShellPolicy::initTestCase()
{
    m_log = std::make_unique<clienttest::LogRecorder>();
    QVERIFY(m_app.listen(&m_appHandler) && m_other.listen(&m_otherHandler));
    m_appHandler.self = m_otherHandler.other = m_app.url("").toString().toUtf8();
    m_otherHandler.self = m_appHandler.other = m_other.url("").toString().toUtf8();
    // Downloads go to a folder of the test's own.
    QDir().mkpath(qEnvironmentVariable("XDG_CONFIG_HOME"));
    QFile dirs(qEnvironmentVariable("XDG_CONFIG_HOME") + "/user-dirs.dirs");
    QVERIFY(dirs.open(QIODevice::WriteOnly));
    dirs.write("XDG_DOWNLOAD_DIR=\"" + m_downloads.path().toUtf8() + "\"\n");
    dirs.close();
    QDesktopServices::setUrlHandler("http", this, "openedOutside");
}

void TestShellPolicy::cleanupTestCase()
{
    m_log.reset();
    QDesktopServices::unsetUrlHandler("http");
    m_app.close();
    m_other.close();
}

void TestShellPolicy::init()
{
    m_log->lines().clear();
    m_openedOutside.clear();
    m_window = new MainWindow(m_app.url("/app"));
    QSignalSpy loaded(m_window->view(), &QWebEngineView::loadFinished);
    m_window->show();
    m_window->move(0, 0);
    m_window->resize(271, 420);
    QVERIFY(loaded.wait(20000));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->view()->focusProxy(), 10000);
    QTest::qWait(500); // the frame
}

void TestShellPolicy::cleanup()
{
    qDeleteAll(visiblePopups());
    QVERIFY(clienttest::closeMainWindow(m_window));
}

// A real click, as the user makes it, on a button of the page or of the
// widget frame.
void TestShellPolicy::click(int button, bool inFrame)
{
    const QPoint point(110, 25 + 40 * button + (inFrame ? 200 : 0));
    QWidget* target = m_window->view()->focusProxy();
    QTest::mouseMove(target, point);
    QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, point);
}

void TestShellPolicy::onlyTheApplicationGetsWhatItAsksFor_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("inFrame");
    QTest::addColumn<bool>("allowed");
    for (const bool inFrame : {false, true}) {
        const char* where = inFrame ? "another site's frame" : "the application";
        QTest::addRow("%s: download", where) << 0 << inFrame << !inFrame;
        QTest::addRow("%s: sip link", where) << 1 << inFrame << !inFrame;
        QTest::addRow("%s: pop-up", where) << 2 << inFrame << !inFrame;
        QTest::addRow("%s: microphone", where) << 3 << inFrame << !inFrame;
    }
}

void TestShellPolicy::onlyTheApplicationGetsWhatItAsksFor()
{
    QFETCH(int, button);
    QFETCH(bool, inFrame);
    QFETCH(bool, allowed);
    QWebEnginePage* page = m_window->view()->page();
    click(button, inFrame);
    switch (button) {
    case 0:
        QTRY_VERIFY_WITH_TIMEOUT(!m_log->lines().filter("DownloadSaver:").isEmpty(), 10000);
        QCOMPARE(!m_log->lines().filter("DownloadSaver: saving").isEmpty(), allowed);
        QCOMPARE(!m_log->lines().filter("DownloadSaver: refused").isEmpty(), !allowed);
        break;
    case 1:
        QTRY_VERIFY_WITH_TIMEOUT(!m_log->lines().filter("sip:ana@example.com").isEmpty(), 10000);
        QTest::qWait(300);
        QCOMPARE(!m_log->lines().filter(QRegularExpression("ExternalLinks: .*sip")).isEmpty(), allowed);
        break;
    case 2:
        if (allowed)
            QTRY_COMPARE_WITH_TIMEOUT(visiblePopups().size(), 1, 10000);
        QTest::qWait(1500);
        QCOMPARE(visiblePopups().size(), allowed ? 1 : 0);
        break;
    case 3:
        if (!inFrame) {
            QTRY_VERIFY_WITH_TIMEOUT(clienttest::evaluate(page, "window.result || 'pending'").toString() != "pending", 10000);
            QCOMPARE(clienttest::evaluate(page, "window.result").toString(), QStringLiteral("granted"));
        } else {
            // The request the window got, and the answer the frame posts.
            QTRY_VERIFY_WITH_TIMEOUT(!m_log->lines().filter("MediaAudioCapture").isEmpty(), 10000);
            QVERIFY(m_log->lines().filter("MediaAudioCapture").first().contains(m_other.url("").toString(QUrl::StripTrailingSlash)));
            QTRY_VERIFY_WITH_TIMEOUT(!clienttest::evaluate(page, "window.frameResult || ''").toString().isEmpty(), 10000);
            QCOMPARE(clienttest::evaluate(page, "window.frameResult").toString(), QStringLiteral("NotAllowedError"));
        }
        break;
    }
    // The application's page is still there.
    QCOMPARE(m_window->view()->url(), m_app.url("/app"));
}

void TestShellPolicy::linkToAnotherSiteOpensOutside()
{
    QSignalSpy loaded(m_window->view(), &QWebEngineView::loadFinished);
    m_window->view()->load(m_app.url("/links"));
    QVERIFY(loaded.wait(20000));
    click(0, false);
    QTRY_COMPARE_WITH_TIMEOUT(m_openedOutside, QList<QUrl>{m_other.url("/page")}, 10000);
    QTest::qWait(500);
    QCOMPARE(m_window->view()->url(), m_app.url("/links"));
}

// What an open redirect or a script of the page would do: another site in
// the window. Refused without a click, and the page stays.
void TestShellPolicy::navigationsToAnotherSiteAreRefused()
{
    QWebEnginePage* page = m_window->view()->page();
    clienttest::evaluate(page, QStringLiteral("location.href = '%1'").arg(m_other.url("/page").toString()));
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->lines().filter("refused: not the application's").isEmpty(), 10000);
    QTest::qWait(500);
    QCOMPARE(m_window->view()->url(), m_app.url("/app"));
    QVERIFY(m_openedOutside.isEmpty());
}

void TestShellPolicy::downloadNamesAreSafe_data()
{
    QTest::addColumn<QString>("suggested");
    QTest::addColumn<QString>("safe");
    QTest::newRow("ordinary") << "call.wav" << "call.wav";
    QTest::newRow("leading dot") << ".bashrc" << "bashrc";
    QTest::newRow("control characters") << QString("a\x01" "b\tc.txt") << "abc.txt";
    QTest::newRow("right-to-left override") << QString::fromUtf8("invoice\xE2\x80\xAEgpj.exe") << "invoicegpj.exe.download";
    QTest::newRow("colon and reserved characters") << "a:b*c?.txt" << "a_b_c_.txt";
    QTest::newRow("trailing dots and spaces") << "notes.txt. . " << "notes.txt";
    QTest::newRow("device name") << "CON.txt" << "_CON.txt";
    QTest::newRow("device name with digit") << "lpt1" << "_lpt1";
    QTest::newRow("desktop entry") << "open-me.desktop" << "open-me.desktop.download";
    QTest::newRow("program, any case") << "setup.EXE" << "setup.EXE.download";
    QTest::newRow("shell script") << "run.sh" << "run.sh.download";
    QTest::newRow("long") << QString(300, 'a') + ".wav" << QString(116, 'a') + ".wav";
    QTest::newRow("nothing left") << " . " << "download";
}

void TestShellPolicy::downloadNamesAreSafe()
{
    QFETCH(QString, suggested);
    QFETCH(QString, safe);
    QCOMPARE(DownloadSaver::safeFileName(suggested), safe);
}

void TestShellPolicy::chromiumSwitchesAreAllowedOneByOne_data()
{
    QTest::addColumn<QByteArray>("flags");
    QTest::addColumn<QByteArray>("kept");
    QTest::newRow("allowed") << QByteArray("--disable-gpu --use-fake-device-for-media-stream --lang=pt-BR")
                             << QByteArray("--disable-gpu --use-fake-device-for-media-stream --lang=pt-BR");
    QTest::newRow("no sandbox") << QByteArray("--disable-gpu --no-sandbox") << QByteArray("--disable-gpu");
    QTest::newRow("quoted") << QByteArray("\"--no-sandbox\" '--disable-gpu'") << QByteArray();
    QTest::newRow("with a value") << QByteArray("--no-sandbox=1") << QByteArray();
    QTest::newRow("single process") << QByteArray("--single-process") << QByteArray();
    QTest::newRow("seccomp filter") << QByteArray("--disable-seccomp-filter-sandbox") << QByteArray();
    QTest::newRow("one dash") << QByteArray("-no-sandbox -disable-gpu") << QByteArray();
    QTest::newRow("debugging port") << QByteArray("--remote-debugging-port=9222") << QByteArray();
    QTest::newRow("upper case") << QByteArray("--NO-SANDBOX --Disable-Gpu") << QByteArray("--Disable-Gpu");
}

void TestShellPolicy::chromiumSwitchesAreAllowedOneByOne()
{
    QFETCH(QByteArray, flags);
    QFETCH(QByteArray, kept);
    QByteArrayList dropped;
    QCOMPARE(browsersandbox::allowedChromiumFlags(flags, &dropped), kept);
}

void TestShellPolicy::argumentsThatLookLikeSwitchesAreDropped()
{
    QStringList dropped;
    QCOMPARE(browsersandbox::plainArguments({"torvaneapp", "--no-sandbox", "zolapp:x", "-single-process"}, &dropped),
             (QStringList{"torvaneapp", "zolapp:x"}));
    QCOMPARE(dropped.size(), 2);
    // Qt's platform choice stays, but never with a switch as its value.
    dropped.clear();
    QCOMPARE(browsersandbox::plainArguments({"torvaneapp", "-platform", "xcb", "--platform", "--no-sandbox"}, &dropped),
             (QStringList{"torvaneapp", "-platform", "xcb"}));
    QCOMPARE(dropped, (QStringList{"--platform", "--no-sandbox"}));
}

void TestShellPolicy::sandboxThatCannotStartIsNamed()
{
    QTemporaryDir proc;
    QDir().mkpath(proc.filePath("sys/kernel"));
    QDir().mkpath(proc.filePath("sys/user"));
    const auto write = [&](const QString& name, const QByteArray& value) {
        QFile file(proc.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(value);
    };
    QCOMPARE(browsersandbox::unavailableReason(proc.path()), QString());
    write("sys/user/max_user_namespaces", "63452\n");
    write("sys/kernel/unprivileged_userns_clone", "1\n");
    QCOMPARE(browsersandbox::unavailableReason(proc.path()), QString());
    write("sys/kernel/unprivileged_userns_clone", "0\n");
    QCOMPARE(browsersandbox::unavailableReason(proc.path()), QStringLiteral("kernel.unprivileged_userns_clone is 0"));
    write("sys/kernel/unprivileged_userns_clone", "1\n");
    write("sys/user/max_user_namespaces", "0\n");
    QCOMPARE(browsersandbox::unavailableReason(proc.path()), QStringLiteral("user.max_user_namespaces is 0"));
}

// A retry whose load fails before it replaces the notice (here the start
// page redirects to another site, which the window refuses) sets the next
// one, with the longer pause, instead of leaving the notice for good.
void TestShellPolicy::everyFailedRetrySetsTheNextOne()
{
    const QUrl start = m_app.url("/redirect-away");
    QWebEngineView view;
    ShellPolicy policy(start);
    view.setPage(new WebPage(&policy, WebPage::MainWindowPage, nullptr, &view));
    new PageRecovery(&view, start, &policy, &view);
    view.load(start);
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->lines().filter("again in 4 s").isEmpty(), 20000);
    QVERIFY(!m_log->lines().filter("again in 1 s").isEmpty() && !m_log->lines().filter("again in 2 s").isEmpty());
}

int main(int argc, char* argv[])
{
    return clienttest::run<TestShellPolicy>(argc, argv);
}

#include "tst_shellpolicy.moc"
