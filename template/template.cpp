#include "template.h"

#include "logging.h"

#include <QSet>
#include <QStringList>
#include <QStringRef>
#include <QtDebug>

#include <algorithm>

namespace quillon {

namespace {
// Nested blocks of one loop name multiply on every pass; a degenerate
// template must not grow until memory runs out.
constexpr int kMaxDocumentSize = 4 * 1024 * 1024;
// Every expansion is scanned once more, so a loop nested in itself can copy
// the same text many times over (one repetition of a block that holds
// further blocks of its own loop copies their bodies again). The sum of all
// expansions of one loop call is held to this many characters.
constexpr qint64 kMaxExpansionWork = 4LL * kMaxDocumentSize;

void appendReversed(QString& to, const QChar* from, int count)
{
    const int old = to.size();
    to.resize(old + count);
    std::reverse_copy(from, from + count, to.data() + old);
}

QString reversed(const QString& text)
{
    QString result;
    appendReversed(result, text.constData(), text.size());
    return result;
}

// The first occurrence of a marker (given reversed) at or after offset
// `from` of the text that `pending` holds reversed, as an offset of that text.
int findAfter(const QString& pending, const QString& reversedMarker, int from)
{
    const int last = pending.size() - from - reversedMarker.size();
    if (last < 0)
        return -1;
    const int at = pending.lastIndexOf(reversedMarker, last, Qt::CaseSensitive);
    return at < 0 ? -1 : pending.size() - at - reversedMarker.size();
}

// Offsets [from, to) of the text that `pending` holds reversed.
QString textOf(const QString& pending, int from, int to)
{
    QString result;
    appendReversed(result, pending.constData() + pending.size() - to, to - from);
    return result;
}
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

// Each block is replaced by its expansion, and the search for the next block
// starts where the expansion starts, so that a block an expansion yields is
// expanded too. The text still to be scanned is kept reversed: an expansion
// goes in front of it in time that grows with the expansion, never with the
// rest of the document, and every character is scanned once on its way to
// the result. The whole expansion is bounded by what it produces.
int Template::loop(const QString& name, int repetitions)
{
    const QString startMarker = QStringLiteral("{loop ") + name + QLatin1Char('}');
    const QString elseMarker = QStringLiteral("{else ") + name + QLatin1Char('}');
    const QString endMarker = QStringLiteral("{end ") + name + QLatin1Char('}');
    const QString startReversed = reversed(startMarker);
    const QString elseReversed = reversed(elseMarker);
    const QString endReversed = reversed(endMarker);

    // Markers inside the body that follow the repetition's name.
    const QString member = name + QLatin1Char('.');
    const char* const prefixes[] = {"{", "{if ", "{ifnot ", "{else ", "{end ", "{loop "};
    QStringList markers;
    for (const char* prefix : prefixes)
        markers.append(QLatin1String(prefix) + member);

    QString done; // expanded, never scanned again
    done.reserve(size());
    QString pending = reversed(*this);
    int count = 0;
    qint64 work = 0;
    for (int start = findAfter(pending, startReversed, 0); start >= 0; start = findAfter(pending, startReversed, 0)) {
        appendReversed(done, pending.constData() + pending.size() - start, start);
        pending.chop(start);
        const int end = findAfter(pending, endReversed, startMarker.size());
        if (end < 0) {
            // The block is left as it is and the expansion of this loop ends,
            // so an unmatched marker can never make it loop forever.
            qCWarning(lcTemplates, "Template: missing loop end %s in %s", qPrintable(endMarker), qPrintable(m_sourceName));
            break;
        }
        ++count;
        // Looked for inside the block only.
        const int bodyStart = startMarker.size();
        const int elseInBody = QStringRef(&pending, pending.size() - end, end - bodyStart)
                                   .lastIndexOf(elseReversed, -1, Qt::CaseSensitive);
        const int elsePosition = elseInBody < 0 ? -1 : end - elseInBody - elseMarker.size();
        const int blockEnd = end + endMarker.size();
        const qint64 documentSize = qint64(done.size()) + pending.size();

        QString replacement;
        if (repetitions > 0) {
            const QString body = textOf(pending, bodyStart, elsePosition >= 0 ? elsePosition : end);
            if (documentSize - blockEnd + qint64(body.size()) * repetitions > kMaxDocumentSize) {
                warnTooLarge(startMarker);
                break;
            }
            if (!body.contains(member, Qt::CaseSensitive)) {
                replacement = body.repeated(repetitions);
            } else {
                replacement.reserve(body.size() * repetitions);
                for (int i = 0; i < repetitions; ++i) {
                    QString copy = body;
                    const QString repetitionMember = name + QString::number(i) + QLatin1Char('.');
                    for (int m = 0; m < markers.size(); ++m)
                        copy.replace(markers.at(m), QLatin1String(prefixes[m]) + repetitionMember, Qt::CaseSensitive);
                    replacement += copy;
                }
            }
        } else if (elsePosition >= 0) {
            replacement = textOf(pending, elsePosition + elseMarker.size(), end);
        }
        if (documentSize - blockEnd + replacement.size() > kMaxDocumentSize) {
            warnTooLarge(startMarker);
            break;
        }
        work += replacement.size();
        if (work > kMaxExpansionWork) {
            qCWarning(lcTemplates, "Template: loop %s in %s takes too long, expansion stopped", qPrintable(startMarker),
                      qPrintable(m_sourceName));
            break;
        }
        pending.chop(blockEnd);
        appendReversed(pending, replacement.constData(), replacement.size());
    }
    if (count > 0) {
        appendReversed(done, pending.constData(), pending.size());
        QString::operator=(std::move(done));
    }
    if (count == 0 && m_warnings)
        qCWarning(lcTemplates, "Template: missing loop %s in %s", qPrintable(startMarker), qPrintable(m_sourceName));
    return count;
}

} // namespace quillon
