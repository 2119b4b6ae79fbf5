#include "dumpcontroller.h"

#include "httprequest.h"
#include "httpresponse.h"
#include "logging.h"

#include <QtDebug>

namespace {

// A JSON string body: quotation mark, backslash and every control character
// escaped, and U+2028/U+2029 too, so that the text stays one string literal
// also where it is run as script.
QString jsonEscaped(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (const QChar c : text) {
        const ushort u = c.unicode();
        switch (u) {
        case '"': escaped += QLatin1String("\\\""); break;
        case '\\': escaped += QLatin1String("\\\\"); break;
        case '\b': escaped += QLatin1String("\\b"); break;
        case '\f': escaped += QLatin1String("\\f"); break;
        case '\n': escaped += QLatin1String("\\n"); break;
        case '\r': escaped += QLatin1String("\\r"); break;
        case '\t': escaped += QLatin1String("\\t"); break;
        default:
            if (u < 0x20 || u == 0x2028 || u == 0x2029 || u == 0x7f)
                escaped += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
            else
                escaped += c;
        }
    }
    return escaped;
}

} // namespace

DumpController::DumpController(QObject* parent)
    : HttpRequestHandler(parent)
{
}

QByteArray DumpController::commandText(const quillon::HttpRequest& request)
{
    QString body = QStringLiteral("{");
    const QMultiMap<QByteArray, QByteArray> parameters = request.parameterMap();
    for (auto it = parameters.cbegin(); it != parameters.cend(); ++it) {
        // Invalid UTF-8 becomes U+FFFD; a NUL byte stays a character (the
        // QByteArray overload would stop there).
        const QString value = QString::fromUtf8(it.value().constData(), it.value().size());
        const QString text = it.key() == "name" ? QString::fromLatin1(value.toUtf8().toBase64()) : value;
        body += QLatin1Char('"') + jsonEscaped(QString::fromUtf8(it.key().constData(), it.key().size()))
            + QStringLiteral("\":\"")
            + jsonEscaped(text) + QStringLiteral("\",");
        if (it.key() == "action" && text == QLatin1String("open"))
            qCDebug(lcClient, "OK, Chegou aqui...");
    }
    body += QStringLiteral("\"status\":true}");
    return body.toUtf8();
}

QString DumpController::serviceCommand(quillon::HttpRequest& request, quillon::HttpResponse& response)
{
    response.setHeader("Content-Type", "application/json; charset=UTF-8");
    const QByteArray body = commandText(request);
    response.write(body, true);
    return QString::fromUtf8(body);
}
