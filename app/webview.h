#pragma once

#include <QWebEngineView>

// The main window's browser view.
class WebView : public QWebEngineView
{
    Q_OBJECT

public:
    explicit WebView(QWidget* parent = nullptr);

protected:
    // Every new window the page asks for becomes a pop-up window of its own.
    QWebEngineView* createWindow(QWebEnginePage::WebWindowType type) override;
};
