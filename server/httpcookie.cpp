#include "httpcookie.h"

namespace quillon {

HttpCookie::HttpCookie() = default;

HttpCookie::HttpCookie(const QByteArray& name, const QByteArray& value, int maxAge,
                       const QByteArray& path, const QByteArray& comment,
                       const QByteArray& domain, bool secure, bool httpOnly)
    : m_name(name)
    , m_value(value)
    , m_comment(comment)
    , m_domain(domain)
    , m_maxAge(maxAge)
    , m_path(path)
    , m_secure(secure)
    , m_httpOnly(httpOnly)
{
}

QByteArray HttpCookie::toHeaderValue() const
{
    QByteArray buffer(m_name);
    buffer.append('=').append(m_value);
    if (!m_comment.isEmpty())
        buffer.append("; Comment=").append(m_comment);
    if (!m_domain.isEmpty())
        buffer.append("; Domain=").append(m_domain);
    if (m_maxAge != 0)
        buffer.append("; Max-Age=").append(QByteArray::number(m_maxAge));
    if (!m_path.isEmpty())
        buffer.append("; Path=").append(m_path);
    if (m_secure)
        buffer.append("; Secure");
    if (m_httpOnly)
        buffer.append("; HttpOnly");
    buffer.append("; Version=").append(QByteArray::number(m_version));
    return buffer;
}

QList<QByteArray> HttpCookie::splitSemicolonList(const QByteArray& source)
{
    QList<QByteArray> list;
    QByteArray piece;
    bool insideQuotes = false;
    for (char c : source) {
        if (c == '"') {
            insideQuotes = !insideQuotes;
        } else if (c == ';' && !insideQuotes) {
            piece = piece.trimmed();
            if (!piece.isEmpty())
                list.append(piece);
            piece.clear();
        } else {
            piece.append(c);
        }
    }
    piece = piece.trimmed();
    if (!piece.isEmpty())
        list.append(piece);
    return list;
}

} // namespace quillon
