#include "status_board.h"

#include "common/shared/statefile.h"
#include "common/base/statusschema.h"
#include "common/external/vornplatforminfo.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QJsonDocument>
#include <QTimer>
#include <QtDebug>

#include <pwd.h>
#include <unistd.h>

namespace {
namespace key = vorn::status;

// Results of a large document come in bursts: one write for each burst.
constexpr int kWriteDelayMs = 200;

// Kept apart from a setting's public result; never written to the status file.
const QString kDetail = QStringLiteral("detail");

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
    m_state.insert(key::kProgram, program);
    m_state.insert(key::kPid, qint64(::getpid()));
    m_state.insert(key::kUser, userName());
    m_state.insert(key::kBackend, VornPlatformInfo::BackendName());
    m_state.insert(key::kLastPull, QJsonValue::Null);
    m_state.insert(key::kExecuting, QJsonValue::Null);
    m_state.insert(key::kPolicy, QJsonValue::Null);
    m_state.insert(key::kUsbControl, false);
    m_state.insert(key::kUsbDevices, QJsonArray());
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
    m_state.insert(key::kLastPull,
                   QJsonObject{{key::kTime, now()},
                               {key::kTaskId, taskId},
                               {key::kJobId, jobId},
                               {key::kOutcome, outcome},
                               {key::kMd5, md5}});
    locker.unlock();
    refresh();
}

void StatusBoard::beginDocument(const PolicyInfo& info, const QMap<QString, QString>& settings)
{
    QMutexLocker locker(&m_mutex);
    const QString started = now();
    m_settings = QJsonArray();
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it)
        m_settings.append(QJsonObject{{key::kKey, it.key()},
                                      {key::kValue, it.value().left(kMaxValueChars)},
                                      {key::kResult, QString()},
                                      {key::kTime, QJsonValue::Null}});
    m_state.insert(key::kExecuting,
                   QJsonObject{{key::kTaskId, info.taskId},
                               {key::kJobId, info.jobId},
                               {key::kSince, started}});
    m_state.insert(key::kPolicy,
                   QJsonObject{{key::kTaskId, info.taskId},
                               {key::kJobId, info.jobId},
                               {key::kStarted, started},
                               {key::kFinished, QJsonValue::Null}});
    locker.unlock();
    refresh();
}

bool StatusBoard::isPrivate(const QString& key, const QString& summary) const
{
    return !summary.isEmpty() || m_privateKeys.contains(key);
}

QString StatusBoard::publicResult(const QString& key, const QString& result,
                                  const QString& summary) const
{
    if (!isPrivate(key, summary))
        return result;
    return summary.isEmpty() ? kPrivateResultText : summary;
}

QString StatusBoard::shownResult(const QString& key, const QString& result,
                                 const QString& summary)
{
    QMutexLocker locker(&m_mutex);
    return publicResult(key, result, summary);
}

void StatusBoard::settingResult(const QString& key, const QString& result, const QString& summary)
{
    QMutexLocker locker(&m_mutex);
    // Settings that record several results show the latest.
    for (int i = 0; i < m_settings.size(); ++i) {
        QJsonObject setting = m_settings.at(i).toObject();
        if (setting.value(key::kKey).toString() != key)
            continue;
        if (isPrivate(key, summary)) {
            setting.insert(key::kResult, publicResult(key, result, summary));
            setting.insert(kDetail, result);
        } else {
            setting.insert(key::kResult, result);
            setting.remove(kDetail);
        }
        setting.insert(key::kTime, now());
        m_settings.replace(i, setting);
        break;
    }
    locker.unlock();
    refresh();
}

void StatusBoard::endDocument()
{
    QMutexLocker locker(&m_mutex);
    m_state.insert(key::kExecuting, QJsonValue::Null);
    QJsonObject policy = m_state.value(key::kPolicy).toObject();
    if (!policy.isEmpty()) {
        policy.insert(key::kFinished, now());
        m_state.insert(key::kPolicy, policy);
    }
    locker.unlock();
    refresh();
}

void StatusBoard::setUsbControl(bool on)
{
    QMutexLocker locker(&m_mutex);
    m_state.insert(key::kUsbControl, on);
    locker.unlock();
    refresh();
}

void StatusBoard::usbDevice(const QString& name, const QString& vendorId,
                            const QString& productId, const QString& serial,
                            const QString& decision, const QString& reason)
{
    const QString held = QStringLiteral("held");
    QMutexLocker locker(&m_mutex);
    QJsonArray devices = m_state.value(key::kUsbDevices).toArray();
    QJsonObject device{{key::kName, name},
                       {key::kVendorId, vendorId},
                       {key::kProductId, productId},
                       {key::kSerial, serial},
                       {key::kDecision, decision},
                       {key::kReason, reason},
                       {key::kTime, now()}};
    if (decision == held)
        device.insert(key::kHeldSince, device.value(key::kTime));
    // One entry per device, the latest decision on it; the oldest go first.
    bool replaced = false;
    for (int i = 0; i < devices.size() && !replaced; ++i) {
        const QJsonObject old = devices.at(i).toObject();
        if (old.value(key::kVendorId) == vendorId
            && old.value(key::kProductId) == productId
            && old.value(key::kSerial) == serial) {
            if (name.isEmpty())
                device.insert(key::kName, old.value(key::kName));
            // A device held again keeps waiting since it was first held.
            if (decision == held && old.value(key::kDecision) == held)
                device.insert(key::kHeldSince, old.value(key::kHeldSince));
            devices.replace(i, device);
            replaced = true;
        }
    }
    if (!replaced)
        devices.append(device);
    while (devices.size() > kMaxDevices)
        devices.removeFirst();
    m_state.insert(key::kUsbDevices, devices);
    locker.unlock();
    refresh();
}

void StatusBoard::usbHoldEnded(const QString& reason)
{
    QMutexLocker locker(&m_mutex);
    QJsonArray devices = m_state.value(key::kUsbDevices).toArray();
    bool changed = false;
    for (int i = 0; i < devices.size(); ++i) {
        QJsonObject device = devices.at(i).toObject();
        if (device.value(key::kDecision) != QLatin1String("held"))
            continue;
        device.insert(key::kDecision, QStringLiteral("released"));
        device.insert(key::kReason, reason);
        device.insert(key::kTime, now());
        device.remove(key::kHeldSince);
        devices.replace(i, device);
        changed = true;
    }
    if (!changed)
        return;
    m_state.insert(key::kUsbDevices, devices);
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
            setting.insert(key::kResult, detail);
        shown.append(setting);
    }
    return shown;
}

QByteArray StatusBoard::snapshot(View view)
{
    return QJsonDocument(shown(view)).toJson(QJsonDocument::Indented);
}

QJsonObject StatusBoard::shown(View view, const QString& updated)
{
    QJsonObject state;
    {
        QMutexLocker locker(&m_mutex);
        state = m_state;
        QJsonObject policy = state.value(key::kPolicy).toObject();
        if (!policy.isEmpty()) {
            policy.insert(key::kSettings, settings(view));
            state.insert(key::kPolicy, policy);
        }
    }
    if (m_live) {
        const QJsonObject live = m_live();
        for (auto it = live.constBegin(); it != live.constEnd(); ++it)
            state.insert(it.key(), it.value());
    }
    state.insert(key::kUpdated, updated);
    return state;
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
    const QString updated = now();
    // Never read back by the programs: a damaged one is simply replaced.
    const vorn::base::StateFile status(m_path, QStringLiteral("status file unreadable:"));
    if (!status.write(shown(View::Public, updated)))
        qWarning() << "status file not written:" << m_path;
    QMutexLocker locker(&m_mutex);
    const QString detailPath = m_detailPath;
    locker.unlock();
    const vorn::base::StateFile detail(detailPath, QStringLiteral("status detail file unreadable:"),
                                       QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!detailPath.isEmpty() && !detail.write(shown(View::Root, updated)))
        qWarning() << "status detail file not written:" << detailPath;
    emit written();
}
