#include "webpage.h"

#include "externallinks.h"

WebPage::WebPage(QObject* parent)
    : QWebEnginePage(parent)
{
}

bool WebPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame)
{
    if (ExternalLinks::isExternal(url))
        ExternalLinks::instance()->watch(url.scheme());
    return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
}
