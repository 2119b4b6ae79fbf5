#pragma once

#include "template.h"

#include <QObject>
#include <QString>

class QSettings;
class QTextCodec;

namespace quillon {

// Finds the template file that best fits an Accept-Language list and returns
// it decoded as a Template.
class TemplateLoader : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TemplateLoader)

public:
    TemplateLoader(QSettings* settings, QObject* parent = nullptr);
    ~TemplateLoader() override;

    Template getTemplate(const QString& templateName, const QString& locales = QString());

protected:
    virtual QString tryFile(const QString& localizedName);

    QString m_templatePath;
    QString m_fileNameSuffix;
    QTextCodec* m_textCodec;
};

} // namespace quillon
