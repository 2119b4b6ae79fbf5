#pragma once

#include "httprequesthandler.h"

class FormController : public quillon::HttpRequestHandler
{
    Q_OBJECT

public:
    explicit FormController(QObject* parent = nullptr);
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override;
};
