#include "formcontroller.h"

#include "httprequest.h"
#include "httpresponse.h"

FormController::FormController(QObject* parent)
    : HttpRequestHandler(parent)
{
}

namespace {
// The page is served, and so submitted, as ISO-8859-1: the bytes are echoed as
// received, only the characters that HTML gives a meaning are escaped.
QByteArray htmlEscaped(const QByteArray& text)
{
    QByteArray escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    return escaped;
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
