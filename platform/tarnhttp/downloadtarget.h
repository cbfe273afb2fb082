#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The file a download is written to: a private temporary file in the target's
// directory that replaces the target in one rename once the download is
// complete. Until then the target stays untouched; a discarded or abandoned
// download leaves nothing behind.
class DownloadTarget
{
public:
    explicit DownloadTarget(const QString& targetPath);
    ~DownloadTarget();

    bool open();
    bool write(const char* data, qint64 size);
    bool commit();
    void discard();

    QString targetPath() const { return m_targetPath; }
    QString tempPath() const { return QString::fromLocal8Bit(m_tempPath); }
    // What went wrong in the last failed step.
    QString error() const { return m_error; }

private:
    Q_DISABLE_COPY(DownloadTarget)

    bool fail(const QString& what, int errnum);

    QString m_targetPath;
    QByteArray m_tempPath;
    QString m_error;
    int m_fd = -1;
};
