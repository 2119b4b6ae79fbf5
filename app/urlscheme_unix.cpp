// The freedesktop way: a desktop entry that handles x-scheme-handler/zolapp,
// made the user's default handler for it in mimeapps.list.
#include "urlscheme.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

namespace {

const QString kEntryName = QStringLiteral("torvaneapp-zolapp.desktop");
const QString kMimeType = QStringLiteral("x-scheme-handler/zolapp");

QString dataHome()
{
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    return home.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : home;
}

QString configHome()
{
    const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    return home.isEmpty() ? QDir::homePath() + QStringLiteral("/.config") : home;
}

bool writeFile(const QString& fileName, const QString& text)
{
    QDir().mkpath(QFileInfo(fileName).absolutePath());
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(text.toUtf8());
    return file.commit();
}

// Sets the scheme's default handler and keeps every other line as it was;
// a handler the user chose (another entry) stays.
QString withDefaultHandler(const QString& mimeapps)
{
    const QString group = QStringLiteral("[Default Applications]");
    const QString line = kMimeType + QLatin1Char('=') + kEntryName;
    QStringList lines = mimeapps.split(QLatin1Char('\n'));
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    int groupLine = -1;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).trimmed() == group) {
            groupLine = i;
            break;
        }
    }
    if (groupLine < 0) {
        lines << group << line;
        return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
    }
    int i = groupLine + 1;
    for (; i < lines.size() && !lines.at(i).trimmed().startsWith(QLatin1Char('[')); ++i) {
        if (lines.at(i).section(QLatin1Char('='), 0, 0).trimmed() == kMimeType) {
            if (!lines.at(i).section(QLatin1Char('='), 1).trimmed().isEmpty())
                return mimeapps;
            lines[i] = line;
            return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
        }
    }
    lines.insert(groupLine + 1, line);
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace

// freedesktop.org Desktop Entry rules, "The Exec key": a program whose path
// holds a reserved character is quoted, inside the quotes '"', '`', '$' and
// '\' take a backslash; a literal '%' is written "%%"; the value is then a
// string, whose backslashes and line breaks are escaped once more. A path
// without reserved characters stays unquoted: xdg-open's generic opener
// (outside a desktop environment) cannot start a quoted one.
QString desktopEntryExec(const QString& executable)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = executable.isEmpty();
    for (const QChar c : executable)
        needsQuotes = needsQuotes || reserved.contains(c) || c == QLatin1Char('\r');
    if (!needsQuotes) {
        QString plain = executable;
        plain.replace(QLatin1Char('%'), QStringLiteral("%%"));
        return plain + QStringLiteral(" %u");
    }
    QString quoted;
    for (const QChar c : executable) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    QString value;
    for (const QChar c : quoted) {
        if (c == QLatin1Char('\\'))
            value += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            value += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            value += QStringLiteral("\\r");
        else if (c == QLatin1Char('\t'))
            value += QStringLiteral("\\t");
        else
            value += c;
    }
    return QLatin1Char('"') + value + QStringLiteral("\" %u");
}

void registerUrlScheme(const QString& executable)
{
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Torvane APP\n"
                                         "Exec=%1\n"
                                         "MimeType=%2;\n"
                                         "NoDisplay=true\n"
                                         "Terminal=false\n")
                              .arg(desktopEntryExec(executable), kMimeType);
    writeFile(dataHome() + QStringLiteral("/applications/") + kEntryName, entry);

    const QString mimeappsName = configHome() + QStringLiteral("/mimeapps.list");
    QFile mimeapps(mimeappsName);
    QString current;
    if (mimeapps.open(QIODevice::ReadOnly))
        current = QString::fromUtf8(mimeapps.readAll());
    mimeapps.close();
    writeFile(mimeappsName, withDefaultHandler(current));
}
