#pragma once

#include "httprequesthandler.h"

#include <QString>

// The command path: the request's parameters become a flat JSON object that
// is the answer and is handed to the command receiver.
class DumpController : public quillon::HttpRequestHandler
{
    Q_OBJECT

public:
    explicit DumpController(QObject* parent = nullptr);

    // Hands the command text to the source's signal checkApplicationArguments(QString).
    void serviceCommand(quillon::HttpRequest& request, quillon::HttpResponse& response, QObject* commandSource);

    // The command text for the request's parameters.
    static QByteArray commandText(const quillon::HttpRequest& request);

signals:
    void checkApplicationArguments(QString);
};
