// The main window, its tray and the floating dial button, on a real display
// (Xvfb) with a real browser view. Run with a screen of 1920 x 1040.
#include "dialbuttonform.h"
#include "downloadsaver.h"
#include "clienttest.h"
#include "logotorvane.h"
#include "mainwindow.h"
#include "webview.h"

#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFrame>
#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebEnginePage>
#include <QtDebug>

namespace {

// Pages for the browser view, served on loopback.
class PageHandler : public quillon::HttpRequestHandler
{
public:
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override
    {
        response.setHeader("Content-Type", "text/html; charset=UTF-8");
        const QByteArray path = request.path();
        if (path == "/slow") {
            QThread::msleep(300);
            response.write("<html><head><title>Slow</title></head><body>slow</body></html>", true);
        } else if (path == "/percent") {
            response.write("<html><head><title>Fila %1 de %2</title></head><body>fila</body></html>", true);
        } else if (path == "/media") {
            response.write("<html><head><title>Media</title></head><body><script>"
                           "function ask(kind) {"
                           "  var constraints = kind === 'audio' ? {audio: true} : {video: true};"
                           "  window.result = 'pending';"
                           "  navigator.mediaDevices.getUserMedia(constraints).then("
                           "    function (s) { s.getTracks().forEach(function (t) { t.stop(); }); window.result = 'granted'; },"
                           "    function (e) { window.result = e.name; });"
                           "}</script></body></html>",
                           true);
        } else {
            response.write("<html><head><title>Agenda</title></head><body>agenda</body></html>", true);
        }
    }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void flagsAndAttributes();
    void placedAtTheBottomRight();
    void titleFollowsProgress();
    void titleKeepsPercentSignsOfThePage();
    void titleAfterALoadWithoutProgress();
    void microphoneIsGrantedForThePageUrl();
    void cameraRequestIsLoggedAndNotGranted();
    void trayIconWaitsForATrayHost();
    void trayAndMenuVisibility();
    void withoutATrayTheRightButtonOpensTheTrayMenu();
    void resolutionChangeKeepsTheCorner();
    void quitEndsTheEventLoopWithZero();
    void dialButtonWidgets();
    void rightPressStartsNoDrag();
    void leftDragKeepsTheGrabbedPoint();
    void doubleClickShowsTheWindow();
    void escapeHidesTheDialButton();
    void downloadNamesStayInTheFolderAndNeverOverwrite_data();
    void downloadNamesStayInTheFolderAndNeverOverwrite();

private:
    // Made once the test runs: QtTest installs its own logger first.
    std::unique_ptr<clienttest::LogRecorder> m_log;
    QUrl pageUrl(const QString& path) const
    {
        return m_pages.url(path);
    }
    bool loadAndWait(const QUrl& url);

    PageHandler m_handler;
    clienttest::PageServer m_pages;
    QPointer<MainWindow> m_window;
};

void TestMainWindow::initTestCase()
{
    m_log = std::make_unique<clienttest::LogRecorder>();
    QVERIFY(m_pages.listen(&m_handler));
}

void TestMainWindow::cleanupTestCase()
{
    m_log.reset();
    m_pages.close();
}

void TestMainWindow::init()
{
    m_log->lines().clear();
    m_window = new MainWindow(pageUrl("/"));
    QSignalSpy loaded(m_window->view(), &QWebEngineView::loadFinished);
    m_window->show();
    QVERIFY(loaded.wait(20000));
}

void TestMainWindow::cleanup()
{
    QVERIFY(clienttest::closeMainWindow(m_window));
}

bool TestMainWindow::loadAndWait(const QUrl& url)
{
    QSignalSpy loaded(m_window->view(), &QWebEngineView::loadFinished);
    m_window->view()->load(url);
    return loaded.wait(20000);
}

void TestMainWindow::flagsAndAttributes()
{
    // Qt adds the Window bit to a widget without a parent.
    QCOMPARE(int(m_window->windowFlags() & ~Qt::Window), 0x2040812);
    QCOMPARE(int(m_window->dialButton()->windowFlags() & ~Qt::Window), 0x2040812);
    QVERIFY(m_window->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(m_window->testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(m_window->dialButton()->testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(m_window->centralWidget(), static_cast<QWidget*>(m_window->view()));
    QVERIFY(!m_window->dialButton()->parent());
    QVERIFY(!m_window->dialButton()->isVisible());
}

void TestMainWindow::placedAtTheBottomRight()
{
    const QRect available = m_window->screen()->availableGeometry();
    if (available.size() != QSize(1920, 1040))
        QSKIP("needs a screen whose available area is 1920 x 1040 (xvfb-run -s '-screen 0 1920x1040x24')");
    QCOMPARE(m_window->pos(), QPoint(1629, 620));
    QCOMPARE(m_window->size(), QSize(271, 420));
    QCOMPARE(m_window->dialButton()->pos(), QPoint(1853, 933));
}

void TestMainWindow::titleFollowsProgress()
{
    for (int p : {0, 1, 42, 99, 100}) {
        QMetaObject::invokeMethod(m_window, "setProgress", Q_ARG(int, p));
        const QString expected = (p < 1 || p > 99) ? QStringLiteral("Agenda") : QStringLiteral("Agenda (%1%)").arg(p);
        QCOMPARE(m_window->windowTitle(), expected);
    }
}

void TestMainWindow::titleKeepsPercentSignsOfThePage()
{
    QVERIFY(loadAndWait(pageUrl("/percent")));
    QMetaObject::invokeMethod(m_window, "setProgress", Q_ARG(int, 42));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Fila %1 de %2 (42%)"));
}

void TestMainWindow::titleAfterALoadWithoutProgress()
{
    QMetaObject::invokeMethod(m_window, "setProgress", Q_ARG(int, 50));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Agenda (50%)"));
    QMetaObject::invokeMethod(m_window, "finishLoading", Q_ARG(bool, false));
    QCOMPARE(m_window->progress(), 100);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Agenda"));
    QVERIFY(m_log->lines().contains("Progresso... FINISH"));
}

void TestMainWindow::microphoneIsGrantedForThePageUrl()
{
    QVERIFY(loadAndWait(pageUrl("/media")));
    QWebEnginePage* page = m_window->view()->page();
    clienttest::evaluate(page, "ask('audio')");
    QTRY_VERIFY_WITH_TIMEOUT(clienttest::evaluate(page, "window.result").toString() != "pending", 10000);
    // The browser engine runs with fake capture devices in the tests.
    QCOMPARE(clienttest::evaluate(page, "window.result").toString(), QStringLiteral("granted"));
}

// The window answers every request with the microphone grant alone; the
// browser engine resolves the pending camera request with that answer, so
// the camera is refused rather than left waiting.
void TestMainWindow::cameraRequestIsLoggedAndNotGranted()
{
    QVERIFY(loadAndWait(pageUrl("/media")));
    QWebEnginePage* page = m_window->view()->page();
    clienttest::evaluate(page, "ask('video')");
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->lines().filter("MediaVideoCapture").isEmpty(), 10000);
    QVERIFY(m_log->lines().filter("MediaVideoCapture").first().contains(pageUrl("/").toString(QUrl::StripTrailingSlash)));
    QTRY_VERIFY_WITH_TIMEOUT(clienttest::evaluate(page, "window.result").toString() != "pending", 10000);
    QVERIFY(clienttest::evaluate(page, "window.result").toString() != "granted");
}

void TestMainWindow::trayIconWaitsForATrayHost()
{
    // No session bus and no X11 tray: Qt would decide once and for all that
    // there is no tray, so no icon is made yet.
    QVERIFY(!m_window->trayIcon());
    QVERIFY(!m_log->lines().filter("Tray: this desktop shows no tray icons").isEmpty());
    QMetaObject::invokeMethod(m_window, "trayHostChanged", Q_ARG(bool, true));
    QVERIFY(m_window->trayIcon());
    QVERIFY(m_window->trayIcon()->isVisible());
    QMenu* menu = m_window->trayMenu();
    QCOMPARE(menu->title(), QStringLiteral("Menu Tray"));
    QVERIFY(!menu->parent());
    QStringList texts;
    for (QAction* action : menu->actions())
        texts.append(action->text());
    QCOMPARE(texts, (QStringList{"Sair", "Esconder Torvane APP", "Abrir Torvane APP"}));
    QCOMPARE(m_window->trayIcon()->toolTip(), QStringLiteral("Torvane APP v.1.0.10-2018"));
    QCOMPARE(m_window->trayIcon()->contextMenu(), menu);
    QVERIFY(!m_window->trayIcon()->icon().isNull());
}

void TestMainWindow::trayAndMenuVisibility()
{
    QMetaObject::invokeMethod(m_window, "trayHostChanged", Q_ARG(bool, true));
    logoTorvane* dial = m_window->dialButton();
    QMenu* menu = m_window->trayMenu();
    QAction* hide = menu->actions().at(1);
    QAction* open = menu->actions().at(2);

    dial->show();
    hide->trigger();
    QVERIFY(!m_window->isVisible());
    QVERIFY(!dial->isVisible());
    dial->show();
    open->trigger();
    QVERIFY(m_window->isVisible());
    QVERIFY(!dial->isVisible());

    const auto activate = [this](QSystemTrayIcon::ActivationReason reason) {
        emit m_window->trayIcon()->activated(reason);
    };
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
        m_window->hide();
        dial->show();
        activate(reason);
        QVERIFY(m_window->isVisible());
        QVERIFY(!dial->isVisible());
    }
    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
        m_window->hide();
        dial->hide();
        activate(reason);
        QVERIFY(!m_window->isVisible());
        QVERIFY(!dial->isVisible());
    }
    m_window->show();
}

namespace {
QMenu* openMenu()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* menu = qobject_cast<QMenu*>(widget); menu && menu->isVisible())
            return menu;
    }
    return nullptr;
}

QStringList lastTexts(const QMenu* menu, int count)
{
    QStringList texts;
    for (const QAction* action : menu->actions().mid(menu->actions().size() - count))
        texts.append(action->text());
    return texts;
}

void closeMenus()
{
    while (QMenu* menu = openMenu())
        menu->close();
}

void rightClick(QWidget* widget, const QPoint& at)
{
    QTest::mousePress(widget, Qt::RightButton, Qt::NoModifier, at);
    QTest::mouseRelease(widget, Qt::RightButton, Qt::NoModifier, at);
}
} // namespace

// Without a tray the client can still be quit, hidden and opened with the
// mouse: the dial button's and the view's right-click menus offer the tray
// menu's entries, in its order; with a tray they do not.
void TestMainWindow::withoutATrayTheRightButtonOpensTheTrayMenu()
{
    const QStringList entries{"Sair", "Esconder Torvane APP", "Abrir Torvane APP"};
    logoTorvane* dial = m_window->dialButton();
    m_window->hide();
    dial->show();
    QVERIFY(QTest::qWaitForWindowExposed(dial));
    rightClick(dial, QPoint(20, 20));
    QTRY_VERIFY(openMenu());
    QCOMPARE(openMenu(), m_window->trayMenu());
    QCOMPARE(lastTexts(openMenu(), 3), entries);
    closeMenus();

    // The page's own right click, through the browser engine.
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QWidget* page = m_window->view()->focusProxy();
    rightClick(page, QPoint(30, 30));
    QTRY_VERIFY(openMenu());
    QCOMPARE(lastTexts(openMenu(), 3), entries);
    closeMenus();

    QMetaObject::invokeMethod(m_window, "trayHostChanged", Q_ARG(bool, true));
    rightClick(page, QPoint(30, 30));
    QTRY_VERIFY(openMenu());
    QVERIFY(!openMenu()->actions().contains(m_window->trayMenu()->actions().first()));
    closeMenus();
    m_window->hide();
    dial->show();
    rightClick(dial, QPoint(20, 20));
    QTest::qWait(100);
    QVERIFY(!openMenu());
}

namespace {
// The X server's screen size, through RandR (Xvfb takes new modes up to
// the size it started with).
bool setScreenSize(const QString& mode)
{
    const auto xrandr = [](const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral("xrandr"), arguments);
        return process.waitForFinished(10000) && process.exitCode() == 0;
    };
    const QStringList size = mode.split(QLatin1Char('x'));
    // Adding a mode that exists already fails harmlessly.
    xrandr({"--newmode", mode, "0", size.at(0), "0", "0", "0", size.at(1), "0", "0", "0"});
    xrandr({"--addmode", "screen", mode});
    return xrandr({"--output", "screen", "--mode", mode});
}

void dragTo(QWidget* widget, const QPoint& topLeft)
{
    const QPoint grabbed(30, 25);
    QCursor::setPos(widget->mapToGlobal(grabbed));
    QTRY_COMPARE(QCursor::pos(), widget->mapToGlobal(grabbed));
    QTest::mousePress(widget, Qt::LeftButton, Qt::NoModifier, grabbed);
    QCursor::setPos(topLeft + grabbed);
    QTRY_COMPARE(QCursor::pos(), topLeft + grabbed);
    QMouseEvent move(QEvent::MouseMove, grabbed, topLeft + grabbed, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
    QTest::mouseRelease(widget, Qt::LeftButton, Qt::NoModifier, grabbed);
}
} // namespace

// A smaller screen leaves the window and a dial button the user put beyond
// it at the new corner; a spot the user chose that is still on the screen
// is kept.
void TestMainWindow::resolutionChangeKeepsTheCorner()
{
    if (m_window->screen()->availableGeometry().size() != QSize(1920, 1040))
        QSKIP("needs a screen whose available area is 1920 x 1040 (xvfb-run -s '-screen 0 1920x1040x24')");
    logoTorvane* dial = m_window->dialButton();
    m_window->hide();
    dial->show();
    QVERIFY(QTest::qWaitForWindowExposed(dial));
    dragTo(dial, QPoint(1700, 900));
    QCOMPARE(dial->pos(), QPoint(1700, 900));
    QVERIFY(setScreenSize("1280x1024"));
    QTRY_COMPARE(m_window->pos(), QPoint(989, 604));
    QTRY_COMPARE(dial->pos(), QPoint(1213, 917));
    QVERIFY(!m_log->lines().filter("Screens changed: the window stands at 989,604").isEmpty());

    dragTo(dial, QPoint(100, 100));
    const bool restored = setScreenSize("1920x1040");
    QVERIFY(restored);
    QTRY_COMPARE(m_window->pos(), QPoint(1629, 620));
    QCOMPARE(dial->pos(), QPoint(100, 100));
}

void TestMainWindow::quitEndsTheEventLoopWithZero()
{
    QPointer<logoTorvane> dial = m_window->dialButton();
    dial->show();
    QTimer::singleShot(0, m_window, [this] { m_window->trayMenu()->actions().at(0)->trigger(); });
    QCOMPARE(qApp->exec(), 0);
    QTRY_VERIFY(m_window.isNull()); // deleted on close
    QVERIFY(!dial->isVisible());
}

void TestMainWindow::dialButtonWidgets()
{
    logoTorvane* dial = m_window->dialButton();
    QCOMPARE(dial->objectName(), QStringLiteral("logoTorvane"));
    QCOMPARE(dial->size(), QSize(359, 168));
    QVERIFY(dial->isModal());
    QCOMPARE(dial->windowTitle(), QStringLiteral("APP"));
    DialButtonForm* form = dial->dialButtonForm();
    QCOMPARE(form->pushButton->geometry(), QRect(0, 0, 61, 61));
    QCOMPARE(form->pushButton->iconSize(), QSize(47, 47));
    QVERIFY(form->pushButton->isFlat());
    QCOMPARE(form->frame->geometry(), QRect(-10, 0, 120, 80));
    QCOMPARE(form->pushButton->icon().availableSizes(), QList<QSize>{QSize(47, 47)});
    QCOMPARE(QPixmap(":/icone16.png").size(), QSize(16, 16));
    QCOMPARE(QPixmap(":/icone-discador.png").size(), QSize(47, 47));
}

void TestMainWindow::rightPressStartsNoDrag()
{
    logoTorvane* dial = m_window->dialButton();
    dial->show();
    QVERIFY(QTest::qWaitForWindowExposed(dial));
    const QPoint before = dial->pos();
    QTest::mousePress(dial, Qt::RightButton, Qt::NoModifier, QPoint(20, 20));
    QVERIFY(m_log->lines().contains("Eita 5"));
    closeMenus();
    QCursor::setPos(dial->mapToGlobal(QPoint(80, 60)));
    QMouseEvent move(QEvent::MouseMove, QPoint(80, 60), dial->mapToGlobal(QPoint(80, 60)), Qt::NoButton,
                     Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(dial, &move);
    QCOMPARE(dial->pos(), before);
    QTest::mouseRelease(dial, Qt::RightButton, Qt::NoModifier, QPoint(20, 20));
}

void TestMainWindow::leftDragKeepsTheGrabbedPoint()
{
    logoTorvane* dial = m_window->dialButton();
    dial->move(500, 500);
    dial->show();
    QVERIFY(QTest::qWaitForWindowExposed(dial));
    const QPoint grabbed(30, 25);
    QCursor::setPos(dial->mapToGlobal(grabbed));
    QTRY_COMPARE(QCursor::pos(), dial->mapToGlobal(grabbed));
    QTest::mousePress(dial, Qt::LeftButton, Qt::NoModifier, grabbed);
    const QPoint target(800, 300);
    QCursor::setPos(target);
    QTRY_COMPARE(QCursor::pos(), target);
    QMouseEvent move(QEvent::MouseMove, grabbed, target, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(dial, &move);
    QTest::mouseRelease(dial, Qt::LeftButton, Qt::NoModifier, grabbed);
    QCOMPARE(dial->pos() + grabbed, target);
}

void TestMainWindow::doubleClickShowsTheWindow()
{
    logoTorvane* dial = m_window->dialButton();
    m_window->hide();
    dial->show();
    QVERIFY(QTest::qWaitForWindowExposed(dial));
    QTest::mouseDClick(dial, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QVERIFY(!dial->isVisible());
    QVERIFY(m_window->isVisible());
}

void TestMainWindow::escapeHidesTheDialButton()
{
    logoTorvane* dial = m_window->dialButton();
    m_window->hide();
    dial->show();
    QVERIFY(QTest::qWaitForWindowExposed(dial));
    QTest::keyClick(dial, Qt::Key_Escape);
    QVERIFY(!dial->isVisible());
    QVERIFY(!m_window->isVisible());
}

int main(int argc, char* argv[])
{
    return clienttest::run<TestMainWindow>(argc, argv);
}

void TestMainWindow::downloadNamesStayInTheFolderAndNeverOverwrite_data()
{
    QTest::addColumn<QString>("suggested");
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("saved");
    QTest::newRow("free name") << "call.wav" << QStringList() << "call.wav";
    QTest::newRow("taken twice") << "call.wav" << QStringList{"call.wav", "call (1).wav"} << "call (2).wav";
    QTest::newRow("no suffix") << "report" << QStringList{"report"} << "report (1)";
    QTest::newRow("two suffixes") << "log.tar.gz" << QStringList{"log.tar.gz"} << "log.tar (1).gz";
    QTest::newRow("taken by a download in progress") << "busy.wav" << QStringList() << "busy (1).wav";
    QTest::newRow("path parts") << "../../etc/passwd" << QStringList() << "passwd";
    QTest::newRow("Windows path parts") << "..\\..\\boot.ini" << QStringList() << "boot.ini";
    QTest::newRow("nothing left") << "../" << QStringList() << "download";
    QTest::newRow("dots only") << ".." << QStringList() << "download";
}

void TestMainWindow::downloadNamesStayInTheFolderAndNeverOverwrite()
{
    QFETCH(QString, suggested);
    QFETCH(QStringList, existing);
    QFETCH(QString, saved);
    QTemporaryDir dir;
    for (const QString& name : existing) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QSet<QString> inProgress{dir.filePath(QStringLiteral("busy.wav"))};
    QCOMPARE(DownloadSaver::uniqueFileName(dir.path(), DownloadSaver::safeFileName(suggested), inProgress), saved);
}

#include "tst_mainwindow.moc"
