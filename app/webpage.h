#pragma once

#include <QWebEnginePage>

class ShellPolicy;
class WebView;

// The page of the client's views, where the shell's policy meets the page's
// navigations. The main window's page and its pop-ups navigate only within
// the application's origins: a link the user clicks to another site opens in
// the desktop's browser, anything else of another site is refused and the
// page stays. A link of an allowed scheme (tel:, sip: ...) goes to the
// desktop's handler only from the main window's own frame, after a click or
// key press of the user, once per gesture; every other scheme is refused.
// Permissions: the main window answers its page's requests; a pop-up's are
// refused.
class WebPage : public QWebEnginePage
{
    Q_OBJECT

public:
    enum Role { MainWindowPage, PopupPage };

    // `gestures` is the main window's view, which sees the user's input.
    WebPage(const ShellPolicy* policy, Role role, WebView* gestures, QObject* parent = nullptr);

    Role role() const { return m_role; }

signals:
    // A navigation of the top frame was refused.
    void navigationRefused(const QUrl& url);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

private:
    void refusePermission(const QUrl& securityOrigin, QWebEnginePage::Feature feature);

    const ShellPolicy* m_policy;
    Role m_role;
    WebView* m_gestures;
};
