#pragma once

#include "policy_queue.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

#include <functional>

// What a running program tells an administrator: a status file, readable by
// all and free of secrets, replaced atomically whenever something changes
// (server, last and next pull, the document being executed and each of its
// results, owed receipts, USB control and the devices seen). Setters may be
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

    void setLastPull(int taskId, int jobId, const QString& outcome, const QString& md5);
    void beginDocument(const PolicyInfo& info, const QMap<QString, QString>& settings);
    void settingResult(const QString& key, const QString& result);
    void endDocument();
    void setUsbControl(bool on);
    void usbDevice(const QString& name, const QString& vendorId, const QString& productId,
                   const QString& serial, const QString& decision, const QString& reason);
    // Devices shown as held ("held", with "held_since") are no longer held.
    void usbHoldEnded(const QString& reason);

    // Something read through the live values changed: write again soon.
    void refresh();

    // The status as JSON text, as the file holds it.
    QByteArray snapshot();

    static QString now();
    static constexpr int kMaxValueChars = 200;
    static constexpr int kMaxDevices = 200;

private:
    Q_DISABLE_COPY(StatusBoard)
    void write();

    QString m_path;
    std::function<QJsonObject()> m_live;
    QMutex m_mutex;
    QJsonObject m_state;
    QJsonArray m_settings;
    bool m_writePending = false;
};
