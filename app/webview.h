#pragma once

#include <QElapsedTimer>
#include <QWebEngineView>

class QMenu;
class ShellPolicy;

// The main window's browser view. It notes the user's clicks and key
// presses: an external link may start only after one of them.
class WebView : public QWebEngineView
{
    Q_OBJECT

public:
    explicit WebView(const ShellPolicy* policy, QWidget* parent = nullptr);

    // True once for each click or key press of the user in the view, for a
    // few seconds after it.
    bool takeUserGesture();
    // Entries added to the page's right-click menu (the tray menu's, while
    // the desktop has no tray); null for none.
    void setShellMenu(QMenu* menu) { m_shellMenu = menu; }

protected:
    // Every new window the page asks for becomes a pop-up window of its own,
    // shown once its page turns out to be the application's.
    QWebEngineView* createWindow(QWebEnginePage::WebWindowType type) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    const ShellPolicy* m_policy;
    QElapsedTimer m_lastGesture;
    bool m_gestureTaken = true;
    QMenu* m_shellMenu = nullptr;
};
