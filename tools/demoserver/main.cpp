// The client's local server without its window: the request mapper with its
// demonstration pages and command path, on plain HTTP. Commands are printed,
// one per line. Used by the browser tests and the benchmarks.
#include "activationhost.h"
#include "globals.h"
#include "httpconnectionhandlerpool.h"
#include "httplistener.h"
#include "httpsessionstore.h"
#include "requestmapper.h"
#include "templatecache.h"
#include "terminationwatcher.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>

namespace {

class PrintingReceiver : public QObject
{
    Q_OBJECT

public slots:
    void checkApplicationArguments(QString arg)
    {
        printf("command %s\n", arg.toUtf8().constData());
        fflush(stdout);
    }
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    TerminationWatcher terminationWatcher;
    QObject::connect(&terminationWatcher, &TerminationWatcher::terminationRequested, &app, &QCoreApplication::quit);
    int port = 0;
    QString templates;
    QStringList allowedOrigins;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--port"))
            port = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--templates"))
            templates = QFileInfo(args.at(i + 1)).absoluteFilePath();
        else if (args.at(i) == QLatin1String("--allow-origin"))
            allowedOrigins.append(args.at(i + 1));
    }
    if (templates.isEmpty()) {
        fprintf(stderr, "usage: torvane-demoserver --templates DIR [--port N] [--allow-origin ORIGIN]...\n");
        return 2;
    }
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ntorvane.*.debug=false"));

    QTemporaryDir dir;
    const QString iniFile = dir.filePath(QStringLiteral("demo.ini"));
    {
        QSettings writer(iniFile, QSettings::IniFormat);
        writer.setValue(QStringLiteral("listener/host"), QStringLiteral("127.0.0.1"));
        writer.setValue(QStringLiteral("listener/port"), port);
        writer.setValue(QStringLiteral("listener/maxThreads"), 100);
        writer.setValue(QStringLiteral("listener/allowedOrigins"), allowedOrigins);
        writer.setValue(QStringLiteral("templates/path"), templates);
        writer.setValue(QStringLiteral("templates/encoding"), QStringLiteral("UTF-8"));
    }
    QSettings templateSettings(iniFile, QSettings::IniFormat);
    templateSettings.beginGroup(QStringLiteral("templates"));
    sharedTemplateCache = new quillon::TemplateCache(&templateSettings, &app);
    QSettings sessionSettings(iniFile, QSettings::IniFormat);
    sessionSettings.beginGroup(QStringLiteral("sessions"));
    sharedSessionStore = new quillon::HttpSessionStore(&sessionSettings, &app);

    PrintingReceiver receiver;
    RequestMapper mapper(&app, &receiver);
    QSettings listenerSettings(iniFile, QSettings::IniFormat);
    listenerSettings.beginGroup(QStringLiteral("listener"));
    quillon::HttpListener listener(&listenerSettings, &mapper);
    if (!listener.isListening())
        return 1;
    RequestGate gate(&listenerSettings, {}, ActivationHost(QString()));
    gate.setListeningPort(listener.serverPort());
    mapper.setGate(gate);
    printf("demo server listening on http://127.0.0.1:%d/\n", int(listener.serverPort()));
    fflush(stdout);
    return app.exec();
}

#include "main.moc"
