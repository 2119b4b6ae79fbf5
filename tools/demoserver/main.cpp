// The client's local server without its window: the request mapper with its
// demonstration pages and command path, on plain HTTP. Commands are printed,
// one per line. Used by the browser tests and the benchmarks.
#include "activationhost.h"
#include "globals.h"
#include "httpconnectionhandlerpool.h"
#include "httplistener.h"
#include "httpsessionstore.h"
#include "requestmapper.h"
#include "serverstartup.h"
#include "templatecache.h"
#include "terminationwatcher.h"

#include <QCoreApplication>

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
    ServerStartup startup(app.arguments());
    const QString templates = startup.path(QStringLiteral("templates"));
    if (templates.isEmpty()) {
        fprintf(stderr, "usage: torvane-demoserver --templates DIR [--port N] [--allow-origin ORIGIN]...\n");
        return 2;
    }
    startup.set(QStringLiteral("listener/host"), QStringLiteral("127.0.0.1"));
    startup.set(QStringLiteral("listener/port"), startup.option(QStringLiteral("port")).toInt());
    startup.set(QStringLiteral("listener/maxThreads"), 100);
    startup.set(QStringLiteral("listener/allowedOrigins"), startup.options(QStringLiteral("allow-origin")));
    startup.set(QStringLiteral("templates/path"), templates);
    startup.set(QStringLiteral("templates/encoding"), QStringLiteral("UTF-8"));
    sharedTemplateCache = new quillon::TemplateCache(startup.group(QStringLiteral("templates")), &app);
    sharedSessionStore = new quillon::HttpSessionStore(startup.group(QStringLiteral("sessions")), &app);

    PrintingReceiver receiver;
    RequestMapper mapper(&app, &receiver);
    QSettings* listenerSettings = startup.group(QStringLiteral("listener"));
    quillon::HttpListener listener(listenerSettings, &mapper);
    if (!listener.isListening())
        return 1;
    RequestGate gate(listenerSettings, {}, ActivationHost(QString()));
    gate.setListeningPort(listener.serverPort());
    mapper.setGate(gate);
    printf("demo server listening on http://127.0.0.1:%d/\n", int(listener.serverPort()));
    fflush(stdout);
    return app.exec();
}

#include "main.moc"
