#include "httprequesthandler.h"

#include "httprequest.h"
#include "httpresponse.h"
#include "logging.h"

#include <QtDebug>

namespace quillon {

HttpRequestHandler::HttpRequestHandler(QObject* parent)
    : QObject(parent)
{
}

HttpRequestHandler::~HttpRequestHandler() = default;

void HttpRequestHandler::service(HttpRequest& request, HttpResponse& response)
{
    qCCritical(lcServer, "HttpRequestHandler: you need to override the service() function");
    qCDebug(lcServer, "HttpRequestHandler: request=%s %s %s", request.method().constData(), request.path().constData(),
           request.version().constData());
    response.setStatus(501, "not implemented");
    response.write("501 not implemented", true);
}

} // namespace quillon
