#pragma once

#include <QObject>
#include <QString>

class QMainWindow;
class QWidget;

// The bridge offered to pages as "external" through the web channel: a page
// can put the main window away and keep a text property in the client.
class Object : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString info READ info WRITE setInfo NOTIFY infoChanged)

public:
    explicit Object(QObject* parent = nullptr);

    QString info() const { return infoText; }
    // Replaces the text without emitting infoChanged.
    void setInfo(QString text) { infoText = text; }
    void setMainWindow(QMainWindow* window) { mainWindow = window; }
    void setDialButton(QWidget* button) { dialButton = button; }

signals:
    void infoChanged(QString);

public slots:
    void closeWindow();

private:
    QString infoText;
    QMainWindow* mainWindow = nullptr;
    QWidget* dialButton = nullptr;
};
