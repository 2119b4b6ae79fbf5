#include "formcontroller.h"

#include "httprequest.h"
#include "httpresponse.h"

FormController::FormController(QObject* parent)
    : HttpRequestHandler(parent)
{
}

namespace {
QByteArray htmlEscaped(const QByteArray& text)
{
    return QString::fromUtf8(text).toHtmlEscaped().toUtf8();
}
} // namespace

void FormController::service(quillon::HttpRequest& request, quillon::HttpResponse& response)
{
    response.setHeader("Content-Type", "text/html; charset=ISO-8859-1");
    response.write("<html><body>");
    if (request.parameter("action") == "show") {
        response.write("Name = ");
        response.write(htmlEscaped(request.parameter("name")));
        response.write("<br>City = ");
        response.write(htmlEscaped(request.parameter("city")));
    } else {
        response.write("<form method=\"post\">");
        response.write("  <input type=\"hidden\" name=\"action\" value=\"show\">");
        response.write("  Name: <input type=\"text\" name=\"name\"><br>");
        response.write("  City: <input type=\"text\" name=\"city\"><br>");
        response.write("  <input type=\"submit\">");
        response.write("</form>");
    }
    response.write("</body></html>", true);
}
