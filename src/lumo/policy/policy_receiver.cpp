#include "policy_receiver.h"
#include "policy_receiver_p.h"

#include "common/dbus/vorng.h"
#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/external/asynchttpclientapi.h"
#include "server_endpoint.h"
#include "service_signals.h"

#include <QDateTime>
#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QtDebug>

#include <algorithm>
#include <climits>

namespace {
constexpr int kMinuteMs = 60000;
constexpr int kRequestTimeout = 60;
// The property read blocks the main thread; do not let a stuck service hold it long.
constexpr int kPropertyTimeoutMs = 5000;

// Minutes to timer milliseconds; an unusable value falls back to the default.
int intervalMs(int minutes)
{
    if (minutes <= 0) {
        qWarning() << "pull policy interval not usable:" << minutes
                   << "using default interval:" << vorn::DefaultPullInterval;
        minutes = vorn::DefaultPullInterval;
    }
    if (minutes > INT_MAX / kMinuteMs) {
        qWarning() << "pull policy interval too large:" << minutes << "using:" << INT_MAX / kMinuteMs;
        minutes = INT_MAX / kMinuteMs;
    }
    return minutes * kMinuteMs;
}
} // namespace

PolicyReceiver::PolicyReceiver(const PolicyInfo& info, QObject* parent)
    : QObject(parent)
    , d(new PolicyReceiverPrivate(info, this))
{
    m_interface = new vorngInterface(vorn::vorngService(), vorn::vorngPath(),
                                     QDBusConnection::systemBus(), this);
    m_interface->setTimeout(kPropertyTimeoutMs);
    qInfo() << "ip" << d->host << ":port:" << d->port;
    initTimer();
}

PolicyReceiver::~PolicyReceiver() = default;

void PolicyReceiver::initTimer()
{
    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("pullPolicyTimer"));
    // Re-armed at every tick for the next phase point; precise, so that the
    // ticks of a fleet stay where their phases put them.
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &PolicyReceiver::onPullPolicyTimerOut);

    int interval = vorn::DefaultPullInterval;
    if (m_interface->isValid()) {
        const QVariant value = m_interface->property("TimeInterval");
        bool ok = false;
        interval = value.toInt(&ok);
        if (!value.isValid() || !ok) {
            qWarning() << "pull policy interval could not be read:" << m_interface->lastError().message();
            interval = 0;
        }
    } else {
        qWarning() << "core client service not available:" << m_interface->lastError().message();
    }
    qInfo() << "init pull policy timer, interval: " << interval;
    m_intervalMs = intervalMs(interval);
    armTimer();

    auto* serviceSignals = new ServiceSignals(ServiceSignals::IntervalChange, this);
    connect(serviceSignals, &ServiceSignals::timeIntervalChanged, this,
            &PolicyReceiver::onTimeIntervalChanged);
}

void PolicyReceiver::onTimeIntervalChanged(int interval)
{
    qDebug() << "pull policy interval chaged:" << interval;
    const int ms = intervalMs(interval);
    // Only a real change moves the next tick.
    if (ms != m_intervalMs) {
        m_intervalMs = ms;
        armTimer();
    }
}

void PolicyReceiver::armTimer()
{
    if (m_stopped)
        return;
    const qint64 delay = m_schedule.nextTickDelayMs(d->machineId, m_intervalMs);
    m_timer->start(int(std::min<qint64>(delay, INT_MAX)));
    qInfo() << "next timer pull in" << delay / 1000 << "s, phase"
            << PullSchedule::phaseMs(d->machineId, m_intervalMs) / 1000 << "s of"
            << m_intervalMs / 1000 << "s";
}

qint64 PolicyReceiver::pullIntervalMs() const
{
    return m_intervalMs;
}

PullSchedule& PolicyReceiver::schedule()
{
    return m_schedule;
}

void PolicyReceiver::setPolicyQueue(PolicyQueue* queue)
{
    d->queue = queue;
}

void PolicyReceiver::onPullPolicyTimerOut()
{
    qInfo() << "onPullPolicyTimerOut ---policy_Interval";
    armTimer();
    if (!m_stopped && !m_schedule.mayPull()) {
        holdTimerPull();
        return;
    }
    pullPolicy(-1, -1);
}

// The server asked for quiet or keeps failing: the stored document is applied
// once more, as after a failed pull, without asking the server.
void PolicyReceiver::holdTimerPull()
{
    const QString until =
        QDateTime::fromMSecsSinceEpoch(m_schedule.heldUntil(), Qt::UTC).toString(Qt::ISODate);
    const QString reason =
        QStringLiteral("policy pull held back until %1 (%2)").arg(until, m_schedule.holdReason());
    qInfo().noquote() << reason;
    emit pullCompleted(-1, -1, QStringLiteral("not sent: ") + reason);
    requeueStored(completionRecord(-1, -1), reason);
}

// The core client service writes the server, the machine id and the client
// certificate when the machine is enrolled, which may be after the program
// started, and again when they change: every pull takes the current ones.
void PolicyReceiver::refreshServer()
{
    const ServerEndpoint::Snapshot now = ServerEndpoint::instance()->current();
    if (!now.host.isEmpty()) {
        d->host = now.host;
        d->port = now.port;
    }
    if (!now.machineId.isEmpty())
        d->machineId = now.machineId;
}

QString PolicyReceiver::server() const
{
    return d->host.isEmpty() ? QString() : d->host + QLatin1Char(':') + d->port;
}

QString PolicyReceiver::machineId() const
{
    return d->machineId;
}

QString PolicyReceiver::md5() const
{
    return d->md5;
}

qint64 PolicyReceiver::nextPullInMs() const
{
    return m_timer->isActive() ? m_timer->remainingTime() : -1;
}

void PolicyReceiver::stopPulling()
{
    m_stopped = true;
    m_timer->stop();
    m_waitingPulls.clear();
}

int PolicyReceiver::pullPolicy(int taskId, int jobId)
{
    if (m_stopped) {
        qInfo() << "pulls stopped, no pull for task" << taskId << "job" << jobId;
        return 0;
    }
    if (m_runningPulls < kMaxRunningPulls) {
        startPull(taskId, jobId);
        return 0;
    }
    const bool forTask = taskId > 0 && jobId > 0;
    if (!forTask && std::any_of(m_waitingPulls.cbegin(), m_waitingPulls.cend(),
                                [](const QPair<int, int>& p) { return p.first <= 0 || p.second <= 0; })) {
        qInfo() << "pull without a task already waiting, not queued twice";
        return 0;
    }
    // Each answer may be as large as the HTTPS client allows: a burst of
    // pushes waits here, every task keeping its own pull.
    m_waitingPulls.enqueue(qMakePair(taskId, jobId));
    qInfo() << "pull waits for a running one to end: task" << taskId << "job" << jobId
            << "waiting:" << m_waitingPulls.size();
    if (forTask)
        emit pullStarted(taskId, jobId);
    return 0;
}

void PolicyReceiver::startNextPull()
{
    while (!m_stopped && m_runningPulls < kMaxRunningPulls && !m_waitingPulls.isEmpty()) {
        const QPair<int, int> next = m_waitingPulls.dequeue();
        startPull(next.first, next.second, false);
    }
}

void PolicyReceiver::startPull(int taskId, int jobId, bool announce)
{
    ++m_runningPulls;
    d->taskId = taskId;
    d->jobId = jobId;
    refreshServer();
    // One pass over the template, so that a value holding "%n" is never re-filled.
    const QString url = d->info.url.arg(d->host, d->port,
                                        QString::fromLatin1(QUrl::toPercentEncoding(d->machineId)),
                                        QString::fromLatin1(QUrl::toPercentEncoding(d->md5)));
    qInfo() << "pullPolicy --- url:" << url;
    if (announce && taskId > 0 && jobId > 0)
        emit pullStarted(taskId, jobId);

    // The completion belongs to this pull; the receiver may be gone by then.
    QPointer<PolicyReceiver> self(this);
    AsyncHttpClientApi::getInstance()->getRequest(
        [self, taskId, jobId](const AsyncHttpClientApi::Response& answer) {
            if (!self)
                return;
            --self->m_runningPulls;
            self->m_schedule.pullAnswered(answer.code, answer.header("Retry-After"),
                                          self->m_intervalMs);
            self->completePull(taskId, jobId, answer.body, answer.code);
            if (self)
                self->startNextPull();
        },
        url, kRequestTimeout);
}

QString PolicyReceiver::chooseCacheFile(int taskId, int jobId) const
{
    QString name;
    if (taskId > 0 && jobId > 0) {
        name = QStringLiteral("%1_%2").arg(taskId).arg(jobId);
    } else {
        const uint timeT = static_cast<uint>(QDateTime::currentSecsSinceEpoch());
        qInfo() << "onRequestPolicy" << "---cache timeT---:" << timeT;
        name = QStringLiteral("%1").arg(timeT);
    }
    // A file of the same name may still wait for the executor; never overwrite
    // it. The suffix keeps the base name, which is what start-up reads back.
    const QString dir = d->info.cachePath;
    QString path = dir + QLatin1Char('/') + name;
    for (int n = 1; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++n)
        path = dir + QLatin1Char('/') + name + QLatin1Char('.') + QString::number(n);
    return path;
}

void PolicyReceiver::completePull(int taskId, int jobId, const QString& msg, int nCode)
{
    qInfo() << "asyncPullPolicy --- nCode:" << nCode;
    if (m_stopped) {
        qInfo() << "pulls stopped, answer dropped for task" << taskId << "job" << jobId;
        return;
    }

    const PolicyInfo record = completionRecord(taskId, jobId);
    QString reason;
    if (nCode < 200 || nCode > 299) {
        // No answer at all, or an HTTP error: the body is no policy document.
        reason = QStringLiteral("policy pull failed, code %1").arg(nCode);
        if (nCode < 100 && !msg.isEmpty())
            reason += QStringLiteral(": ") + msg.left(200);
    } else if (parsePolicy(record.cachePath, record.policyPath, msg.toUtf8(), &reason)) {
        emit pullCompleted(taskId, jobId, QStringLiteral("accepted"));
        queueRecord(record);
        return;
    }
    qWarning() << "policy answer not accepted:" << reason << "code:" << nCode;
    emit pullCompleted(taskId, jobId, QStringLiteral("not accepted: ") + reason);
    requeueStored(record, reason);
}

PolicyInfo PolicyReceiver::completionRecord(int taskId, int jobId) const
{
    PolicyInfo record;
    record.taskId = taskId;
    record.jobId = jobId;
    record.policyPath = d->info.policyPath;
    record.cachePath = chooseCacheFile(taskId, jobId);
    return record;
}

// Not accepted or not sent: execute the last accepted document once more.
void PolicyReceiver::requeueStored(const PolicyInfo& record, const QString& reason)
{
    const int taskId = record.taskId;
    const int jobId = record.jobId;
    QFile policyFile(record.policyPath);
    if (!policyFile.open(QIODevice::ReadOnly)) {
        emit pullFailed(taskId, jobId, reason + QStringLiteral("; no stored policy document"));
        return;
    }
    const QByteArray content = policyFile.readAll();
    qDebug() << "onRequestPolicy" << ":cache policy:" << content << ":" << record.policyPath;
    policyFile.close();
    if (content.isEmpty()) {
        emit pullFailed(taskId, jobId, reason + QStringLiteral("; no stored policy document"));
        return;
    }
    if (!writeCache(record.cachePath, content)) {
        emit pullFailed(taskId, jobId,
                        QStringLiteral("policy document could not be stored: ") + record.cachePath);
        return;
    }
    qInfo() << "onRequestPolicy" << "---policy no update--2222-:" << record.cachePath;
    queueRecord(record);
}

void PolicyReceiver::queueRecord(const PolicyInfo& record)
{
    if (d->queue)
        d->queue->pushPolicy(record);
    else
        qWarning() << "onRequestPolicy" << "no policy queue set, not queued:" << record.cachePath;
    emit pullQueued(record.taskId, record.jobId);
}

bool PolicyReceiver::parsePolicy(const QString& cachePath, const QString& policyPath,
                                 const QByteArray& data)
{
    return parsePolicy(cachePath, policyPath, data, nullptr);
}

bool PolicyReceiver::parsePolicy(const QString& cachePath, const QString& policyPath,
                                 const QByteArray& data, QString* reason)
{
    QString why;
    const bool accepted = acceptDocument(cachePath, policyPath, data, &why);
    if (reason)
        *reason = why;
    return accepted;
}

bool PolicyReceiver::acceptDocument(const QString& cachePath, const QString& policyPath,
                                    const QByteArray& data, QString* reason)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError) {
        *reason = QStringLiteral("policy answer is not JSON");
        return false;
    }
    if (!doc.isObject()) {
        *reason = QStringLiteral("policy answer is not a JSON object");
        return false;
    }
    const QJsonObject object = doc.object();
    if (!object.contains(QLatin1String("code"))) {
        *reason = QStringLiteral("policy answer has no \"code\"");
        return false;
    }
    const QJsonValue code = object.value(QLatin1String("code"));
    if (code.toInt() != 0) {
        *reason = QStringLiteral("server refused the policy, code: ") + QString::number(code.toInt());
        return false;
    }

    QString md5;
    const QJsonValue dataValue = object.value(QLatin1String("data"));
    const bool hasMd5 = !dataValue.isObject() || dataValue.toObject().contains(QLatin1String("md5"));
    if (dataValue.isObject() && hasMd5)
        md5 = dataValue.toObject().value(QLatin1String("md5")).toVariant().toString();
    // Checked before anything is written: the policy file holds only accepted
    // documents, and the fallback re-applies the last of them.
    if (!hasMd5) {
        qInfo() << "md5 parse error.";
        *reason = QStringLiteral("policy answer has no md5");
        return false;
    }

    const QByteArray text = doc.toJson(QJsonDocument::Indented);
    if (!writeCache(policyPath, text)) {
        *reason = QStringLiteral("policy document could not be stored: ") + policyPath;
        return false;
    }
    if (!writeCache(cachePath, text)) {
        *reason = QStringLiteral("policy document could not be stored: ") + cachePath;
        return false;
    }
    // Only now that the document is safely on disk does the next pull name it.
    if (dataValue.isObject()) {
        d->md5 = md5;
        qInfo() << "md5:" << d->md5;
    }
    return true;
}

bool PolicyReceiver::writeCache(const QString& path, const QByteArray& data)
{
    return vorn::base::FileContent::writeAtomic(path, data);
}

QStringList PolicyReceiver::fileSearch(const QString& dir)
{
    QFileInfoList entries = QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                                                    QDir::Name);
    // Oldest first; equal times keep name order.
    std::stable_sort(entries.begin(), entries.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return a.lastModified() < b.lastModified();
    });
    QStringList files;
    for (const QFileInfo& entry : qAsConst(entries)) {
        if (!vorn::base::FileContent::isUnfinishedWrite(entry.fileName()))
            files.append(entry.absoluteFilePath());
    }
    return files;
}

void PolicyReceiver::initPolicyCachePath()
{
    const QString cacheDir = d->info.cachePath;
    // Leftovers of writes a crash interrupted hold no complete document.
    const QFileInfoList entries =
        QDir(cacheDir).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& entry : entries) {
        if (!vorn::base::FileContent::isUnfinishedWrite(entry.fileName()))
            continue;
        qWarning() << "-----cacheList" << "removing unfinished write:" << entry.absoluteFilePath();
        QFile::remove(entry.absoluteFilePath());
    }

    const QStringList files = fileSearch(cacheDir);
    qInfo() << "-----cacheList" << files.size() << ":" << d->info.policyPath << ":" << cacheDir;
    for (int i = 0; i < files.size(); ++i) {
        const QString& path = files.at(i);
        const QString bundle = QFileInfo(path).baseName();
        PolicyInfo record;
        if (bundle.contains(QLatin1Char('_'))) {
            const QStringList parts = bundle.split(QLatin1Char('_'), Qt::KeepEmptyParts);
            record.taskId = parts.value(0).toInt();
            record.jobId = parts.value(1).toInt();
        } else {
            record.taskId = -1;
            record.jobId = -1;
        }
        qInfo() << "-----cacheList" << i << ":" << path << ":bundle:" << bundle << ":" << record.taskId;
        record.cachePath = path;
        record.policyPath = d->info.policyPath;
        if (d->queue)
            d->queue->pushPolicy(record);
        else
            qWarning() << "-----cacheList" << "no policy queue set, not queued:" << path;
    }
}
