#pragma once

#include <QWebEnginePage>

// The page of the client's views. A link to a scheme the browser engine does
// not handle (tel:, sip:, callto: ...) is left to the engine's own policy for
// such links, which hands the ones a user clicked to QDesktopServices; their
// scheme is routed to ExternalLinks first, so that the desktop's handler for
// it gets the link, and nothing starts where there is none.
class WebPage : public QWebEnginePage
{
    Q_OBJECT

public:
    explicit WebPage(QObject* parent = nullptr);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
};
