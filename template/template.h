#pragma once

#include <QHash>
#include <QString>

namespace quillon {

// A text document with variables ({name}) and loop blocks
// ({loop name}...{else name}...{end name}) that is filled in place.
class Template : public QString
{
public:
    Template(const QString& source, const QString& sourceName);

    int setVariable(const QString& name, const QString& value);
    // Fills several variables in one pass; names must not contain '}'.
    int setVariables(const QHash<QString, QString>& values);
    int loop(const QString& name, int repetitions);
    void enableWarnings(bool enable = true) { m_warnings = enable; }
    QString sourceName() const { return m_sourceName; }

private:
    void warnTooLarge(const QString& startMarker) const;

    QString m_sourceName;
    bool m_warnings = false;
};

} // namespace quillon
