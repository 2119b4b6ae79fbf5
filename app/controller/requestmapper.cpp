#include "requestmapper.h"

#include "dumpcontroller.h"
#include "fileuploadcontroller.h"
#include "formcontroller.h"
#include "sessioncontroller.h"
#include "templatecontroller.h"

#include "httprequest.h"

#include <QtDebug>

RequestMapper::RequestMapper(QObject* parent, QObject* commandReceiver)
    : HttpRequestHandler(parent)
    , commandReceiver(commandReceiver)
{
    qDebug("--------->>> SETADO <<<----------");
    qDebug("RequestMapper: created");
}

RequestMapper::~RequestMapper()
{
    qDebug("RequestMapper: deleted");
}

void RequestMapper::service(quillon::HttpRequest& request, quillon::HttpResponse& response)
{
    const QByteArray path = request.path();
    qDebug("RequestMapper: path=%s", path.constData());
    if (path.startsWith("/dump")) {
        DumpController().serviceCommand(request, response, commandReceiver);
    } else if (path.startsWith("/template")) {
        TemplateController().service(request, response);
    } else if (path.startsWith("/form")) {
        FormController().service(request, response);
    } else if (path.startsWith("/file")) {
        FileUploadController().service(request, response);
    } else if (path.startsWith("/session")) {
        SessionController().service(request, response);
    } else {
        DumpController().serviceCommand(request, response, commandReceiver);
    }
    qDebug("RequestMapper: finished request");
}
