#pragma once

#include <QObject>
#include <QSet>
#include <QString>

class QWebEngineDownloadItem;
class QWebEngineProfile;
class ShellPolicy;

// Saves what the hosted application downloads (a call recording, a report)
// in the user's download folder, under the name the page suggests made safe
// and unique: an existing file is never overwritten. Downloads of another
// origin (a frame of another site; a data: URL, whose origin no one can
// tell), downloads no page started (saving a whole page), files beyond
// kMaxDownloadBytes and files the disk has no room for are refused, and the
// tray says so.
class DownloadSaver : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadSaver)

public:
    DownloadSaver(QWebEngineProfile* profile, const ShellPolicy* policy, QObject* parent);

    static constexpr qint64 kMaxDownloadBytes = 2LL << 30;

    // The last path part of a suggested name, made safe the way browsers do:
    // no control, format or bidirectional characters, nothing a file system
    // refuses (colons, reserved device names, trailing dots and spaces), no
    // leading dot, a bounded length, and ".download" after an extension that
    // runs code. "download" when nothing is left.
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
    void refuse(QWebEngineDownloadItem* download, const QString& why);

    const ShellPolicy* m_policy;
    QSet<QString> m_inProgress; // paths of downloads not finished yet
};
