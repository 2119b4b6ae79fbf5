#pragma once

#include <QByteArray>
#include <QList>

namespace quillon {

// One cookie as sent in a Set-Cookie header line.
class HttpCookie
{
public:
    HttpCookie();
    HttpCookie(const QByteArray& name, const QByteArray& value, int maxAge,
               const QByteArray& path = QByteArray(), const QByteArray& comment = QByteArray(),
               const QByteArray& domain = QByteArray(), bool secure = false, bool httpOnly = false);

    QByteArray name() const { return m_name; }
    QByteArray value() const { return m_value; }
    QByteArray comment() const { return m_comment; }
    QByteArray domain() const { return m_domain; }
    int maxAge() const { return m_maxAge; }
    QByteArray path() const { return m_path; }
    bool secure() const { return m_secure; }
    bool httpOnly() const { return m_httpOnly; }
    int version() const { return m_version; }

    // The text that follows "Set-Cookie: ".
    QByteArray toHeaderValue() const;

    // Splits a Cookie header value at semicolons outside double quotes; the
    // quotes are dropped, pieces are trimmed and empty pieces skipped.
    static QList<QByteArray> splitSemicolonList(const QByteArray& source);

private:
    QByteArray m_name;
    QByteArray m_value;
    QByteArray m_comment;
    QByteArray m_domain;
    int m_maxAge = 0;
    QByteArray m_path;
    bool m_secure = false;
    bool m_httpOnly = false;
    int m_version = 1;
};

} // namespace quillon
