#pragma once

#include "httprequesthandler.h"

// Routes every request of the local server: four demonstration pages, and
// the command path for everything else.
class RequestMapper : public quillon::HttpRequestHandler
{
    Q_OBJECT

public:
    RequestMapper(QObject* parent, QObject* commandReceiver);
    ~RequestMapper() override;

    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override;

signals:
    // Every command, for the command receiver (on its own thread).
    void checkApplicationArguments(QString);
};
