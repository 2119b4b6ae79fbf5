// A server on the quillon library that answers every request with a short
// command-style JSON body, behind the client's request gate. Used by the
// benchmark script.
#include "activationhost.h"
#include "httplistener.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "requestgate.h"
#include "staticfilecontroller.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

namespace {

// Paths under /files/ go to the static file controller (when a document root
// was given), /block?ms=N holds its I/O thread for N ms (a handler that
// blocks), everything else gets the JSON answer.
class JsonHandler : public quillon::HttpRequestHandler
{
public:
    explicit JsonHandler(quillon::StaticFileController* files) : m_files(files) {}
    void setGate(const RequestGate& gate) { m_gate = gate; }
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override
    {
        if (!m_gate.admit(request, response))
            return;
        if (m_files && request.path().startsWith("/files/")) {
            m_files->service(request, response);
            return;
        }
        if (request.path() == "/block")
            QThread::msleep(qBound(0, request.parameter("ms").toInt(), 5000));
        response.setHeader("Content-Type", "application/json; charset=UTF-8");
        response.write("{\"action\":\"open\",\"status\":true}", true);
    }

private:
    quillon::StaticFileController* m_files;
    RequestGate m_gate;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString configFile;
    int port = 0;
    bool verbose = false;
    QString docroot;
    QString certFile;
    QString keyFile;
    for (int i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--config") && i + 1 < args.size())
            configFile = args.at(++i);
        else if (args.at(i) == QLatin1String("--port") && i + 1 < args.size())
            port = args.at(++i).toInt();
        else if (args.at(i) == QLatin1String("--docroot") && i + 1 < args.size())
            docroot = args.at(++i);
        else if (args.at(i) == QLatin1String("--cert") && i + 1 < args.size())
            certFile = args.at(++i);
        else if (args.at(i) == QLatin1String("--key") && i + 1 < args.size())
            keyFile = args.at(++i);
        else if (args.at(i) == QLatin1String("--verbose"))
            verbose = true;
        else {
            fprintf(stderr, "usage: benchserver [--port N [--cert PEM --key PEM] | --config INI-FILE] [--docroot DIR] "
                            "[--verbose]\n");
            return 2;
        }
    }
    // Debug lines are filtered before they are formatted.
    if (!verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ntorvane.*.debug=false"));

    // Without a configuration file: loopback, the given port, room for many
    // concurrent connections.
    QTemporaryDir dir;
    if (configFile.isEmpty()) {
        configFile = dir.filePath(QStringLiteral("bench.ini"));
        QSettings writer(configFile, QSettings::IniFormat);
        writer.beginGroup(QStringLiteral("listener"));
        writer.setValue(QStringLiteral("host"), QStringLiteral("127.0.0.1"));
        writer.setValue(QStringLiteral("port"), port);
        writer.setValue(QStringLiteral("maxThreads"), 200);
        if (!certFile.isEmpty() && !keyFile.isEmpty()) {
            writer.setValue(QStringLiteral("sslCertFile"), QFileInfo(certFile).absoluteFilePath());
            writer.setValue(QStringLiteral("sslKeyFile"), QFileInfo(keyFile).absoluteFilePath());
        }
    }
    QSettings settings(configFile, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("listener"));

    QSettings docrootSettings(dir.filePath(QStringLiteral("docroot.ini")), QSettings::IniFormat);
    docrootSettings.beginGroup(QStringLiteral("docroot"));
    docrootSettings.setValue(QStringLiteral("path"), docroot);
    std::unique_ptr<quillon::StaticFileController> files;
    if (!docroot.isEmpty())
        files = std::make_unique<quillon::StaticFileController>(&docrootSettings);

    JsonHandler handler(files.get());
    quillon::HttpListener listener(&settings, &handler);
    if (!listener.isListening())
        return 1;
    RequestGate gate(&settings, {}, ActivationHost(QStringLiteral("localhost:8085")));
    gate.setListeningPort(listener.serverPort());
    handler.setGate(gate);
    printf("listening on %s:%d\n", qPrintable(listener.serverAddress().toString()), int(listener.serverPort()));
    fflush(stdout);
    return app.exec();
}
