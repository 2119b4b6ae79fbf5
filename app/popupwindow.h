#pragma once

#include <QWidget>

class QProgressBar;
class QWebEngineView;

// A window that a page of the main window opened: its own browser view and a
// busy indicator until the first load has finished. The page may move,
// resize and close it.
class PopupWindow : public QWidget
{
    Q_OBJECT

public:
    PopupWindow();

    QWebEngineView* view() const { return popupView; }
    QProgressBar* busyIndicator() const { return loadIndicator; }

private slots:
    void adjustGeometry(const QRect& newGeometry);
    void finishLoading(bool);

private:
    QWebEngineView* popupView;
    QProgressBar* loadIndicator;
};
