#include "activationhost.h"
#include "browsersandbox.h"
#include "deployment.h"
#include "globals.h"
#include "listenerfile.h"
#include "logfile.h"
#include "logging.h"
#include "mainwindow.h"
#include "platformchoice.h"

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
#include <QFileInfo>
#include <QHostAddress>
#include <QMessageBox>
#include <QProcessEnvironment>
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

namespace {
// The browser engine reads switches from the program's arguments and from
// QTWEBENGINE_CHROMIUM_FLAGS: only the allowed ones are passed on. Returns
// the arguments to start the application with.
QList<QByteArray> chooseBrowserSwitches(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QStringList droppedArguments;
    const QStringList kept = browsersandbox::plainArguments(arguments, &droppedArguments);
    if (!droppedArguments.isEmpty())
        qCWarning(lcClient, "Arguments ignored (the browser engine would take them as switches): %s",
                  qPrintable(droppedArguments.join(QLatin1Char(' '))));

    QByteArrayList droppedFlags;
    const QByteArray flags = browsersandbox::allowedChromiumFlags(qgetenv("QTWEBENGINE_CHROMIUM_FLAGS"), &droppedFlags);
    if (!droppedFlags.isEmpty())
        qCWarning(lcClient, "QTWEBENGINE_CHROMIUM_FLAGS: ignored %s", droppedFlags.join(' ').constData());
    if (flags.isEmpty())
        qunsetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    else
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    // Opens a port through which anyone on the machine could drive the page.
    if (qEnvironmentVariableIsSet("QTWEBENGINE_REMOTE_DEBUGGING")) {
        qunsetenv("QTWEBENGINE_REMOTE_DEBUGGING");
        qCWarning(lcClient, "QTWEBENGINE_REMOTE_DEBUGGING is ignored");
    }

#ifdef Q_OS_UNIX
    if (geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        qCWarning(lcClient, "Running as root: the browser sandbox cannot run there and is off");
    } else if (qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX")) {
        qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
        qCWarning(lcClient, "QTWEBENGINE_DISABLE_SANDBOX is ignored: the browser sandbox stays on for this user");
    }
#endif
    QList<QByteArray> result;
    for (const QString& argument : kept)
        result.append(argument.toLocal8Bit());
    return result;
}

// A user's client cannot run its pages without the sandbox: it says why
// instead of letting the engine abort.
bool sandboxCanStart()
{
#ifdef Q_OS_UNIX
    if (geteuid() == 0)
        return true;
    const QString reason = browsersandbox::unavailableReason();
    if (reason.isEmpty())
        return true;
    qCCritical(lcClient, "The browser sandbox cannot start on this system: %s", qPrintable(reason));
    QMessageBox::critical(nullptr, QStringLiteral("Torvane APP"),
                          QStringLiteral("O Torvane APP não pode abrir a aplicação com a proteção do navegador "
                                         "(sandbox) neste sistema: %1. Peça ao administrador que habilite os "
                                         "namespaces de usuário.")
                              .arg(reason));
    return false;
#else
    return true;
#endif
}
} // namespace

int main(int argc, char* argv[])
{
    // Log lines are the message alone, as before the layers had categories
    // (QT_MESSAGE_PATTERN still chooses another form).
    qSetMessagePattern(QStringLiteral("%{message}"));
    // Every line also goes to the account's own log file, for support; a
    // program started from a menu has nobody reading its standard error.
    LogFile logFile(LogFile::defaultFolder());
    QString logError;
    if (logFile.open(&logError)) {
        LogFile::install(&logFile);
        qCInfo(lcClient, "Log file: %s", qPrintable(QDir::toNativeSeparators(logFile.filePath())));
    }
    QList<QByteArray> arguments = chooseBrowserSwitches(argc, argv);
    QVector<char*> kept;
    QStringList keptArguments;
    for (QByteArray& argument : arguments) {
        kept.append(argument.data());
        keptArguments.append(QString::fromLocal8Bit(argument));
    }
    kept.append(nullptr);
    int keptCount = arguments.size();
    // Chosen before the application object exists, which starts the platform.
    const PlatformChoice platform = PlatformChoice::choose(keptArguments, QProcessEnvironment::systemEnvironment());
    if (!platform.platformList().isEmpty())
        qputenv("QT_QPA_PLATFORM", platform.platformList());
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(keptCount, kept.data());
    qCInfo(lcClient, "%s", qPrintable(platform.describe(QGuiApplication::platformName())));
    if (!sandboxCanStart())
        return 1;
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

    // What pages may do; read before the event loop runs the first navigation.
    QSettings shellSettings(configFileName, QSettings::IniFormat);
    shellSettings.beginGroup(QStringLiteral("shell"));
    window->shellPolicy()->configure(&shellSettings);

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
    // On a machine several accounts share, an account may give its client a
    // listener of its own ([listener] port=, say) in its own file.
    const int configuredPort = listenerSettings->value(QStringLiteral("port")).toInt();
    const QString ownSettingsFile = listenerfile::accountSettingsFile();
    if (QFileInfo::exists(ownSettingsFile)) {
        auto* ownListenerSettings = new QSettings(ownSettingsFile, QSettings::IniFormat, &app);
        ownListenerSettings->beginGroup(QStringLiteral("listener"));
        quillon::setOverrides(listenerSettings, ownListenerSettings);
        qCDebug(lcClient, "Listener settings of this account: %s", qPrintable(ownSettingsFile));
    }
    auto* requestMapper = new RequestMapper(&app, window);
    auto* listener = new quillon::HttpListener(listenerSettings, requestMapper, &app);
    // Connections are taken only once the event loop runs: the gate is in
    // place before the first request.
    RequestGate gate(listenerSettings, window->shellPolicy()->applicationOrigins(),
                     ActivationHost(QStringLiteral(TORVANE_ACTIVATION_HOST)));
    gate.setListeningPort(listener->serverPort());
    requestMapper->setGate(gate);
    if (listener->isListening()) {
        const QString host = quillon::settingValue(listenerSettings, QStringLiteral("host")).toString();
        const bool tls = listener->connectionPool()->isSslEnabled();
        window->setLocalListener(host, listener->serverPort(), tls, configuredPort);
        QUrl url;
        url.setScheme(tls ? QStringLiteral("https") : QStringLiteral("http"));
        const QHostAddress address(host);
        url.setHost(host.isEmpty() || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6
                        ? QStringLiteral("127.0.0.1")
                        : host);
        url.setPort(listener->serverPort());
        url.setPath(QStringLiteral("/"));
        listenerfile::writeListening(url);
    } else {
        const int port = quillon::settingValue(listenerSettings, QStringLiteral("port")).toInt();
        qCWarning(lcClient, "The client's server cannot listen on port %i (%s): this account's programs cannot "
                            "command it. Another account's client may have the port; give this account a port of "
                            "its own with [listener] port=... in %s",
                  port, qPrintable(listener->errorString()), qPrintable(ownSettingsFile));
        listenerfile::writeFailure(port, listener->errorString());
        window->showListenerUnavailable(port, ownSettingsFile);
    }
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, [] { listenerfile::remove(); });

    // Quitting deletes the closed window with the deferred deletions that
    // follow aboutToQuit, and the application then deletes its children in
    // creation order, the listener last. The listener's handler threads, which
    // hand commands to the window and call the mapper, caches and store, are
    // stopped before all of that.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, [listener] { delete listener; });

    window->show();
    return app.exec();
}
