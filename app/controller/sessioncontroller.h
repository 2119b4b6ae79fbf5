#pragma once

#include "httprequesthandler.h"

class SessionController : public quillon::HttpRequestHandler
{
    Q_OBJECT

public:
    explicit SessionController(QObject* parent = nullptr);
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override;
};
