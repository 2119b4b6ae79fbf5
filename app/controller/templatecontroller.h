#pragma once

#include "httprequesthandler.h"

class TemplateController : public quillon::HttpRequestHandler
{
    Q_OBJECT

public:
    explicit TemplateController(QObject* parent = nullptr);
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override;
};
