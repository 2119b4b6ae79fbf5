#include "urlscheme.h"

QString windowsOpenCommand(const QString& nativePath)
{
    return QLatin1Char('"') + nativePath + QStringLiteral("\" \"%1\"");
}
