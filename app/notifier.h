#pragma once

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

class TrayHost;

// Messages for the user: on the tray icon when the desktop shows one,
// otherwise through the desktop's notification service
// (org.freedesktop.Notifications). Every message is also logged, so that it
// reaches the account's log file whatever the desktop offers.
class Notifier : public QObject
{
    Q_OBJECT

public:
    Notifier(const TrayHost* host, QObject* parent);

    // The icon the messages go to while a tray host is there; may be null.
    void setTrayIcon(QSystemTrayIcon* icon) { m_trayIcon = icon; }
    void show(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon);

private:
    void notifyDesktop(const QString& title, const QString& text, bool warning);

    const TrayHost* m_host;
    QPointer<QSystemTrayIcon> m_trayIcon;
};
