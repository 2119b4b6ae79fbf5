#include "template.h"

#include "logging.h"

#include <QSet>
#include <QVarLengthArray>
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

// The text still to be scanned, kept at the end of a buffer with room in
// front of it: an expansion goes in front by one copy, in time that grows
// with the expansion and never with the rest of the document.
class PendingText
{
public:
    explicit PendingText(const QString& text) : m_buffer(text) {}

    int size() const { return m_buffer.size() - m_head; }
    QStringRef mid(int position, int count) const { return QStringRef(&m_buffer, m_head + position, count); }
    QStringRef all() const { return mid(0, size()); }
    int indexOf(const QString& marker, int from) const { return all().indexOf(marker, from, Qt::CaseSensitive); }
    void drop(int count) { m_head += count; }

    void prepend(const QString& text)
    {
        if (text.size() > m_head) {
            // Room for as much again as there is, so that copies stay few.
            const int length = size();
            QString grown(text.size() + 2 * length + 64, Qt::Uninitialized);
            std::copy_n(m_buffer.constData() + m_head, length, grown.data() + grown.size() - length);
            m_head = grown.size() - length;
            m_buffer = std::move(grown);
        }
        m_head -= text.size();
        std::copy_n(text.constData(), text.size(), m_buffer.data() + m_head);
    }

private:
    QString m_buffer;
    int m_head = 0;
};

// What may come before a loop's name in a marker of one of its repetitions.
const QLatin1String kMemberPrefixes[] = {QLatin1String("{"),      QLatin1String("{if "),  QLatin1String("{ifnot "),
                                         QLatin1String("{else "), QLatin1String("{end "), QLatin1String("{loop ")};

QLatin1String decimal(int value, char (&buffer)[12])
{
    char* digit = buffer + sizeof buffer;
    do {
        *--digit = char('0' + value % 10);
        value /= 10;
    } while (value > 0);
    return QLatin1String(digit, int(buffer + sizeof buffer - digit));
}

// Whether a repetition's number can go straight after the name in every
// member marker: not when the name holds a brace, a dot or a digit, with
// which markers could overlap or a number put in could make another.
bool isPlainName(const QString& name)
{
    return std::none_of(name.cbegin(), name.cend(),
                        [](QChar c) { return c == QLatin1Char('{') || c == QLatin1Char('.') || c.isDigit(); });
}

// The body once per repetition, the loop's members in each copy renamed for
// it: {row.a} becomes {row0.a}, {row1.a} and so on, and likewise the markers
// after "{if ", "{ifnot ", "{else ", "{end " and "{loop ". `member` is the
// name and a dot.
QString repeatBody(const QString& body, const QString& name, const QString& member, bool plainName, int repetitions)
{
    int at = body.indexOf(member, 0, Qt::CaseSensitive);
    if (at < 0)
        return body.repeated(repetitions);
    QString result;
    if (plainName) {
        // Where each repetition's number goes.
        QVarLengthArray<int, 16> positions;
        for (; at >= 0; at = body.indexOf(member, at + member.size(), Qt::CaseSensitive)) {
            for (const QLatin1String prefix : kMemberPrefixes) {
                if (at >= prefix.size() && body.midRef(at - prefix.size(), prefix.size()) == prefix) {
                    positions.append(at + name.size());
                    break;
                }
            }
        }
        result.reserve(body.size() * repetitions + positions.size() * 8 * repetitions);
        for (int i = 0; i < repetitions; ++i) {
            char buffer[12];
            const QLatin1String number = decimal(i, buffer);
            int copied = 0;
            for (int position : positions) {
                result.append(body.constData() + copied, position - copied).append(number);
                copied = position;
            }
            result.append(body.constData() + copied, body.size() - copied);
        }
        return result;
    }
    for (int i = 0; i < repetitions; ++i) {
        QString copy = body;
        const QString repetitionMember = name + QString::number(i) + QLatin1Char('.');
        for (const QLatin1String prefix : kMemberPrefixes)
            copy.replace(prefix + member, prefix + repetitionMember, Qt::CaseSensitive);
        result += copy;
    }
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
// expanded too. Every character is scanned once on its way to the result,
// and the whole expansion is bounded by what it produces.
int Template::loop(const QString& name, int repetitions)
{
    const QString startMarker = QStringLiteral("{loop ") + name + QLatin1Char('}');
    const QString elseMarker = QStringLiteral("{else ") + name + QLatin1Char('}');
    const QString endMarker = QStringLiteral("{end ") + name + QLatin1Char('}');
    const QString member = name + QLatin1Char('.');
    const bool plainName = isPlainName(name);

    QString done; // expanded, never scanned again
    done.reserve(size());
    PendingText pending(*this);
    int count = 0;
    qint64 work = 0;
    for (int start = pending.indexOf(startMarker, 0); start >= 0; start = pending.indexOf(startMarker, 0)) {
        done.append(pending.mid(0, start));
        pending.drop(start);
        const int bodyStart = startMarker.size();
        const int end = pending.indexOf(endMarker, bodyStart);
        if (end < 0) {
            // The block is left as it is and the expansion of this loop ends,
            // so an unmatched marker can never make it loop forever.
            qCWarning(lcTemplates, "Template: missing loop end %s in %s", qPrintable(endMarker), qPrintable(m_sourceName));
            break;
        }
        ++count;
        // Looked for inside the block only.
        const int elseInBody = pending.mid(bodyStart, end - bodyStart).indexOf(elseMarker, 0, Qt::CaseSensitive);
        const int elsePosition = elseInBody < 0 ? -1 : bodyStart + elseInBody;
        const int blockEnd = end + endMarker.size();
        const qint64 documentSize = qint64(done.size()) + pending.size();

        QString replacement;
        if (repetitions > 0) {
            const QString body = pending.mid(bodyStart, (elsePosition >= 0 ? elsePosition : end) - bodyStart).toString();
            if (documentSize - blockEnd + qint64(body.size()) * repetitions > kMaxDocumentSize) {
                warnTooLarge(startMarker);
                break;
            }
            replacement = repeatBody(body, name, member, plainName, repetitions);
        } else if (elsePosition >= 0) {
            const int elseBodyStart = elsePosition + elseMarker.size();
            replacement = pending.mid(elseBodyStart, end - elseBodyStart).toString();
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
        pending.drop(blockEnd);
        pending.prepend(replacement);
    }
    if (count > 0) {
        done.append(pending.all());
        QString::operator=(std::move(done));
    }
    if (count == 0 && m_warnings)
        qCWarning(lcTemplates, "Template: missing loop %s in %s", qPrintable(startMarker), qPrintable(m_sourceName));
    return count;
}

} // namespace quillon
