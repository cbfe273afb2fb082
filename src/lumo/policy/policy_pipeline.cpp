#include "policy_pipeline.h"

#include "bus_watch.h"
#include "common/base/codes.h"
#include "common/base/filecontent.h"
#include "common/base/statusschema.h"
#include "policy_executor.h"
#include "policy_queue.h"
#include "policy_receiver.h"
#include "policy_responder.h"
#include "receipt_journal.h"
#include "server_endpoint.h"
#include "status_board.h"

#include <QDateTime>
#include <QJsonObject>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QThread>
#include <QTimer>
#include <QtDebug>

#include <algorithm>
#include <memory>

namespace {
// How long the receipt thread may take to end at shutdown: a bus call in
// progress is bounded by its own timeout, so this only guards a stuck bus.
constexpr unsigned long kResponderStopMs = 2000;
} // namespace

PolicyPipeline::PolicyPipeline(const Paths& paths, QObject* parent)
    : QObject(parent)
{
    const ServerEndpoint::Snapshot server = ServerEndpoint::instance()->current();
    PolicyInfo info;
    info.ip = server.host;
    info.port = server.port;
    info.url = paths.url;
    info.machineId = server.machineId;
    info.taskId = vorn::code::kNoTask;
    info.jobId = vorn::code::kNoTask;
    info.policyPath = paths.policyPath;
    info.cachePath = paths.cachePath;

    new BusWatch(this);
    m_journal.reset(new ReceiptJournal(paths.stateDir));
    dropJournaledDocuments(paths.cachePath);

    m_queue = new PolicyQueue;
    m_receiver = new PolicyReceiver(info, this);
    m_receiver->setPolicyQueue(m_queue);
    connect(m_receiver, &PolicyReceiver::pullStarted, this,
            [this](int taskId, int jobId) { m_journal->markPull(taskId, jobId); });
    connect(m_receiver, &PolicyReceiver::pullQueued, this,
            [this](int taskId, int jobId) { m_journal->clearPull(taskId, jobId); });
    connect(m_receiver, &PolicyReceiver::pullFailed, this, &PolicyPipeline::onPullFailed);
    m_receiver->initPolicyCachePath();

    m_status = new StatusBoard(paths.program, paths.statusPath, this);
    connect(m_receiver, &PolicyReceiver::pullCompleted, m_status,
            [this](int taskId, int jobId, const QString& outcome) {
                m_status->setLastPull(taskId, jobId, outcome, m_receiver->md5());
            });
    m_journal->setChangeCallback([board = m_status] { board->refresh(); });
    m_status->setLiveValues([this] {
        const qint64 next = m_receiver ? m_receiver->nextPullInMs() : -1;
        return QJsonObject{
            {vorn::status::kServer, m_receiver ? m_receiver->server() : QString()},
            {vorn::status::kMachineId, m_receiver ? m_receiver->machineId() : QString()},
            {vorn::status::kNextPull,
             next < 0 ? QJsonValue(QJsonValue::Null)
                      : QJsonValue(QDateTime::currentDateTimeUtc().addMSecs(next).toString(Qt::ISODate))},
            {vorn::status::kOwedReceipts, m_journal->size()}};
    });

    QTimer::singleShot(kFirstPullDelayMs, Qt::CoarseTimer, m_receiver, [receiver = m_receiver] {
        receiver->pullPolicy(vorn::code::kNoTask, vorn::code::kNoTask);
    });

    m_responder = new PolicyResponder(nullptr);
    m_responder->setJournal(m_journal.data());
    m_responderThread = new QThread;
    m_responder->moveToThread(m_responderThread);
    m_responderThread->start(QThread::InheritPriority);

    resumeOwedWork(paths.cachePath);
}

// A document whose receipt is on record was executed in full: a crash
// between recording the receipt and deleting the cache file must not run it again.
void PolicyPipeline::dropJournaledDocuments(const QString& cachePath)
{
    for (const ReceiptJournal::Entry& entry : m_journal->entries()) {
        if (entry.cacheFile.isEmpty())
            continue;
        const QString path = cachePath + QLatin1Char('/') + entry.cacheFile;
        if (QFileInfo::exists(path)) {
            qWarning() << "document already answered, not run again:" << path;
            QFile::remove(path);
        }
    }
}

// Receipts owed from before go out first, in their order; a server task
// whose pull never completed is pulled again.
void PolicyPipeline::resumeOwedWork(const QString& cachePath)
{
    const QList<ReceiptJournal::Entry> owed = m_journal->entries();
    if (!owed.isEmpty())
        qInfo() << "receipts owed from an earlier run:" << owed.size();
    for (const ReceiptJournal::Entry& entry : owed)
        deliver(entry.receipt);

    const QStringList cached = QDir(cachePath).entryList(QDir::Files | QDir::Hidden);
    for (const auto& pull : m_journal->pendingPulls()) {
        const QString base = QStringLiteral("%1_%2").arg(pull.first).arg(pull.second);
        const bool onDisk = std::any_of(cached.cbegin(), cached.cend(), [&base](const QString& name) {
            return name == base || name.startsWith(base + QLatin1Char('.'));
        });
        const bool answered = std::any_of(owed.cbegin(), owed.cend(), [&pull](const ReceiptJournal::Entry& e) {
            return e.receipt.taskId == pull.first && e.receipt.jobId == pull.second;
        });
        if (onDisk || answered) {
            m_journal->clearPull(pull.first, pull.second);
            continue;
        }
        qInfo() << "pull of a server task did not complete before the last stop, pulling again: task"
                << pull.first << "job" << pull.second;
        QTimer::singleShot(0, m_receiver, [receiver = m_receiver, pull] {
            receiver->pullPolicy(pull.first, pull.second);
        });
    }
}

void PolicyPipeline::onPullFailed(int taskId, int jobId, const QString& reason)
{
    if (taskId <= 0 || jobId <= 0)
        return;
    ResponseInfo receipt;
    receipt.taskId = taskId;
    receipt.jobId = jobId;
    receipt.isSuccessed = false;
    receipt.result = reason;
    receipt.shown = reason;
    m_journal->add(receipt);
    m_journal->clearPull(taskId, jobId);
    deliver(receipt);
}

PolicyPipeline::~PolicyPipeline()
{
    stopResponder();
    // Threads have ended before their objects go, and no event loop runs
    // after this, so objects are deleted here rather than later. The queue
    // outlives both of its users.
    delete m_receiver;
    m_receiver = nullptr;
    delete m_queue;
    m_queue = nullptr;
}

void PolicyPipeline::stopResponder()
{
    if (!m_responder)
        return;
    m_responder->stop();
    m_responderThread->quit();
    if (m_responderThread->wait(kResponderStopMs)) {
        delete m_responder;
        delete m_responderThread;
    } else {
        // Stuck in a bus call: leave it to process exit rather than
        // destroying a running thread.
        qWarning() << "receipt thread did not end in time";
    }
    m_responder = nullptr;
    m_responderThread = nullptr;
}

PolicyQueue* PolicyPipeline::queue() const
{
    return m_queue;
}

PolicyReceiver* PolicyPipeline::receiver() const
{
    return m_receiver;
}

bool PolicyPipeline::leavingDomain() const
{
    return m_leavingDomain;
}

void PolicyPipeline::leaveDomain(PolicyExecutor* executor, std::function<void()> then)
{
    m_leavingDomain = true;
    m_receiver->stopPulling();
    const QList<PolicyInfo> dropped = m_queue->takeAll();
    for (const PolicyInfo& record : dropped) {
        qInfo() << "domain removed, queued policy dropped:" << record.cachePath;
        QFile::remove(record.cachePath);
    }
    auto done = std::make_shared<bool>(false);
    auto finish = [done, then] {
        if (*done)
            return;
        *done = true;
        then();
    };
    connect(executor, &QThread::finished, this, finish);
    executor->stopAfterCurrentDocument();
    if (executor->isFinished())
        finish();
}

StatusBoard* PolicyPipeline::statusBoard() const
{
    return m_status;
}

ReceiptJournal* PolicyPipeline::journal() const
{
    return m_journal.data();
}

void PolicyPipeline::sendReceipt(int taskId, int jobId, bool isSuccessed, const QString& result,
                                 const QString& shown)
{
    ResponseInfo receipt;
    receipt.taskId = taskId;
    receipt.jobId = jobId;
    receipt.isSuccessed = isSuccessed;
    receipt.result = result;
    receipt.shown = shown;
    deliver(receipt);
}

void PolicyPipeline::deliver(const ResponseInfo& receipt)
{
    PolicyResponder* responder = m_responder;
    QMetaObject::invokeMethod(
        responder, [responder, receipt] { responder->addReceipt(receipt); }, Qt::QueuedConnection);
}
