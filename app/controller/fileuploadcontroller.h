#pragma once

#include "httprequesthandler.h"

class FileUploadController : public quillon::HttpRequestHandler
{
    Q_OBJECT

public:
    explicit FileUploadController(QObject* parent = nullptr);
    void service(quillon::HttpRequest& request, quillon::HttpResponse& response) override;
};
