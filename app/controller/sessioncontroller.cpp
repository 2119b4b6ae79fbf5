#include "sessioncontroller.h"

#include "globals.h"
#include "httprequest.h"
#include "httpresponse.h"
#include "httpsessionstore.h"

#include <QDateTime>

SessionController::SessionController(QObject* parent)
    : HttpRequestHandler(parent)
{
}

void SessionController::service(quillon::HttpRequest& request, quillon::HttpResponse& response)
{
    response.setHeader("Content-Type", "text/html; charset=ISO-8859-1");
    quillon::HttpSession session = sharedSessionStore->getSession(request, response, true);
    if (session.contains("startTime")) {
        response.write("<html><body>Your session started ");
        response.write(session.get("startTime").toDateTime().toString(Qt::TextDate).toLatin1());
        response.write("</body></html>");
    } else {
        response.write("<html><body>New session started. Reload this page now.</body></html>");
        session.set("startTime", QDateTime::currentDateTime());
    }
}
