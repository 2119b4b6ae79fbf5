#include "activationhost.h"
#include "deployment.h"
#include "globals.h"
#include "logging.h"
#include "mainwindow.h"

#include "httpconnectionhandlerpool.h"
#include "httplistener.h"
#include "httpsessionstore.h"
#include "requestmapper.h"
#include "settings.h"
#include "staticfilecontroller.h"
#include "templatecache.h"
#include "terminationwatcher.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QtDebug>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// The configuration file's canonical path. Does not return when none exists.
QString findConfigurationFile()
{
    const QString binDir = QCoreApplication::applicationDirPath();
    qCDebug(lcClient) << binDir;
    const QString fileName = QCoreApplication::applicationName() + QStringLiteral(".ini");
    const QStringList searchList = {
        binDir,
        binDir + "/etc",
        binDir + "/../etc",
        binDir + "/../../etc",
        binDir + "/../QTTorvaneAppDesktop-master/etc",
        binDir + "/../../QTTorvaneAppDesktop-master/etc",
        binDir + "/../../../QTTorvaneAppDesktop-master/etc",
        binDir + "/../../../../QTTorvaneAppDesktop-master/etc",
        binDir + "/../../../../../QTTorvaneAppDesktop-master/etc",
        QDir::rootPath() + "etc/opt",
        QDir::rootPath() + "etc",
        // Where the installed package keeps it.
        QDir::rootPath() + "etc/torvaneapp",
    };
    for (const QString& dir : searchList) {
        QFile file(dir + "/" + fileName);
        if (file.exists()) {
            const QString path = QDir(file.fileName()).canonicalPath();
            qCDebug(lcClient, "Using config file %s", qPrintable(path));
            return path;
        }
    }
    for (const QString& dir : searchList)
        qCWarning(lcClient, "%s/%s not found", qPrintable(dir), qPrintable(fileName));
    qFatal("Cannot find config file %s", qPrintable(fileName));
    return QString();
}

#ifdef Q_OS_UNIX
namespace {
// The browser engine's sandbox cannot run as root, and is never given up for
// anyone else.
void chooseBrowserSandbox()
{
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        return;
    }
    if (qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX")) {
        qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
        qCWarning(lcClient, "QTWEBENGINE_DISABLE_SANDBOX is ignored: the browser sandbox stays on for this user");
    }
    const QByteArrayList words = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS").split(' ');
    if (words.contains("--no-sandbox")) {
        QByteArrayList kept;
        for (const QByteArray& word : words)
            if (word != "--no-sandbox")
                kept.append(word);
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", kept.join(' '));
        qCWarning(lcClient, "--no-sandbox is ignored: the browser sandbox stays on for this user");
    }
}
} // namespace
#endif

int main(int argc, char* argv[])
{
    // Log lines are the message alone, as before the layers had categories
    // (QT_MESSAGE_PATTERN still chooses another form).
    qSetMessagePattern(QStringLiteral("%{message}"));
#ifdef Q_OS_UNIX
    chooseBrowserSandbox();
#endif
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    // Ended from outside, the client quits as its tray's "Sair" does.
    TerminationWatcher terminationWatcher;
    QObject::connect(&terminationWatcher, &TerminationWatcher::terminationRequested, &app, [] {
        QApplication::closeAllWindows();
        QCoreApplication::quit();
    });
    app.setWindowIcon(QIcon(QStringLiteral(":icone16.png")));
    QCoreApplication::setApplicationName(QStringLiteral("TorvaneAPP"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Torvane App - Desktop"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.10-2018"));

    const QUrl startUrl(QStringLiteral("https://" TORVANE_WEB_HOST "/api/app/novo/app/index.php?modeOn=true"),
                        QUrl::TolerantMode);

    // Deletes itself when closed.
    MainWindow* window = new MainWindow(startUrl);

    const QString configFileName = findConfigurationFile();

    auto* templateSettings = new QSettings(configFileName, QSettings::IniFormat, &app);
    templateSettings->beginGroup(QStringLiteral("templates"));
    sharedTemplateCache = new quillon::TemplateCache(templateSettings, &app);

    auto* sessionSettings = new QSettings(configFileName, QSettings::IniFormat, &app);
    sessionSettings->beginGroup(QStringLiteral("sessions"));
    sharedSessionStore = new quillon::HttpSessionStore(sessionSettings, &app);

    auto* fileSettings = new QSettings(configFileName, QSettings::IniFormat, &app);
    fileSettings->beginGroup(QStringLiteral("docroot"));
    sharedStaticFileController = new quillon::StaticFileController(fileSettings, &app);

    auto* listenerSettings = new QSettings(configFileName, QSettings::IniFormat, &app);
    listenerSettings->beginGroup(QStringLiteral("listener"));
    auto* requestMapper = new RequestMapper(&app, window);
    auto* listener = new quillon::HttpListener(listenerSettings, requestMapper, &app);
    // Connections are taken only once the event loop runs: the gate is in
    // place before the first request.
    RequestGate gate(listenerSettings, startUrl, ActivationHost(QStringLiteral(TORVANE_ACTIVATION_HOST)));
    gate.setListeningPort(listener->serverPort());
    requestMapper->setGate(gate);
    if (listener->isListening())
        window->setLocalListener(quillon::settingValue(listenerSettings, QStringLiteral("host")).toString(),
                                 listener->serverPort(),
                                 listener->connectionPool()->isSslEnabled());

    // Quitting deletes the closed window with the deferred deletions that
    // follow aboutToQuit, and the application then deletes its children in
    // creation order, the listener last. The listener's handler threads, which
    // hand commands to the window and call the mapper, caches and store, are
    // stopped before all of that.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, [listener] { delete listener; });

    window->show();
    return app.exec();
}
