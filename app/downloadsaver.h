#pragma once

#include <QObject>
#include <QSet>
#include <QString>

class QWebEngineDownloadItem;
class QWebEngineProfile;

// Saves what the hosted page downloads (a call recording, a report) in the
// user's download folder, under the name the page suggests reduced to a file
// name and made unique: an existing file is never overwritten. Downloads no
// page started (saving a whole page) are refused.
class DownloadSaver : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadSaver)

public:
    DownloadSaver(QWebEngineProfile* profile, QObject* parent);

    // The last path part of a suggested name ("download" when none is left).
    static QString safeFileName(const QString& suggested);
    // The file name, or "name (n).ext", that names no file in the directory
    // nor one of `taken`; empty when a thousand are all in use.
    static QString uniqueFileName(const QString& directory, const QString& fileName, const QSet<QString>& taken);

signals:
    // A download ended: saved, or failed with the reason.
    void finished(const QString& text, bool failed);

private:
    void handleDownloadRequested(QWebEngineDownloadItem* download);
    void handleFinished(QWebEngineDownloadItem* download);

    QSet<QString> m_inProgress; // paths of downloads not finished yet
};
