#include "requestmapper.h"

#include "dumpcontroller.h"
#include "fileuploadcontroller.h"
#include "formcontroller.h"
#include "logging.h"
#include "sessioncontroller.h"
#include "templatecontroller.h"

#include "httprequest.h"

#include <QtDebug>

// The receiver is reached through the mapper's own signal, connected once
// here: Qt drops the connection when the receiver (the window) is deleted,
// so a handler thread never touches a receiver that is gone.
RequestMapper::RequestMapper(QObject* parent, QObject* commandReceiver)
    : HttpRequestHandler(parent)
{
    if (commandReceiver
        && !connect(this, SIGNAL(checkApplicationArguments(QString)), commandReceiver,
                    SLOT(checkApplicationArguments(QString))))
        qCCritical(lcClient, "RequestMapper: the command receiver has no slot checkApplicationArguments(QString)");
    qCDebug(lcClient, "--------->>> SETADO <<<----------");
    qCDebug(lcClient, "RequestMapper: created");
}

RequestMapper::~RequestMapper()
{
    qCDebug(lcClient, "RequestMapper: deleted");
}

void RequestMapper::service(quillon::HttpRequest& request, quillon::HttpResponse& response)
{
    const QByteArray path = request.path();
    qCDebug(lcClient, "RequestMapper: path=%s", path.constData());
    if (!m_gate.admit(request, response))
        return;
    if (path.startsWith("/dump")) {
        emit checkApplicationArguments(DumpController().serviceCommand(request, response));
    } else if (path.startsWith("/template")) {
        TemplateController().service(request, response);
    } else if (path.startsWith("/form")) {
        FormController().service(request, response);
    } else if (path.startsWith("/file")) {
        FileUploadController().service(request, response);
    } else if (path.startsWith("/session")) {
        SessionController().service(request, response);
    } else {
        emit checkApplicationArguments(DumpController().serviceCommand(request, response));
    }
    qCDebug(lcClient, "RequestMapper: finished request");
}
