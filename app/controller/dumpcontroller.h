#pragma once

#include "httprequesthandler.h"

#include <QString>

// The command path: the request's parameters become a flat JSON object that
// is the answer and, through the request mapper, goes to the command
// receiver.
class DumpController : public quillon::HttpRequestHandler
{
    Q_OBJECT

public:
    explicit DumpController(QObject* parent = nullptr);

    // Answers the command and returns its text, which the caller passes on.
    QString serviceCommand(quillon::HttpRequest& request, quillon::HttpResponse& response);

    // The command text for the request's parameters.
    static QByteArray commandText(const quillon::HttpRequest& request);
};
