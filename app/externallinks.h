#pragma once

#include <QObject>
#include <QSet>
#include <QUrl>

// Hands links of schemes the browser engine does not handle to the desktop's
// handler for the scheme: QDesktopServices passes every link of a watched
// scheme here. Without a handler the link only leaves a debug line.
class ExternalLinks : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ExternalLinks)

public:
    // The one instance, owned by the application object.
    static ExternalLinks* instance();
    static bool isExternal(const QUrl& url);

    void watch(const QString& scheme);

public slots:
    // Called by QDesktopServices::openUrl for a watched scheme.
    void open(const QUrl& url);

private:
    explicit ExternalLinks(QObject* parent);
    ~ExternalLinks() override;

    QSet<QString> m_watched;
};
