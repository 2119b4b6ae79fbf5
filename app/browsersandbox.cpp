#include "browsersandbox.h"

#include <QFile>

namespace browsersandbox {

namespace {
// Switch names (without dashes or value) that change nothing about what a
// page may do.
const char* const kAllowedSwitches[] = {"disable-gpu", "disable-gpu-compositing", "disable-software-rasterizer",
                                        "ignore-gpu-blocklist", "use-fake-device-for-media-stream",
                                        "enable-logging", "log-level", "v", "lang", "force-device-scale-factor"};

QByteArray unquoted(QByteArray word)
{
    while (word.size() >= 2 && ((word.startsWith('"') && word.endsWith('"')) || (word.startsWith('\'') && word.endsWith('\''))))
        word = word.mid(1, word.size() - 2);
    return word;
}

QByteArray setting(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}
} // namespace

QByteArray allowedChromiumFlags(const QByteArray& flags, QByteArrayList* dropped)
{
    QByteArrayList kept;
    for (const QByteArray& raw : flags.simplified().split(' ')) {
        if (raw.isEmpty())
            continue;
        const QByteArray word = unquoted(raw);
        QByteArray name = word;
        while (name.startsWith('-'))
            name.remove(0, 1);
        const int equals = name.indexOf('=');
        name = (equals < 0 ? name : name.left(equals)).toLower();
        bool allowed = word.startsWith("--") && !name.isEmpty() && word == raw;
        if (allowed) {
            allowed = false;
            for (const char* switchName : kAllowedSwitches)
                allowed = allowed || name == switchName;
        }
        if (allowed)
            kept.append(word);
        else
            dropped->append(raw);
    }
    return kept.join(' ');
}

QStringList plainArguments(const QStringList& arguments, QStringList* dropped)
{
    QStringList kept;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        // Qt's own choice of platform, which Qt takes out before the engine
        // sees the arguments; a value that looks like a switch is not one.
        const bool platform = argument == QLatin1String("-platform") || argument == QLatin1String("--platform");
        if (platform && i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-'))) {
            kept << argument << arguments.at(i + 1);
            ++i;
        } else if (i > 0 && argument.startsWith(QLatin1Char('-'))) {
            dropped->append(argument);
        } else {
            kept.append(argument);
        }
    }
    return kept;
}

QString unavailableReason(const QString& procRoot)
{
    if (setting(procRoot + QStringLiteral("/sys/kernel/unprivileged_userns_clone")) == "0")
        return QStringLiteral("kernel.unprivileged_userns_clone is 0");
    if (setting(procRoot + QStringLiteral("/sys/user/max_user_namespaces")) == "0")
        return QStringLiteral("user.max_user_namespaces is 0");
    if (setting(procRoot + QStringLiteral("/sys/kernel/apparmor_restrict_unprivileged_userns")) == "1")
        return QStringLiteral("kernel.apparmor_restrict_unprivileged_userns is 1");
    return QString();
}

} // namespace browsersandbox
