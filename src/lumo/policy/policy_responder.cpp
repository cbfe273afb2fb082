#include "policy_responder.h"

#include "common/base/codes.h"
#include "common/dbus/vorng.h"
#include "receipt_bounds.h"
#include "receipt_journal.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QThread>
#include <QtDebug>

namespace {
constexpr int kRetryDelayMs = 500;
constexpr int kStopCheckMs = 50;
constexpr qint64 kRefusalLogIntervalMs = 60000;
// The bus's own default; a service that never answers costs one retry, not the thread.
constexpr int kReplyTimeoutMs = 25000;
} // namespace

PolicyResponder::PolicyResponder(QObject* parent)
    : QObject(parent)
{
    // Receipts arrive by queued invocation from the manager's thread.
    qRegisterMetaType<ResponseInfo>("ResponseInfo");
}

PolicyResponder::~PolicyResponder() = default;

void PolicyResponder::setJournal(ReceiptJournal* journal)
{
    m_journal = journal;
}

// While the service refuses, one line when it starts, then at most one a
// minute, and one when it ends: a long outage must not flood the log.
void PolicyResponder::noteRefusal(const ResponseInfo& receipt, const QString& error)
{
    ++m_refusals;
    if (m_refusals == 1) {
        qWarning() << "receipt refused by the core client service, retrying: task" << receipt.taskId
                   << "job" << receipt.jobId << error;
        m_lastRefusalLog.start();
    } else if (m_lastRefusalLog.hasExpired(kRefusalLogIntervalMs)) {
        qWarning() << "receipt still refused by the core client service after" << m_refusals
                   << "attempts: task" << receipt.taskId << "job" << receipt.jobId << error
                   << "owed receipts:" << m_receipts.size();
        m_lastRefusalLog.start();
    }
}

void PolicyResponder::noteAccepted(const ResponseInfo& receipt)
{
    if (m_refusals > 0)
        qInfo() << "receipt accepted by the core client service after" << m_refusals + 1
                << "attempts: task" << receipt.taskId << "job" << receipt.jobId;
    m_refusals = 0;
}

void PolicyResponder::stop()
{
    m_stop.store(true);
}

bool PolicyResponder::sleepUnlessStopped(int ms) const
{
    QDeadlineTimer deadline(ms);
    while (!m_stop.load()) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return true;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(left, kStopCheckMs)));
    }
    return false;
}

void PolicyResponder::addReceipt(ResponseInfo info)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, info] { addReceipt(info); }, Qt::QueuedConnection);
        return;
    }
    // The bus daemon drops a connection whose message is over its limit.
    info.result = ReceiptBounds::cutReceipt(info.result);
    m_receipts.append(info);
    if (m_receipts.size() == 1)
        run();
}

void PolicyResponder::run()
{
    while (!m_stop.load()) {
        if (!sleepUnlessStopped(kRetryDelayMs))
            return;
        if (m_receipts.isEmpty()) {
            qInfo() << "----- PolicyReceipt::run-----break-";
            return;
        }
        const ResponseInfo receipt = m_receipts.first();

        if (!m_vorng) {
            // Made on this thread, where its calls are made.
            m_vorng = new vorngInterface(vorn::vorngService(), vorn::vorngPath(),
                                         QDBusConnection::systemBus(), this);
            m_vorng->setTimeout(kReplyTimeoutMs);
        }
        // Wait for the reply in slices so that stop() is honoured mid-call.
        QDBusPendingCall pending = m_vorng->ReplyTaskResult(
            receipt.jobId, receipt.taskId,
            receipt.isSuccessed ? vorn::code::kTaskDone : vorn::code::kTaskFailed, QString(),
            receipt.result);
        int slice = 1;
        while (!pending.isFinished()) {
            if (m_stop.load())
                return;
            QThread::msleep(static_cast<unsigned long>(slice));
            slice = qMin(slice * 2, kStopCheckMs);
        }
        const QDBusMessage reply = pending.reply();
        const bool failed = reply.type() != QDBusMessage::ReplyMessage;
        const QString error = failed ? reply.errorName() + QStringLiteral(": ") + reply.errorMessage()
                                     : QString();
        if (failed) {
            noteRefusal(receipt, error);
            continue;
        }
        noteAccepted(receipt);
        qInfo() << "------dbus---reply----" << error << receipt.shown;
        qInfo() << "dbus value ------success----";
        if (m_journal)
            m_journal->remove(receipt.taskId, receipt.jobId);
        m_receipts.removeFirst();
    }
}
