#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Which Qt platform the client runs on. In a Wayland session a native window
// can neither choose its place nor stay above other windows, so where XWayland
// is at hand (DISPLAY set) the client goes through it, unless the user chose
// a platform (QT_QPA_PLATFORM or -platform). Decided before the application
// object exists, in the program itself, so that every way of starting it
// (menu, autostart, a zolapp: link) behaves the same.
class PlatformChoice
{
public:
    enum Reason {
        UserEnvironment, // QT_QPA_PLATFORM names one
        UserArgument,    // -platform NAME
        XWayland,        // Wayland session with XWayland
        NativeWayland,   // Wayland session without XWayland
        QtDefault,       // not a Wayland session
    };

    static PlatformChoice choose(const QStringList& arguments, const QProcessEnvironment& environment);

    Reason reason() const { return m_reason; }
    // The value for QT_QPA_PLATFORM, empty when it is left as it is. A list,
    // so that Qt falls back to the second when the first cannot start.
    QByteArray platformList() const { return m_platformList; }
    // The one log line: the platform Qt started (`platformName`) and why.
    QString describe(const QString& platformName) const;

private:
    Reason m_reason = QtDefault;
    QByteArray m_platformList;
    QString m_display; // DISPLAY in a Wayland session
};
