#pragma once

#include "policy_queue.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// What a running program tells an administrator: a status file, readable by
// all and free of secrets, replaced atomically whenever something changes
// (server, last and next pull, the document being executed and each of its
// results, owed receipts, USB control and the devices seen). Results that may
// carry what a child run as root printed show only their summary there; their
// whole text goes to a detail file that only root can read. Setters may be
// called from any thread; writes are gathered and made on the main thread.
class StatusBoard : public QObject
{
    Q_OBJECT
public:
    StatusBoard(const QString& program, const QString& path, QObject* parent = nullptr);

    QString path() const;
    // Values read when the file is written (main thread): next pull, owed
    // receipts, server and machine id.
    void setLiveValues(std::function<QJsonObject()> values);

    // Results of these keys are root's: every user sees their summary, or
    // kPrivateResultText when none came with them; the whole status, with
    // their full texts, goes to `detailPath` (mode 0600).
    void setPrivateResults(const QStringList& keys, const QString& detailPath);

    void setLastPull(int taskId, int jobId, const QString& outcome, const QString& md5);
    void beginDocument(const PolicyInfo& info, const QMap<QString, QString>& settings);
    // A non-empty summary stands in for the result wherever every user looks.
    void settingResult(const QString& key, const QString& result,
                       const QString& summary = QString());
    void endDocument();
    // A result as every user sees it: its summary, kPrivateResultText, or
    // the result itself when it is not root's. Any thread.
    QString shownResult(const QString& key, const QString& result,
                        const QString& summary = QString());
    void setUsbControl(bool on);
    void usbDevice(const QString& name, const QString& vendorId, const QString& productId,
                   const QString& serial, const QString& decision, const QString& reason);
    // Devices shown as held ("held", with "held_since") are no longer held.
    void usbHoldEnded(const QString& reason);

    // Something read through the live values changed: write again soon.
    void refresh();

    enum class View { Public, Root };
    // The status as JSON text, as the status file (Public) or the detail
    // file (Root) holds it.
    QByteArray snapshot(View view = View::Public);
    // The status without the settings of the document (main thread): what a
    // one-line summary needs, cheap also for a large document.
    QJsonObject overview();

    static QString now();
    static const QString kPrivateResultText;
    static constexpr int kMaxValueChars = 200;
    static constexpr int kMaxDevices = 200;

signals:
    // The status file was written again (main thread).
    void written();

private:
    Q_DISABLE_COPY(StatusBoard)
    void write();
    // Both with m_mutex held.
    bool isPrivate(const QString& key, const QString& summary) const;
    QString publicResult(const QString& key, const QString& result, const QString& summary) const;
    QJsonArray settings(View view) const;
    // `updated` is given by a write of both files, so the two carry one time.
    QJsonObject shown(View view, const QString& updated = now());

    QString m_path;
    QString m_detailPath;
    QStringList m_privateKeys;
    std::function<QJsonObject()> m_live;
    QMutex m_mutex;
    QJsonObject m_state;
    QJsonArray m_settings;
    bool m_writePending = false;
};
