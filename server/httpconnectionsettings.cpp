#include "httpconnectionsettings.h"

#include "httprequest.h"
#include "settings.h"

namespace quillon {

HttpConnectionSettings HttpConnectionSettings::read(QSettings* settings)
{
    HttpConnectionSettings result;
    const auto number = [settings](const char* key, int fallback) {
        return settingValue(settings, QLatin1String(key), fallback).toInt();
    };
    result.maxRequestSize = number("maxRequestSize", 16000);
    result.maxMultiPartSize = number("maxMultiPartSize", 1000000);
    result.maxMultiParts = number("maxMultiParts", HttpRequest::kDefaultMaxMultiParts);
    const int readTimeout = number("readTimeout", 10000);
    result.keepAliveTimeout = number("keepAliveTimeout", readTimeout);
    result.headTimeout = number("headTimeout", readTimeout);
    result.bodyTimeout = number("bodyTimeout", readTimeout);
    result.writeTimeout = number("writeTimeout", readTimeout);
    return result;
}

} // namespace quillon
