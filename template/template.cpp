#include "template.h"

#include <QtDebug>

namespace quillon {

namespace {
// Nested blocks of one loop name multiply on every pass; a degenerate
// template must not grow until memory runs out.
constexpr int kMaxDocumentSize = 4 * 1024 * 1024;
} // namespace

Template::Template(const QString& source, const QString& sourceName)
    : QString(source)
    , m_sourceName(sourceName)
{
}

int Template::setVariable(const QString& name, const QString& value)
{
    const QString marker = QLatin1Char('{') + name + QLatin1Char('}');
    int count = 0;
    int position = indexOf(marker, 0, Qt::CaseSensitive);
    while (position >= 0) {
        replace(position, marker.size(), value);
        ++count;
        // The inserted value is never scanned again.
        position = indexOf(marker, position + value.size(), Qt::CaseSensitive);
    }
    if (count == 0 && m_warnings)
        qWarning("Template: missing variable %s in %s", qPrintable(marker), qPrintable(m_sourceName));
    return count;
}

void Template::warnTooLarge(const QString& startMarker) const
{
    qWarning("Template: loop %s in %s grows beyond %i characters, expansion stopped", qPrintable(startMarker),
             qPrintable(m_sourceName), kMaxDocumentSize);
}

int Template::loop(const QString& name, int repetitions)
{
    const QString startMarker = QStringLiteral("{loop ") + name + QLatin1Char('}');
    const QString elseMarker = QStringLiteral("{else ") + name + QLatin1Char('}');
    const QString endMarker = QStringLiteral("{end ") + name + QLatin1Char('}');

    // Markers inside the body that follow the repetition's name.
    const QString prefixes[] = {QStringLiteral("{"), QStringLiteral("{if "), QStringLiteral("{ifnot "),
                                QStringLiteral("{else "), QStringLiteral("{end "), QStringLiteral("{loop ")};

    int count = 0;
    int start = indexOf(startMarker, 0, Qt::CaseSensitive);
    while (start >= 0) {
        const int bodyStart = start + startMarker.size();
        const int end = indexOf(endMarker, bodyStart, Qt::CaseSensitive);
        if (end < 0) {
            // The block is left as it is and the expansion of this loop ends,
            // so an unmatched marker can never make it loop forever.
            qWarning("Template: missing loop end %s in %s", qPrintable(endMarker), qPrintable(m_sourceName));
            break;
        }
        ++count;
        const int elsePosition = indexOf(elseMarker, bodyStart, Qt::CaseSensitive);
        const bool hasElse = elsePosition > start && elsePosition < end;

        QString replacement;
        const int blockLength = end + endMarker.size() - start;
        if (repetitions > 0) {
            const QString body = mid(bodyStart, (hasElse ? elsePosition : end) - bodyStart);
            if (qint64(size()) - blockLength + qint64(body.size()) * repetitions > kMaxDocumentSize) {
                warnTooLarge(startMarker);
                break;
            }
            for (int i = 0; i < repetitions; ++i) {
                QString copy = body;
                const QString repetitionName = name + QString::number(i);
                for (const QString& prefix : prefixes)
                    copy.replace(prefix + name + QLatin1Char('.'), prefix + repetitionName + QLatin1Char('.'),
                                 Qt::CaseSensitive);
                replacement += copy;
            }
        } else if (hasElse) {
            const int elseBodyStart = elsePosition + elseMarker.size();
            replacement = mid(elseBodyStart, end - elseBodyStart);
        }
        if (qint64(size()) - blockLength + replacement.size() > kMaxDocumentSize) {
            warnTooLarge(startMarker);
            break;
        }
        replace(start, blockLength, replacement);
        start = indexOf(startMarker, start, Qt::CaseSensitive);
    }
    if (count == 0 && m_warnings)
        qWarning("Template: missing loop %s in %s", qPrintable(startMarker), qPrintable(m_sourceName));
    return count;
}

} // namespace quillon
