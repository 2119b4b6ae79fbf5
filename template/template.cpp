#include "template.h"

#include "logging.h"

#include <QSet>
#include <QtDebug>

namespace quillon {

namespace {
// Nested blocks of one loop name multiply on every pass; a degenerate
// template must not grow until memory runs out.
constexpr int kMaxDocumentSize = 4 * 1024 * 1024;
// A loop nested in itself makes the rest of the document be scanned again
// for every block it yields; sixteen such passes over the largest document
// take a tenth of a second or so.
constexpr qint64 kMaxExpansionWork = 16LL * kMaxDocumentSize;
} // namespace

Template::Template(const QString& source, const QString& sourceName)
    : QString(source)
    , m_sourceName(sourceName)
{
}

// One pass that builds the result; the inserted value is never scanned again.
int Template::setVariable(const QString& name, const QString& value)
{
    const QString marker = QLatin1Char('{') + name + QLatin1Char('}');
    QString result;
    int count = 0;
    int copied = 0;
    for (int position = indexOf(marker); position >= 0; position = indexOf(marker, copied)) {
        if (count++ == 0)
            result.reserve(size() + value.size());
        result.append(midRef(copied, position - copied)).append(value);
        copied = position + marker.size();
    }
    if (count > 0) {
        result.append(midRef(copied));
        QString::operator=(std::move(result));
    } else if (m_warnings) {
        qCWarning(lcTemplates, "Template: missing variable %s in %s", qPrintable(marker), qPrintable(m_sourceName));
    }
    return count;
}

// Like setVariable for many names at once, in one pass: a value inserted for
// one name is never scanned for the markers of another.
int Template::setVariables(const QHash<QString, QString>& values)
{
    QString result;
    QSet<QString> found;
    int count = 0;
    int copied = 0;
    int close = -1;
    int open = indexOf(QLatin1Char('{'));
    while (open >= 0) {
        if (close <= open)
            close = indexOf(QLatin1Char('}'), open + 1);
        if (close < 0)
            break;
        const QString name = mid(open + 1, close - open - 1);
        const auto value = values.constFind(name);
        if (value == values.cend()) {
            open = indexOf(QLatin1Char('{'), open + 1);
            continue;
        }
        if (count == 0)
            result.reserve(size());
        result.append(midRef(copied, open - copied)).append(*value);
        copied = close + 1;
        ++count;
        found.insert(name);
        open = indexOf(QLatin1Char('{'), copied);
    }
    if (count > 0) {
        result.append(midRef(copied));
        QString::operator=(std::move(result));
    }
    if (m_warnings && found.size() < values.size()) {
        for (auto it = values.cbegin(); it != values.cend(); ++it) {
            if (!found.contains(it.key()))
                qCWarning(lcTemplates, "Template: missing variable %s in %s", qPrintable(QLatin1Char('{') + it.key() + QLatin1Char('}')),
                         qPrintable(m_sourceName));
        }
    }
    return count;
}

void Template::warnTooLarge(const QString& startMarker) const
{
    qCWarning(lcTemplates, "Template: loop %s in %s grows beyond %i characters, expansion stopped", qPrintable(startMarker),
             qPrintable(m_sourceName), kMaxDocumentSize);
}

// The result is built in one pass: the text before each block and its
// expansion are appended once, so the work grows with the output. Only a
// block whose expansion contains (or ends in part of) the loop's own start
// marker, that is a loop nested in itself, makes the rest of the document
// be scanned again; that work is what kMaxExpansionWork bounds.
int Template::loop(const QString& name, int repetitions)
{
    const QString startMarker = QStringLiteral("{loop ") + name + QLatin1Char('}');
    const QString elseMarker = QStringLiteral("{else ") + name + QLatin1Char('}');
    const QString endMarker = QStringLiteral("{end ") + name + QLatin1Char('}');

    // Markers inside the body that follow the repetition's name.
    const QString prefixes[] = {QStringLiteral("{"), QStringLiteral("{if "), QStringLiteral("{ifnot "),
                                QStringLiteral("{else "), QStringLiteral("{end "), QStringLiteral("{loop ")};

    QString done; // expanded, never scanned again
    QString rest = *this;
    int position = 0; // in rest; everything before it is in done
    int count = 0;
    qint64 work = 0;
    int start = rest.indexOf(startMarker, position, Qt::CaseSensitive);
    while (start >= 0) {
        const int bodyStart = start + startMarker.size();
        const int end = rest.indexOf(endMarker, bodyStart, Qt::CaseSensitive);
        if (end < 0) {
            // The block is left as it is and the expansion of this loop ends,
            // so an unmatched marker can never make it loop forever.
            qCWarning(lcTemplates, "Template: missing loop end %s in %s", qPrintable(endMarker), qPrintable(m_sourceName));
            break;
        }
        ++count;
        // Looked for inside the block only: a search to the end of the
        // document for every block would make many blocks quadratic.
        const int elseInBody = rest.midRef(bodyStart, end - bodyStart).indexOf(elseMarker, 0, Qt::CaseSensitive);
        const bool hasElse = elseInBody >= 0;
        const int elsePosition = hasElse ? bodyStart + elseInBody : -1;
        const int blockEnd = end + endMarker.size();
        const qint64 documentSize = qint64(done.size()) + rest.size() - position;

        QString replacement;
        if (repetitions > 0) {
            const QString body = rest.mid(bodyStart, (hasElse ? elsePosition : end) - bodyStart);
            if (documentSize - (blockEnd - start) + qint64(body.size()) * repetitions > kMaxDocumentSize) {
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
            replacement = rest.mid(elseBodyStart, end - elseBodyStart);
        }
        if (documentSize - (blockEnd - start) + replacement.size() > kMaxDocumentSize) {
            warnTooLarge(startMarker);
            break;
        }

        done.append(rest.midRef(position, start - position));
        const int overlap = startMarker.size() - 1;
        const bool scanAgain = replacement.contains(startMarker)
            || (replacement.right(overlap) + rest.midRef(blockEnd, overlap)).contains(startMarker);
        if (scanAgain) {
            work += replacement.size() + (rest.size() - blockEnd);
            rest = replacement + rest.midRef(blockEnd);
            position = 0;
            if (work > kMaxExpansionWork) {
                qCWarning(lcTemplates, "Template: loop %s in %s takes too long, expansion stopped",
                          qPrintable(startMarker), qPrintable(m_sourceName));
                break;
            }
        } else {
            done.append(replacement);
            position = blockEnd;
        }
        start = rest.indexOf(startMarker, position, Qt::CaseSensitive);
    }
    if (count > 0) {
        done.append(rest.midRef(position));
        QString::operator=(std::move(done));
    }
    if (count == 0 && m_warnings)
        qCWarning(lcTemplates, "Template: missing loop %s in %s", qPrintable(startMarker), qPrintable(m_sourceName));
    return count;
}

} // namespace quillon
