#include "fileuploadcontroller.h"

#include "httprequest.h"
#include "httpresponse.h"

#include <QTemporaryFile>

FileUploadController::FileUploadController(QObject* parent)
    : HttpRequestHandler(parent)
{
}

void FileUploadController::service(quillon::HttpRequest& request, quillon::HttpResponse& response)
{
    if (request.parameter("action") == "show") {
        response.setHeader("Content-Type", "image/jpeg");
        QTemporaryFile* file = request.uploadedFile("file1");
        if (file) {
            while (!file->atEnd() && file->error() == QFileDevice::NoError)
                response.write(file->read(65536));
        } else {
            response.write("upload failed");
        }
        return;
    }
    response.setHeader("Content-Type", "text/html; charset=ISO-8859-1");
    response.write("<html><body>");
    response.write("Upload a JPEG image file<p>");
    response.write("<form method=\"post\" enctype=\"multipart/form-data\">");
    response.write("  <input type=\"hidden\" name=\"action\" value=\"show\">");
    response.write("  File: <input type=\"file\" name=\"file1\"><br>");
    response.write("  <input type=\"submit\">");
    response.write("</form>");
    response.write("</body></html>", true);
}
