#pragma once

#include "activationhost.h"
#include "object.h"
#include "shellpolicy.h"

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWebEnginePage>

class Notifier;
class QAction;
class QLineEdit;
class QMenu;
class QTimer;
class QWebChannel;
class TrayHost;
class WebView;
class logoTorvane;

// The client's one window: a frameless, translucent, always-on-top browser
// view of the hosted application at the bottom right of the screen, with
// its tray icon and the floating dial button that replaces it when hidden.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(const QUrl& url);

public slots:
    void checkApplicationArguments(QString arg);

public:
    ~MainWindow() override;

    WebView* view() const { return webView; }
    logoTorvane* dialButton() const { return logo; }
    // Made once the desktop shows tray icons; null until then.
    QSystemTrayIcon* trayIcon() const { return m_trayIcon; }
    // Messages for the user: the tray, or the desktop's notifications.
    Notifier* notifier() const { return m_notifier; }
    QMenu* trayMenu() const { return m_trayMenu; }
    int progress() const { return progressPercent; }
    Object* bridge() { return &external; }
    QAction* testAction() const { return m_testAction; }
    QString closeButtonHookScript() const;
    // What pages may do; configured at start-up, before the event loop.
    ShellPolicy* shellPolicy() { return &m_shellPolicy; }
    // Where the client's own listener runs: the activation and close
    // requests take its scheme (and port) when the activation host is that
    // listener; `configuredPort` is the one the machine's configuration gives.
    void setLocalListener(const QString& host, int port, bool tls, int configuredPort);
    // The tray says that this account's programs cannot command the client.
    void showListenerUnavailable(int port, const QString& ownSettingsFile);

protected slots:
    void adjustLocation();
    void changeLocation();
    void adjustTitle();
    void setProgress(int p);
    void finishLoading(bool);
    void featurePermissionRequested(const QUrl& securityOrigin, QWebEnginePage::Feature feature);
    void initJs();
    void setLocationApp();
    void quit();
    void hideApp();
    void showApp();
    void javascript();
    void urlExists(QUrl url_string);
    bool isRunning(const QString& process);
    bool registerProtocol();

private slots:
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    // The tray icon once the desktop shows one; while it shows none, the
    // tray menu's entries on the dial button and the view.
    void trayHostChanged(bool present);
    void screensChanged();

private:
    void createTrayIcon();
    void loadScripts();
    void watchScreens();
    QScreen* anchorScreen() const;

    ActivationHost m_activationHost;
    ShellPolicy m_shellPolicy;
    int windowWidth = 271;
    int windowHeight = 420;
    WebView* webView = nullptr;
    Object external;
    QWebChannel* channel;
    QString webChannelScript;
    QString jQueryScript;
    QLineEdit* addressEdit = nullptr;
    int progressPercent = 0;
    logoTorvane* logo = nullptr;

    QAction* m_quitAction = nullptr;
    QAction* m_hideAction = nullptr;
    QAction* m_openAction = nullptr;
    QAction* m_testAction = nullptr;
    QMenu* m_trayMenu = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    TrayHost* m_trayHost = nullptr;
    Notifier* m_notifier = nullptr;
    // Places the window again once a burst of screen changes is over.
    QTimer* m_screensChanged = nullptr;
};
