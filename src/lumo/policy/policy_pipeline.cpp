#include "policy_pipeline.h"

#include "common/base/codes.h"
#include "common/base/filecontent.h"
#include "policy_queue.h"
#include "policy_receiver.h"
#include "policy_responder.h"

#include <QThread>
#include <QTimer>
#include <QtDebug>

namespace {
// How long the receipt thread may take to end at shutdown: a bus call in
// progress is bounded by its own timeout, so this only guards a stuck bus.
constexpr unsigned long kResponderStopMs = 2000;
} // namespace

PolicyPipeline::PolicyPipeline(const Paths& paths, QObject* parent)
    : QObject(parent)
{
    vorn::base::FileContent::getHostAndPort(m_host, m_port);

    PolicyInfo info;
    info.ip = m_host;
    info.port = m_port;
    info.url = paths.url;
    info.machineId = vorn::base::FileContent::instace()->getMachineID(nullptr, false);
    info.taskId = vorn::code::kNoTask;
    info.jobId = vorn::code::kNoTask;
    info.policyPath = paths.policyPath;
    info.cachePath = paths.cachePath;

    m_queue = new PolicyQueue;
    m_receiver = new PolicyReceiver(info, this);
    m_receiver->setPolicyQueue(m_queue);
    m_receiver->initPolicyCachePath();

    QTimer::singleShot(kFirstPullDelayMs, Qt::CoarseTimer, m_receiver, [receiver = m_receiver] {
        receiver->pullPolicy(vorn::code::kNoTask, vorn::code::kNoTask);
    });

    m_responder = new PolicyResponder(nullptr);
    m_responderThread = new QThread;
    m_responder->moveToThread(m_responderThread);
    m_responderThread->start(QThread::InheritPriority);
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

QString PolicyPipeline::serverHost() const
{
    return m_host;
}

QString PolicyPipeline::serverPort() const
{
    return m_port;
}

void PolicyPipeline::sendReceipt(int taskId, int jobId, bool isSuccessed, const QString& result)
{
    ResponseInfo receipt;
    receipt.taskId = taskId;
    receipt.jobId = jobId;
    receipt.isSuccessed = isSuccessed;
    receipt.result = result;
    PolicyResponder* responder = m_responder;
    QMetaObject::invokeMethod(
        responder, [responder, receipt] { responder->addReceipt(receipt); }, Qt::QueuedConnection);
}
