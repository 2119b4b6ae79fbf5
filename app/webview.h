#pragma once

#include <QWebEngineView>

// The main window's browser view.
class WebView : public QWebEngineView
{
    Q_OBJECT

public:
    explicit WebView(QWidget* parent = nullptr);
};
