#include "status_board.h"

#include "common/base/filecontent.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QJsonDocument>
#include <QTimer>
#include <QtDebug>

#include <pwd.h>
#include <unistd.h>

namespace {
// Results of a large document come in bursts: one write for each burst.
constexpr int kWriteDelayMs = 200;

// Kept apart from a setting's public result; never written to the status file.
const QString kDetail = QStringLiteral("detail");
const QString kResult = QStringLiteral("result");

QString userName()
{
    const struct passwd* entry = ::getpwuid(::getuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(::getuid());
}
} // namespace

const QString StatusBoard::kPrivateResultText = QStringLiteral("result shown to root only");

StatusBoard::StatusBoard(const QString& program, const QString& path, QObject* parent)
    : QObject(parent)
    , m_path(path)
{
    const QString backend = qEnvironmentVariable("VORN_XWE_BACKEND");
    m_state.insert(QStringLiteral("program"), program);
    m_state.insert(QStringLiteral("pid"), qint64(::getpid()));
    m_state.insert(QStringLiteral("user"), userName());
    m_state.insert(QStringLiteral("backend"), backend.isEmpty() ? QStringLiteral("store") : backend);
    m_state.insert(QStringLiteral("last_pull"), QJsonValue::Null);
    m_state.insert(QStringLiteral("executing"), QJsonValue::Null);
    m_state.insert(QStringLiteral("policy"), QJsonValue::Null);
    m_state.insert(QStringLiteral("usb_control"), false);
    m_state.insert(QStringLiteral("usb_devices"), QJsonArray());
    refresh();
}

QString StatusBoard::path() const
{
    return m_path;
}

QString StatusBoard::now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

void StatusBoard::setLiveValues(std::function<QJsonObject()> values)
{
    m_live = std::move(values);
    refresh();
}

void StatusBoard::setPrivateResults(const QStringList& keys, const QString& detailPath)
{
    QMutexLocker locker(&m_mutex);
    m_privateKeys = keys;
    m_detailPath = detailPath;
    locker.unlock();
    refresh();
}

void StatusBoard::setLastPull(int taskId, int jobId, const QString& outcome, const QString& md5)
{
    QMutexLocker locker(&m_mutex);
    m_state.insert(QStringLiteral("last_pull"),
                   QJsonObject{{QStringLiteral("time"), now()},
                               {QStringLiteral("task_id"), taskId},
                               {QStringLiteral("job_id"), jobId},
                               {QStringLiteral("outcome"), outcome},
                               {QStringLiteral("md5"), md5}});
    locker.unlock();
    refresh();
}

void StatusBoard::beginDocument(const PolicyInfo& info, const QMap<QString, QString>& settings)
{
    QMutexLocker locker(&m_mutex);
    const QString started = now();
    m_settings = QJsonArray();
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it)
        m_settings.append(QJsonObject{{QStringLiteral("key"), it.key()},
                                      {QStringLiteral("value"), it.value().left(kMaxValueChars)},
                                      {QStringLiteral("result"), QString()},
                                      {QStringLiteral("time"), QJsonValue::Null}});
    m_state.insert(QStringLiteral("executing"),
                   QJsonObject{{QStringLiteral("task_id"), info.taskId},
                               {QStringLiteral("job_id"), info.jobId},
                               {QStringLiteral("since"), started}});
    m_state.insert(QStringLiteral("policy"),
                   QJsonObject{{QStringLiteral("task_id"), info.taskId},
                               {QStringLiteral("job_id"), info.jobId},
                               {QStringLiteral("started"), started},
                               {QStringLiteral("finished"), QJsonValue::Null}});
    locker.unlock();
    refresh();
}

void StatusBoard::settingResult(const QString& key, const QString& result, const QString& summary)
{
    QMutexLocker locker(&m_mutex);
    // Settings that record several results show the latest.
    for (int i = 0; i < m_settings.size(); ++i) {
        QJsonObject setting = m_settings.at(i).toObject();
        if (setting.value(QStringLiteral("key")).toString() != key)
            continue;
        if (!summary.isEmpty() || m_privateKeys.contains(key)) {
            setting.insert(kResult, summary.isEmpty() ? kPrivateResultText : summary);
            setting.insert(kDetail, result);
        } else {
            setting.insert(kResult, result);
            setting.remove(kDetail);
        }
        setting.insert(QStringLiteral("time"), now());
        m_settings.replace(i, setting);
        break;
    }
    locker.unlock();
    refresh();
}

void StatusBoard::endDocument()
{
    QMutexLocker locker(&m_mutex);
    m_state.insert(QStringLiteral("executing"), QJsonValue::Null);
    QJsonObject policy = m_state.value(QStringLiteral("policy")).toObject();
    if (!policy.isEmpty()) {
        policy.insert(QStringLiteral("finished"), now());
        m_state.insert(QStringLiteral("policy"), policy);
    }
    locker.unlock();
    refresh();
}

void StatusBoard::setUsbControl(bool on)
{
    QMutexLocker locker(&m_mutex);
    m_state.insert(QStringLiteral("usb_control"), on);
    locker.unlock();
    refresh();
}

void StatusBoard::usbDevice(const QString& name, const QString& vendorId,
                            const QString& productId, const QString& serial,
                            const QString& decision, const QString& reason)
{
    const QString held = QStringLiteral("held");
    const QString heldSince = QStringLiteral("held_since");
    QMutexLocker locker(&m_mutex);
    QJsonArray devices = m_state.value(QStringLiteral("usb_devices")).toArray();
    QJsonObject device{{QStringLiteral("name"), name},
                       {QStringLiteral("vendor_id"), vendorId},
                       {QStringLiteral("product_id"), productId},
                       {QStringLiteral("serial"), serial},
                       {QStringLiteral("decision"), decision},
                       {QStringLiteral("reason"), reason},
                       {QStringLiteral("time"), now()}};
    if (decision == held)
        device.insert(heldSince, device.value(QStringLiteral("time")));
    // One entry per device, the latest decision on it; the oldest go first.
    bool replaced = false;
    for (int i = 0; i < devices.size() && !replaced; ++i) {
        const QJsonObject old = devices.at(i).toObject();
        if (old.value(QStringLiteral("vendor_id")) == vendorId
            && old.value(QStringLiteral("product_id")) == productId
            && old.value(QStringLiteral("serial")) == serial) {
            if (name.isEmpty())
                device.insert(QStringLiteral("name"), old.value(QStringLiteral("name")));
            // A device held again keeps waiting since it was first held.
            if (decision == held && old.value(QStringLiteral("decision")) == held)
                device.insert(heldSince, old.value(heldSince));
            devices.replace(i, device);
            replaced = true;
        }
    }
    if (!replaced)
        devices.append(device);
    while (devices.size() > kMaxDevices)
        devices.removeFirst();
    m_state.insert(QStringLiteral("usb_devices"), devices);
    locker.unlock();
    refresh();
}

void StatusBoard::usbHoldEnded(const QString& reason)
{
    QMutexLocker locker(&m_mutex);
    QJsonArray devices = m_state.value(QStringLiteral("usb_devices")).toArray();
    bool changed = false;
    for (int i = 0; i < devices.size(); ++i) {
        QJsonObject device = devices.at(i).toObject();
        if (device.value(QStringLiteral("decision")) != QLatin1String("held"))
            continue;
        device.insert(QStringLiteral("decision"), QStringLiteral("released"));
        device.insert(QStringLiteral("reason"), reason);
        device.insert(QStringLiteral("time"), now());
        device.remove(QStringLiteral("held_since"));
        devices.replace(i, device);
        changed = true;
    }
    if (!changed)
        return;
    m_state.insert(QStringLiteral("usb_devices"), devices);
    locker.unlock();
    refresh();
}


// Root sees each result whole; everybody else never sees a detail.
QJsonArray StatusBoard::settings(View view) const
{
    QJsonArray shown;
    for (const QJsonValue& item : m_settings) {
        QJsonObject setting = item.toObject();
        const QJsonValue detail = setting.take(kDetail);
        if (view == View::Root && !detail.isUndefined())
            setting.insert(kResult, detail);
        shown.append(setting);
    }
    return shown;
}

QByteArray StatusBoard::snapshot(View view)
{
    QJsonObject state;
    {
        QMutexLocker locker(&m_mutex);
        state = m_state;
        QJsonObject policy = state.value(QStringLiteral("policy")).toObject();
        if (!policy.isEmpty()) {
            policy.insert(QStringLiteral("settings"), settings(view));
            state.insert(QStringLiteral("policy"), policy);
        }
    }
    if (m_live) {
        const QJsonObject live = m_live();
        for (auto it = live.constBegin(); it != live.constEnd(); ++it)
            state.insert(it.key(), it.value());
    }
    state.insert(QStringLiteral("updated"), now());
    return QJsonDocument(state).toJson(QJsonDocument::Indented);
}

QJsonObject StatusBoard::overview()
{
    QJsonObject state;
    {
        QMutexLocker locker(&m_mutex);
        state = m_state;
    }
    if (m_live) {
        const QJsonObject live = m_live();
        for (auto it = live.constBegin(); it != live.constEnd(); ++it)
            state.insert(it.key(), it.value());
    }
    return state;
}

void StatusBoard::refresh()
{
    {
        QMutexLocker locker(&m_mutex);
        if (m_writePending)
            return;
        m_writePending = true;
    }
    QMetaObject::invokeMethod(
        this, [this] { QTimer::singleShot(kWriteDelayMs, this, &StatusBoard::write); },
        Qt::QueuedConnection);
}

void StatusBoard::write()
{
    {
        QMutexLocker locker(&m_mutex);
        m_writePending = false;
    }
    if (!vorn::base::FileContent::writeAtomic(m_path, snapshot()))
        qWarning() << "status file not written:" << m_path;
    QMutexLocker locker(&m_mutex);
    const QString detailPath = m_detailPath;
    locker.unlock();
    if (!detailPath.isEmpty()
        && !vorn::base::FileContent::writeAtomic(detailPath, snapshot(View::Root),
                                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        qWarning() << "status detail file not written:" << detailPath;
    emit written();
}
