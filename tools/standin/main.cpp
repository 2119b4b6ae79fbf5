// A stand-in for the hosted telephony application, served over HTTPS on
// loopback with the project's own server library, so that the client can
// do its job on a machine without internet access.
#include "httpconnectionhandlerpool.h"
#include "httplistener.h"
#include "httprequest.h"
#include "httprequesthandler.h"
#include "httpresponse.h"
#include "serverstartup.h"
#include "staticfilecontroller.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QThread>

namespace {

const QByteArray kStartPath = "/api/app/novo/app/index.php";

QByteArray attachmentBody()
{
    QByteArray body;
    for (int i = 0; i < 65536; ++i)
        body.append(char(i * 7 % 251));
    return body;
}

class StandInHandler : public quillon::HttpRequestHandler
{
public:
    StandInHandler(const QString& root, quillon::StaticFileController* files)
        : m_root(root)
        , m_files(files)
    {
    }

    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override
    {
        // Commands the page received are reported with POST /record and
        // listed with GET /recorded.
        if (request.path() != "/record") {
            printf("%s %s\n", request.method().constData(), request.path().constData());
            fflush(stdout);
        }
        if (request.path() == "/record") {
            QMutexLocker locker(&m_mutex);
            // The page reports a JSON array of what it received.
            const QByteArray batch = request.body().trimmed();
            if (batch.size() > 2 && batch.startsWith('[') && batch.endsWith(']'))
                m_recorded.append(batch.mid(1, batch.size() - 2));
            response.write("{}", true);
            return;
        }
        if (request.path() == "/recorded") {
            QMutexLocker locker(&m_mutex);
            response.setHeader("Content-Type", "application/json");
            response.setHeader("Cache-Control", "no-store");
            response.write("[" + m_recorded.join(',') + "]", true);
            return;
        }
        // A file the page downloads (a call recording): 64 KiB of a fixed
        // pattern, under the name asked for.
        if (request.path() == "/attachment") {
            QByteArray name = request.parameter("name");
            name.replace('"', "");
            response.setHeader("Content-Type", "application/octet-stream");
            response.setHeader("Content-Disposition", "attachment; filename=\"" + name + "\"");
            response.write(attachmentBody(), true);
            return;
        }
        // A navigation that ends in no new document, after a second.
        if (request.path() == "/slow-no-content") {
            QThread::sleep(1);
            response.setStatus(204, "No Content");
            response.write(QByteArray(), true);
            return;
        }
        if (request.path() == kStartPath) {
            QFile page(m_root + QStringLiteral("/index.html"));
            page.open(QIODevice::ReadOnly);
            response.setHeader("Content-Type", "text/html; charset=UTF-8");
            response.setHeader("Cache-Control", "no-store");
            response.write(page.readAll(), true);
            return;
        }
        m_files->service(request, response);
    }

private:
    QString m_root;
    quillon::StaticFileController* m_files;
    QMutex m_mutex;
    QList<QByteArray> m_recorded; // the commands the page reported
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ServerStartup startup(app.arguments());
    const QString root =
        startup.path(QStringLiteral("root"), QCoreApplication::applicationDirPath() + QStringLiteral("/standin-site"));
    const QString cert = startup.path(QStringLiteral("cert"));
    const QString key = startup.path(QStringLiteral("key"));
    const int port = startup.option(QStringLiteral("port"), QStringLiteral("8443")).toInt();
    if (cert.isEmpty() || key.isEmpty()) {
        fprintf(stderr, "usage: torvane-standin --cert FILE --key FILE [--port N] [--root DIR]\n");
        return 2;
    }
    startup.set(QStringLiteral("listener/host"), QStringLiteral("127.0.0.1"));
    startup.set(QStringLiteral("listener/port"), port);
    startup.set(QStringLiteral("listener/maxRequestSize"), 64 * 1024 * 1024);
    // The hosted application serves every account of the machine.
    startup.set(QStringLiteral("listener/allowedAccounts"), QStringLiteral("*"));
    startup.set(QStringLiteral("listener/sslCertFile"), cert);
    startup.set(QStringLiteral("listener/sslKeyFile"), key);
    startup.set(QStringLiteral("docroot/path"), root);
    startup.set(QStringLiteral("docroot/maxAge"), 0);
    quillon::StaticFileController files(startup.group(QStringLiteral("docroot")));
    StandInHandler handler(root, &files);

    quillon::HttpListener listener(startup.group(QStringLiteral("listener")), &handler);
    if (!listener.isListening() || !listener.connectionPool()->isSslEnabled())
        return 1;
    printf("stand-in listening on https://localhost:%d%s\n", port, kStartPath.constData());
    fflush(stdout);
    return app.exec();
}
