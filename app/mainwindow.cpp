#include "mainwindow.h"

#include "deployment.h"
#include "downloadsaver.h"
#include "floatingwindowflags.h"
#include "listenerfile.h"
#include "logging.h"
#include "logotorvane.h"
#include "notifier.h"
#include "pagerecovery.h"
#include "runningcopy.h"
#include "screenplacement.h"
#include "trayhost.h"
#include "urlscheme.h"
#include "webview.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QThread>
#include <QTimer>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMetaEnum>
#include <QScreen>
#include <QWebChannel>
#include <QWindow>
#include <QtDebug>

MainWindow::MainWindow(const QUrl& url)
    : QMainWindow()
    , m_activationHost(QStringLiteral(TORVANE_ACTIVATION_HOST))
    , m_shellPolicy(url)
    , external(nullptr)
    , channel(new QWebChannel(this))
{
    // A second copy notifies the running one and ends here.
    if (isRunning(QStringLiteral("torvaneapp.exe")))
        urlExists(m_activationHost.url());
    registerProtocol();

    createTrayIcon();

    logo = new logoTorvane;
    logo->setMainWindow(this);

    windowWidth = 271;
    windowHeight = 420;
    setAttribute(Qt::WA_DeleteOnClose, true);
    setAttribute(Qt::WA_TranslucentBackground, true);
    setWindowFlags(kFloatingFlags);
    progressPercent = 0;

    loadScripts();

    webView = new WebView(&m_shellPolicy, this);
    new PageRecovery(webView, url, &m_shellPolicy, this);
    auto* downloads = new DownloadSaver(webView->page()->profile(), &m_shellPolicy, this);
    connect(downloads, &DownloadSaver::finished, this, [this](const QString& text, bool failed) {
        m_notifier->show(QStringLiteral("Torvane APP"), text,
                         failed ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
    });
    webView->load(url);
    connect(webView, &QWebEngineView::loadFinished, this, &MainWindow::adjustLocation);
    connect(webView, &QWebEngineView::titleChanged, this, &MainWindow::adjustTitle);
    connect(webView, &QWebEngineView::loadProgress, this, &MainWindow::setProgress);
    connect(webView, &QWebEngineView::loadFinished, this, &MainWindow::finishLoading);
    connect(webView->page(), &QWebEnginePage::featurePermissionRequested, this,
            &MainWindow::featurePermissionRequested);

    addressEdit = new QLineEdit(this);
    addressEdit->setSizePolicy(QSizePolicy::Expanding, addressEdit->sizePolicy().verticalPolicy());
    connect(addressEdit, &QLineEdit::returnPressed, this, &MainWindow::changeLocation);
    addressEdit->setVisible(false);

    setLocationApp();
    setCentralWidget(webView);
    trayHostChanged(m_trayHost->isPresent());
    watchScreens();
}

MainWindow::~MainWindow() = default;

void MainWindow::createTrayIcon()
{
    m_quitAction = new QAction(QStringLiteral("Sair"), this);
    connect(m_quitAction, &QAction::triggered, this, &MainWindow::quit);
    m_hideAction = new QAction(QStringLiteral("Esconder Torvane APP"), this);
    connect(m_hideAction, &QAction::triggered, this, &MainWindow::hideApp);
    m_openAction = new QAction(QStringLiteral("Abrir Torvane APP"), this);
    connect(m_openAction, &QAction::triggered, this, &MainWindow::showApp);
    // Registers the bridge; deliberately in no menu.
    m_testAction = new QAction(QStringLiteral("Teste"), this);
    connect(m_testAction, &QAction::triggered, this, &MainWindow::javascript);

    // No parent: the menu lives until the process ends.
    m_trayMenu = new QMenu(QStringLiteral("Menu Tray"));
    m_trayMenu->addAction(m_quitAction);
    m_trayMenu->addAction(m_hideAction);
    m_trayMenu->addAction(m_openAction);

    m_trayHost = new TrayHost(this);
    m_notifier = new Notifier(m_trayHost, this);
    connect(m_trayHost, &TrayHost::presenceChanged, this, &MainWindow::trayHostChanged);
}

void MainWindow::trayHostChanged(bool present)
{
    if (present && !m_trayIcon) {
        m_trayIcon = new QSystemTrayIcon(this);
        m_trayIcon->setToolTip(QStringLiteral("Torvane APP v.1.0.10-2018"));
        m_trayIcon->setIcon(QIcon(QStringLiteral(":/icone16.png")));
        connect(m_trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::iconActivated);
        m_trayIcon->setContextMenu(m_trayMenu);
        m_trayIcon->setVisible(true);
        m_notifier->setTrayIcon(m_trayIcon);
    }
    QMenu* fallback = present ? nullptr : m_trayMenu;
    if (logo)
        logo->setContextMenu(fallback);
    if (webView)
        webView->setShellMenu(fallback);
}

namespace {
QString readScript(const QString& resource, const char* missingMessage)
{
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        qCDebug(lcClient, "%s", missingMessage);
    const QString script = QString::fromUtf8(file.readAll());
    file.close();
    return script;
}
} // namespace

void MainWindow::loadScripts()
{
    jQueryScript = readScript(QStringLiteral(":/jquery.min.js"), "Biblioteca jQuery nao encontrada");
    jQueryScript.append(QStringLiteral("\nvar qt = { 'jQuery': jQuery.noConflict(true) };"));
    webChannelScript = readScript(QStringLiteral(":/qtwebchannel/qwebchannel.js"), "Biblioteca WebChannel nao encontrada");
    webChannelScript.append(QStringLiteral(
        "var webChannel = new QWebChannel(qt.webChannelTransport, function(channel){ window.external = channel.objects.external; });"));
}

// Every 500 ms the page's close elements get one click handler, which asks
// the activation host to close the window, through the page's own $.
QString MainWindow::closeButtonHookScript() const
{
    const QString closeUrl = m_activationHost.url(QStringLiteral("action=close")).toString(QUrl::FullyEncoded);
    return QStringLiteral("setInterval(function(){ qt.jQuery('.close').unbind(); qt.jQuery('.close').click(function(){ $.getJSON('")
        + closeUrl + QStringLiteral("');}); }, 500); undefined");
}

void MainWindow::initJs()
{
    webView->page()->runJavaScript(closeButtonHookScript());
}

void MainWindow::javascript()
{
    external.setMainWindow(this);
    external.setDialButton(logo);
    channel->deregisterObject(&external);
    channel->registerObject(QStringLiteral("external"), &external);
    webView->page()->setWebChannel(channel);
    webView->page()->runJavaScript(webChannelScript);
    qCDebug(lcClient, "Ok---<><><<<><");
}

namespace {
// A host that accepts the connection and never answers must not keep an
// invisible second copy alive.
constexpr int kActivationTimeout = 30000;
} // namespace

bool MainWindow::isRunning(const QString& process)
{
    return anotherCopyRuns(process);
}

void MainWindow::setLocalListener(const QString& host, int port, bool tls, int configuredPort)
{
    m_activationHost.setLocalListener(host, port, tls, configuredPort);
}

void MainWindow::showListenerUnavailable(int port, const QString& ownSettingsFile)
{
    m_notifier->show(QStringLiteral("Torvane APP"),
                            QStringLiteral("A porta %1 já está em uso (por outra conta ou outro programa): os programas "
                                           "desta conta não podem comandar o Torvane APP. Para uma porta própria, "
                                           "escreva [listener] port=... em %2 e abra o Torvane APP de novo.")
                                .arg(port)
                                .arg(QDir::toNativeSeparators(ownSettingsFile)),
                            QSystemTrayIcon::Warning);
}

// The activation request, then the end of this copy. A loopback activation
// host may be the running copy's plain listener or a TLS one: the request
// goes to each scheme in turn until one is answered in HTTP, all within the
// one time limit.
void MainWindow::urlExists(QUrl url_string)
{
    QList<QUrl> urls = {url_string};
    if (url_string == m_activationHost.url()) {
        urls = m_activationHost.secondStartUrls();
        // An account with a listener of its own: its running copy says where
        // it listens (another account's listener turns it away anyway).
        const QUrl own = listenerfile::runningListener();
        if (m_activationHost.isLoopback() && own.isValid() && QFileInfo::exists(listenerfile::accountSettingsFile()))
            urls.prepend(own);
    }
    QEventLoop loop;
    QNetworkAccessManager manager;
    QElapsedTimer elapsed;
    elapsed.start();
    for (const QUrl& url : qAsConst(urls)) {
        const qint64 remaining = kActivationTimeout - elapsed.elapsed();
        if (remaining <= 0)
            break;
        QNetworkRequest request(url);
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setProtocol(QSsl::TlsV1_2);
        request.setSslConfiguration(configuration);
        QNetworkReply* reply = manager.get(request);
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer timeout;
        timeout.setSingleShot(true);
        connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        timeout.start(int(remaining));
        loop.exec();
        if (!reply->isFinished())
            reply->abort();
        reply->readAll();
        const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        qCDebug(lcClient, "Activation request %s: %s", qPrintable(url.toString()),
                answered ? "answered" : qPrintable(reply->errorString()));
        delete reply;
        if (answered)
            break;
    }
    QThread::sleep(3);
    QApplication::closeAllWindows();
    QCoreApplication::quit();
    exit(1);
}

bool MainWindow::registerProtocol()
{
    registerUrlScheme(QCoreApplication::applicationFilePath());
    return true;
}

void MainWindow::checkApplicationArguments(QString arg)
{
    qCDebug(lcClient) << arg;
    qCDebug(lcClient) << "Oi como vai" << arg;
    webView->page()->runJavaScript(QStringLiteral("\nTorvaneAppWeb.prototype.api.commandJson2(") + arg
                                   + QStringLiteral(");"));
    const QJsonObject command = QJsonDocument::fromJson(arg.toUtf8()).object();
    const QString action = command.value(QStringLiteral("action")).toString();
    const QString comando = command.value(QStringLiteral("comando")).toString();
    if (action == QLatin1String("close")) {
        logo->hide();
        hide();
        logo->show();
    }
    if ((comando.isEmpty() && action != QLatin1String("close")) || action == QLatin1String("open")) {
        logo->hide();
        show();
    }
}

void MainWindow::adjustLocation()
{
    addressEdit->setText(webView->url().toString());
}

void MainWindow::changeLocation()
{
    const QUrl url = QUrl::fromUserInput(addressEdit->text());
    webView->load(url);
    webView->setFocus();
}

void MainWindow::adjustTitle()
{
    if (progressPercent < 1 || progressPercent > 99)
        setWindowTitle(webView->title());
    else
        setWindowTitle(QStringLiteral("%1 (%2%)").arg(webView->title(), QString::number(progressPercent)));
}

void MainWindow::setProgress(int p)
{
    progressPercent = p;
    adjustTitle();
}

void MainWindow::finishLoading(bool)
{
    progressPercent = 100;
    adjustTitle();
    webView->page()->runJavaScript(jQueryScript);
    webView->page()->runJavaScript(closeButtonHookScript());
    qCDebug(lcClient, "Progresso... FINISH");
}

void MainWindow::featurePermissionRequested(const QUrl& securityOrigin, QWebEnginePage::Feature feature)
{
    const QMetaEnum features = QMetaEnum::fromType<QWebEnginePage::Feature>();
    qCDebug(lcClient) << securityOrigin << features.valueToKey(feature);
    // The microphone, for the application's origins; everything else, and
    // anything for another origin (a frame of another site), is refused.
    const bool granted = feature == QWebEnginePage::MediaAudioCapture && m_shellPolicy.isApplication(securityOrigin);
    webView->page()->setFeaturePermission(securityOrigin, feature,
                                          granted ? QWebEnginePage::PermissionGrantedByUser
                                                  : QWebEnginePage::PermissionDeniedByUser);
}

// The screen the window belongs to: its own while that still exists (Qt
// hands a window whose screen went away to the primary one); before it is
// first shown, the primary screen, which need not be the one at 0,0.
QScreen* MainWindow::anchorScreen() const
{
    QScreen* screen = windowHandle() ? windowHandle()->screen() : QGuiApplication::primaryScreen();
    if (!QGuiApplication::screens().contains(screen))
        screen = QGuiApplication::primaryScreen();
    return screen;
}

// The window at the bottom right of its screen's available area; the dial
// button where the user left it while that spot is on a screen, otherwise
// near the window's corner.
void MainWindow::setLocationApp()
{
    QScreen* screen = anchorScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
    move(screenplacement::mainWindowPosition(available, QSize(windowWidth, windowHeight)));
    resize(windowWidth, windowHeight);
    QVector<QRect> areas;
    for (QScreen* each : QGuiApplication::screens())
        areas.append(each->availableGeometry());
    const std::optional<QPoint> spot = logo->userSpot();
    if (spot && screenplacement::dialButtonIsOnAScreen(*spot, areas))
        logo->move(*spot);
    else
        logo->place(screenplacement::dialButtonDefaultPosition(available));
}

void MainWindow::watchScreens()
{
    m_screensChanged = new QTimer(this);
    m_screensChanged->setSingleShot(true);
    m_screensChanged->setInterval(100);
    connect(m_screensChanged, &QTimer::timeout, this, &MainWindow::screensChanged);
    const auto restart = qOverload<>(&QTimer::start);
    const auto watch = [this, restart](QScreen* screen) {
        connect(screen, &QScreen::availableGeometryChanged, m_screensChanged, restart);
        connect(screen, &QScreen::geometryChanged, m_screensChanged, restart);
    };
    for (QScreen* screen : QGuiApplication::screens())
        watch(screen);
    connect(qApp, &QGuiApplication::screenAdded, this, [this, watch](QScreen* screen) {
        watch(screen);
        m_screensChanged->start();
    });
    connect(qApp, &QGuiApplication::screenRemoved, m_screensChanged, restart);
    connect(qApp, &QGuiApplication::primaryScreenChanged, m_screensChanged, restart);
}

void MainWindow::screensChanged()
{
    setLocationApp();
    const QScreen* screen = anchorScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect();
    qCInfo(lcClient, "Screens changed: the window stands at %d,%d, at the bottom right of %s (%d,%d %dx%d available)",
           x(), y(), screen ? qPrintable(screen->name()) : "no screen", available.x(), available.y(),
           available.width(), available.height());
}

void MainWindow::quit()
{
    QApplication::closeAllWindows();
    QCoreApplication::quit();
}

void MainWindow::hideApp()
{
    logo->hide();
    hide();
}

void MainWindow::showApp()
{
    logo->hide();
    show();
}

void MainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) {
        logo->hide();
        show();
    }
}
