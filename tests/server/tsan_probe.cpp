// Built only for the ThreadSanitizer stage, which must report this program:
// two handler threads write one plain variable while serving a request each.
// If the stage stays quiet here, its suppressions hide our own code.
#include "testserver.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpSocket>

namespace {
int unguardedCounter = 0;
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ScriptedHandler handler([](quillon::HttpRequest&, quillon::HttpResponse& response) {
        ++unguardedCounter;
        response.write("raced", true);
    });
    ServerThread server(&handler, {});
    if (!server.startAndWait())
        return 2;
    // Both requests are sent before either answer is read, so nothing orders
    // the two handlers' writes.
    QTcpSocket first;
    QTcpSocket second;
    for (QTcpSocket* socket : {&first, &second}) {
        socket->connectToHost(QHostAddress::LocalHost, server.port());
        if (!socket->waitForConnected(5000))
            return 2;
    }
    for (QTcpSocket* socket : {&first, &second}) {
        socket->write("GET / HTTP/1.1\r\n\r\n");
        socket->waitForBytesWritten(5000);
    }
    for (QTcpSocket* socket : {&first, &second}) {
        while (!socket->readAll().contains("raced"))
            if (!socket->waitForReadyRead(5000))
                return 2;
    }
    return 0;
}
