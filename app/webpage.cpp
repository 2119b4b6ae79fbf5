#include "webpage.h"

#include "externallinks.h"
#include "logging.h"
#include "shellpolicy.h"
#include "webview.h"

#include <QDesktopServices>
#include <QPointer>
#include <QTimer>
#include <QtDebug>

WebPage::WebPage(const ShellPolicy* policy, Role role, WebView* gestures, QObject* parent)
    : QWebEnginePage(parent)
    , m_policy(policy)
    , m_role(role)
    , m_gestures(gestures)
{
    if (m_role == PopupPage)
        connect(this, &QWebEnginePage::featurePermissionRequested, this, &WebPage::refusePermission);
}

void WebPage::refusePermission(const QUrl& securityOrigin, QWebEnginePage::Feature feature)
{
    qCDebug(lcClient, "WebPage: a pop-up's permission request refused (%s, feature %d)",
            qPrintable(securityOrigin.toString()), int(feature));
    setFeaturePermission(securityOrigin, feature, PermissionDeniedByUser);
}

bool WebPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame)
{
    const QPointer<WebView> gestures(m_gestures);
    const auto takeGesture = [gestures] { return gestures && gestures->takeUserGesture(); };

    if (ExternalLinks::isExternal(url)) {
        const char* refusal = nullptr;
        if (!m_policy->isExternalScheme(url.scheme()))
            refusal = "its scheme is not handed to the desktop";
        else if (m_role != MainWindowPage || !isMainFrame)
            refusal = "it comes from a frame or window other than the application's";
        else if (!takeGesture())
            refusal = "no click or key press of the user asked for it";
        if (refusal) {
            qCDebug(lcClient, "WebPage: link %s refused: %s", qPrintable(url.toString(QUrl::RemoveUserInfo)), refusal);
            return false;
        }
        // Outside this call: the desktop's handler may take a moment.
        QTimer::singleShot(0, ExternalLinks::instance(), [url] { ExternalLinks::instance()->open(url); });
        return false;
    }

    const QString scheme = url.scheme().toLower();
    if (!isMainFrame || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        || m_policy->isApplication(url))
        return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);

    // Another site in a window of the application: never here; in the
    // desktop's browser when the user followed a link to it.
    if (type == NavigationTypeLinkClicked && takeGesture()) {
        qCDebug(lcClient, "WebPage: %s opens in the desktop's browser", qPrintable(url.toString(QUrl::RemoveUserInfo)));
        QTimer::singleShot(0, this, [url] { QDesktopServices::openUrl(url); });
    } else {
        qCDebug(lcClient, "WebPage: navigation to %s refused: not the application's", qPrintable(url.toString(QUrl::RemoveUserInfo)));
    }
    emit navigationRefused(url);
    return false;
}
