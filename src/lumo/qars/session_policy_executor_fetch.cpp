// The session executor's memory of what it downloaded: a document re-applied
// without a task uses the pictures and icons it already fetched.

#include "session_config.h"
#include "session_policy_executor.h"
#include "session_policy_executor_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <unistd.h>

void SessionPolicyExecutor::documentLoaded()
{
    // A new document forgets what the previous one fetched: all of it is fetched.
    d->fetched.begin(documentIdentity());
    // What this document leaves out is no longer held; a document that could not be read
    // changes nothing.
    if (!documentIdentity().isEmpty())
        SessionConfig::GetInstance()->holdSettingsOf(getPolicy().keys());
}

bool SessionPolicyExecutor::reusesFetched(const QString& url, const QString& localPath)
{
    if (isTaskDocument() || !d->fetched.holds(documentIdentity(), url, localPath))
        return false;
    qInfo() << "already fetched for this policy, not downloaded again:" << localPath;
    return true;
}

void SessionPolicyExecutor::rememberFetched(const QString& identity, const QString& url,
                                            const QString& localPath)
{
    d->fetched.fetched(identity, url, localPath);
}

QString SessionPolicyExecutor::keptWallpaper(const QString& localPath)
{
    const QFileInfo info(localPath);
    return info.absolutePath() + QStringLiteral("/.kept-") + info.fileName();
}

void SessionPolicyExecutor::keepWallpaper(const QString& identity, const QString& url,
                                          const QString& localPath)
{
    const QString kept = keptWallpaper(localPath);
    // The directory keeps the current wallpaper only.
    const QFileInfo info(localPath);
    const QFileInfoList older = QDir(info.absolutePath())
                                    .entryInfoList({QStringLiteral(".kept-*")},
                                                   QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& file : older)
        QFile::remove(file.absoluteFilePath());
    // A second name of the same file: nothing is copied.
    if (::link(QFile::encodeName(localPath).constData(), QFile::encodeName(kept).constData()) != 0) {
        qWarning() << "wallpaper not kept, the next application downloads it again:" << kept;
        d->fetched.forget(kept);
        return;
    }
    rememberFetched(identity, url, kept);
}

bool SessionPolicyExecutor::putBack(const QString& kept, const QString& localPath)
{
    QFile::remove(localPath);
    if (::link(QFile::encodeName(kept).constData(), QFile::encodeName(localPath).constData()) == 0)
        return true;
    qWarning() << "kept wallpaper could not be put back, downloading it again:" << kept;
    return false;
}
