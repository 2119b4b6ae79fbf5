#pragma once

#include <QMultiMap>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <memory>
#include <vector>

// The start-up that the project's own small servers share (the stand-in
// hosted application, the demo server): "--name value" options, quiet
// logging, and a configuration file of their own, written in a temporary
// folder, whose groups configure the server library's objects.
class ServerStartup
{
public:
    explicit ServerStartup(const QStringList& arguments);

    // The last value given for --`name`, or `fallback`.
    QString option(const QString& name, const QString& fallback = QString()) const;
    // Every value given for --`name`, in order.
    QStringList options(const QString& name) const;
    // The value as an absolute path, or `fallback`.
    QString path(const QString& name, const QString& fallback = QString()) const;

    // One key of the configuration ("group/key").
    void set(const QString& key, const QVariant& value);
    // The configuration narrowed to `group`; lives as long as this.
    QSettings* group(const QString& name);

private:
    QMultiMap<QString, QString> m_options;
    QTemporaryDir m_dir;
    QString m_file;
    std::vector<std::unique_ptr<QSettings>> m_groups;
};
