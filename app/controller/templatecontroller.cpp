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
// echoes from the request is escaped for HTML and inserted in one pass after
// the loop is expanded, so markers in the request are shown, never expanded.
void TemplateController::service(quillon::HttpRequest& request, quillon::HttpResponse& response)
{
    response.setHeader("Content-Type", "text/html; charset=ISO-8859-1");
    quillon::Template t = sharedTemplateCache->getTemplate(QStringLiteral("demo"),
                                                            QString::fromUtf8(request.header("Accept-Language")));
    t.enableWarnings(true);
    const QMultiMap<QByteArray, QByteArray> headers = request.headerMap();
    t.loop(QStringLiteral("header"), headers.size());
    QHash<QString, QString> values;
    values.reserve(2 * headers.size() + 1);
    values.insert(QStringLiteral("path"), QString::fromUtf8(request.path()).toHtmlEscaped());
    int i = 0;
    for (auto it = headers.cbegin(); it != headers.cend(); ++it, ++i) {
        values.insert(QStringLiteral("header%1.name").arg(i), QString::fromUtf8(it.key()).toHtmlEscaped());
        values.insert(QStringLiteral("header%1.value").arg(i), QString::fromUtf8(it.value()).toHtmlEscaped());
    }
    t.setVariables(values);
    response.write(t.toLatin1(), true);
}
