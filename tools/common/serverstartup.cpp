#include "serverstartup.h"

#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>

ServerStartup::ServerStartup(const QStringList& arguments)
    : m_file(m_dir.filePath(QStringLiteral("server.ini")))
{
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments.at(i).startsWith(QLatin1String("--")))
            m_options.insert(arguments.at(i).mid(2), arguments.at(i + 1));
    }
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ntorvane.*.debug=false"));
}

QString ServerStartup::option(const QString& name, const QString& fallback) const
{
    return m_options.value(name, fallback);
}

QStringList ServerStartup::options(const QString& name) const
{
    QStringList values = m_options.values(name);
    std::reverse(values.begin(), values.end());
    return values;
}

QString ServerStartup::path(const QString& name, const QString& fallback) const
{
    const QString value = option(name);
    return value.isEmpty() ? fallback : QFileInfo(value).absoluteFilePath();
}

void ServerStartup::set(const QString& key, const QVariant& value)
{
    QSettings(m_file, QSettings::IniFormat).setValue(key, value);
}

QSettings* ServerStartup::group(const QString& name)
{
    m_groups.push_back(std::make_unique<QSettings>(m_file, QSettings::IniFormat));
    m_groups.back()->beginGroup(name);
    return m_groups.back().get();
}
