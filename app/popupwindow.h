#pragma once

#include <QUrl>
#include <QWidget>

class QProgressBar;
class QWebEngineView;
class ShellPolicy;
class WebView;

// A window that a page of the main window opened: its own browser view and a
// busy indicator until the first load has finished. It is shown only when
// its page is the application's (a frame of another site that opens a window
// gets none), and closes itself otherwise. The page may move, resize and
// close it, within the screen.
class PopupWindow : public QWidget
{
    Q_OBJECT

public:
    PopupWindow(const ShellPolicy* policy, WebView* opener);

    QWebEngineView* view() const { return popupView; }
    QProgressBar* busyIndicator() const { return loadIndicator; }

private slots:
    void adjustGeometry(const QRect& newGeometry);
    void finishLoading(bool);

private:
    void decide(bool ok, const QString& origin);

    const ShellPolicy* m_policy;
    QWebEngineView* popupView;
    QProgressBar* loadIndicator;
    bool m_decided = false;
};
