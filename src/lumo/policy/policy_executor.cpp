#include "policy_executor.h"

#include "policy_queue.h"
#include "receipt_journal.h"
#include "status_board.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QtDebug>

namespace {

void removeFiles(const QStringList& files)
{
    for (const QString& path : files) {
        if (QFile::exists(path) && !QFile::remove(path))
            qWarning() << "cannot delete temporary file" << path;
    }
}

} // namespace

PolicyExecutor::PolicyExecutor(PolicyQueue* queue)
    : QThread(nullptr)
    , m_queue(queue)
{
    // Handlers hand slots to the main thread by queued signals.
    qRegisterMetaType<ResultSlot>();
}

PolicyExecutor::~PolicyExecutor()
{
    // Before the status board and the handlers go: later slots record nothing.
    closeResultSlots();
}

void PolicyExecutor::run()
{
    while (!isInterruptionRequested()) {
        msleep(20);
        if (!m_queue) {
            qInfo() << "Message queue is not initialized!";
            return;
        }
        qInfo() << cycleTexts().waiting;
        PolicyInfo info;
        // False when stop() woke the wait instead of a record.
        if (!m_queue->popPolicy(info) || isInterruptionRequested())
            return;
        logStep(Step::Record, info);
        execPolicy(info);
    }
}

bool PolicyExecutor::execPolicy(const PolicyInfo& info)
{
    logStep(Step::DocumentStart, info);
    takeTempFiles(); // left from an earlier run: forgotten, not deleted
    beginDocument(); // counter and total 0, fresh result array

    m_taskDocument = info.taskId > 0 && info.jobId > 0;
    m_documentTask = m_taskDocument ? QStringLiteral("%1/%2").arg(info.taskId).arg(info.jobId) : QString();
    const QMap<QString, QString> settings = loadDocument(info);
    if (m_status)
        m_status->beginDocument(info, settings);
    documentLoaded();
    QElapsedTimer stopwatch;
    stopwatch.start();
    applySettings(settings);
    logStep(Step::HandlersCalled, info, settings.size());

    const WaitEnd end =
        waitForResults(stopwatch, qint64(m_execTimeout) * 60 * 1000, cycleTexts().wait);
    if (end == WaitEnd::Stopped) {
        // Shutting down with results outstanding: the cache file stays, so the
        // document is applied and answered after the next start.
        qInfo() << cycleTexts().kept << info.cachePath;
        endDocument();
        return true;
    }

    logStep(Step::WaitEnded, info);
    if (info.taskId > 0 && info.jobId > 0) {
        // A document that ran out of time did not do what it was asked to.
        const bool done = end == WaitEnd::AllResults;
        const QString result = getExecResult();
        const QString shown = getShownResult();
        if (!done)
            qWarning() << "policy document reached its time limit, reported as failed: task"
                       << info.taskId << "job" << info.jobId;
        // On disk before the cache file goes: from here on a crash loses nothing.
        if (m_journal) {
            ResponseInfo receipt;
            receipt.taskId = info.taskId;
            receipt.jobId = info.jobId;
            receipt.isSuccessed = done;
            receipt.result = result;
            receipt.shown = shown;
            m_journal->add(receipt, QFileInfo(info.cachePath).fileName());
        }
        emit execPolicyFinished(info.taskId, info.jobId, done, result, shown);
        logStep(Step::Reported, info, 0, shown);
    }
    endDocument();
    logStep(Step::CacheRemoved, info, QFile::remove(info.cachePath));
    return true;
}

QMap<QString, QString> PolicyExecutor::loadDocument(const PolicyInfo& info)
{
    // A missing or empty cache file applies nothing: the settings of the
    // previous document are not applied again.
    QByteArray data;
    if (!readCache(info.cachePath, data) || data.isEmpty()) {
        logStep(Step::NoDocument, info);
        return {};
    }
    if (!parsePolicy(data))
        return {};
    // Which document this is, for the handlers that remember what they ran.
    const QString md5 = documentMd5();
    if (md5.isEmpty())
        m_documentIdentity = QStringLiteral("sha256:") + QString::fromLatin1(
            QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
    else
        m_documentIdentity = QStringLiteral("md5:") + md5;
    return getPolicy();
}

void PolicyExecutor::applySettings(const QMap<QString, QString>& settings)
{
    // The total grows by one for each result slot a handler is given or takes.
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it) {
        // Shutting down: finish the handler that runs, start no more.
        if (isStopping())
            break;
        qInfo() << it.key() << ": " << it.value();
        callFunction(it.key(), it.value());
    }
}

void PolicyExecutor::callFunction(QString key, QString value)
{
    const auto it = m_handlers.constFind(key);
    if (it == m_handlers.constEnd()) {
        qInfo() << "nof function" << key;
        return;
    }
    // A handler that neither records nor keeps its slot records its failure
    // the moment the slot goes.
    it.value()(value, takeResultSlot(key));
}

void PolicyExecutor::endDocument()
{
    if (m_status)
        m_status->endDocument();
    m_documentIdentity.clear();
    // A new document id: results still on their way belong to no document.
    beginDocument();
    removeFiles(takeTempFiles());
}

void PolicyExecutor::setStatusBoard(StatusBoard* board)
{
    m_status = board;
}

void PolicyExecutor::resultRecorded(const QString& key, const QString& result,
                                    const QString& summary)
{
    if (m_status)
        m_status->settingResult(key, result, summary);
}

QString PolicyExecutor::shownResult(const QString& key, const QString& result,
                                   const QString& summary) const
{
    if (m_status)
        return m_status->shownResult(key, result, summary);
    return AbstractPolicy::shownResult(key, result, summary);
}

void PolicyExecutor::setJournal(ReceiptJournal* journal)
{
    m_journal = journal;
}

PolicyExecutor::WaitEnd PolicyExecutor::waitForResults(const QElapsedTimer& stopwatch,
                                                       qint64 limitMs, const WaitTexts& texts)
{
    // Woken by the last result, by stop(), or at the time limit; never polls.
    const SettleEnd end = waitForSettled(limitMs - stopwatch.elapsed() + 1);
    if (end == SettleEnd::Interrupted)
        return WaitEnd::Stopped;
    if (end == SettleEnd::Settled) {
        qInfo() << texts.allResults << m_policyExecCounter.load() << texts.total
                << m_policyTotal.load();
        return WaitEnd::AllResults;
    }
    qInfo() << texts.timeLimit << stopwatch.elapsed();
    return WaitEnd::TimeLimit;
}

void PolicyExecutor::stop()
{
    if (QThread::currentThread() == this) {
        qWarning() << "executor stop requested from its own thread; ignored";
        return;
    }
    requestInterruption();
    {
        QMutexLocker locker(&m_stopMutex);
        m_stopping = true;
    }
    interruptResultWait();
    if (m_queue)
        m_queue->wakeConsumer();
    wait();
}

void PolicyExecutor::stopAfterCurrentDocument()
{
    requestInterruption();
    if (m_queue)
        m_queue->wakeConsumer();
}

QString PolicyExecutor::documentIdentity() const
{
    return m_documentIdentity;
}

bool PolicyExecutor::isTaskDocument() const
{
    return m_taskDocument;
}

QString PolicyExecutor::documentTask() const
{
    return m_documentTask;
}

bool PolicyExecutor::isStopping() const
{
    QMutexLocker locker(&m_stopMutex);
    return m_stopping;
}

void PolicyExecutor::addTempFile(const QString& path)
{
    QMutexLocker locker(&m_tempFilesMutex);
    m_tempFiles.append(path);
}

QStringList PolicyExecutor::takeTempFiles()
{
    QMutexLocker locker(&m_tempFilesMutex);
    QStringList files;
    files.swap(m_tempFiles);
    return files;
}
