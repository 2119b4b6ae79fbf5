#pragma once

#include <QObject>

// Whether the desktop shows tray icons: a StatusNotifier host registered
// with the watcher on the session bus (KDE, swaybar, GNOME's AppIndicator
// extension), or on X11 a system tray window (XEmbed). Follows the desktop
// as it changes: a host that starts after the client, or a panel that
// restarts, is seen when it registers.
//
// Qt asks the session bus once per process, when the first tray icon is
// made, whether a StatusNotifier host exists, and keeps the answer; so the
// client makes its icon only once this says a host is there.
class TrayHost : public QObject
{
    Q_OBJECT

public:
    explicit TrayHost(QObject* parent = nullptr);

    bool isPresent() const { return m_present; }

signals:
    void presenceChanged(bool present);

private slots:
    void check();

private:
    bool xembedTrayPresent() const;
    void setPresent(bool statusNotifierHost);

    bool m_present = false;
    bool m_checking = false;
    bool m_checkAgain = false;
};
