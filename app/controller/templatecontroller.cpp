#include "templatecontroller.h"

#include "globals.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "templatecache.h"

TemplateController::TemplateController(QObject* parent)
    : HttpRequestHandler(parent)
{
}

// Lists the request headers in the language the browser asks for. What it
// echoes from the request is escaped for HTML.
void TemplateController::service(quillon::HttpRequest& request, quillon::HttpResponse& response)
{
    response.setHeader("Content-Type", "text/html; charset=ISO-8859-1");
    quillon::Template t = sharedTemplateCache->getTemplate(QStringLiteral("demo"),
                                                            QString::fromUtf8(request.header("Accept-Language")));
    t.enableWarnings(true);
    t.setVariable(QStringLiteral("path"), QString::fromUtf8(request.path()).toHtmlEscaped());
    const QMultiMap<QByteArray, QByteArray> headers = request.headerMap();
    t.loop(QStringLiteral("header"), headers.size());
    int i = 0;
    for (auto it = headers.cbegin(); it != headers.cend(); ++it, ++i) {
        t.setVariable(QStringLiteral("header%1.name").arg(i), QString::fromUtf8(it.key()).toHtmlEscaped());
        t.setVariable(QStringLiteral("header%1.value").arg(i), QString::fromUtf8(it.value()).toHtmlEscaped());
    }
    response.write(t.toLatin1(), true);
}
