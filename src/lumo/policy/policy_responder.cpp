#include "policy_responder.h"

#include "common/base/codes.h"
#include "common/dbus/vorng.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QThread>
#include <QtDebug>

namespace {
constexpr int kRetryDelayMs = 500;
constexpr int kStopCheckMs = 50;
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

        QDBusMessage call = QDBusMessage::createMethodCall(
            vorn::vorngService(), vorn::vorngPath(), vorn::vorngInterfaceName(),
            QStringLiteral("ReplyTaskResult"));
        call << receipt.jobId << receipt.taskId << (receipt.isSuccessed ? vorn::code::kTaskDone : vorn::code::kTaskFailed)
             << QString() << receipt.result;

        // Wait for the reply in slices so that stop() is honoured mid-call.
        QDBusPendingCall pending = QDBusConnection::systemBus().asyncCall(call, kReplyTimeoutMs);
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
        qInfo() << "------dbus---reply----" << error << receipt.result;
        if (failed) {
            qInfo() << "error ----------";
            continue;
        }
        qInfo() << "dbus value ------success----";
        m_receipts.removeFirst();
    }
}
