// The policy receiver against the lab's management server (HTTPS with client
// certificates) and the lab's core client service on a private system bus.

#include "labsupport.h"
#include "common/external/asynchttpclientapi.h"
#include "lumo/policy/policy_receiver.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using vorn::test::LabServer;
using vorn::test::LogCapture;
using vorn::test::PrivateSystemBus;
using vorn::test::VorngMock;

namespace {
const QString kPolicyEndpoint = QStringLiteral("/policy/v1/client/pc_policy_details");
const QString kCompleted = QStringLiteral("asyncPullPolicy --- nCode:");
const QString kPushed = QStringLiteral("pushPolicy:");
constexpr int kNetTimeout = 20000;

const QByteArray kMd5Doc = R"({"code":0,"msg":"ok","data":{"md5":"abc","policys":[]}})";
const QByteArray kEmptyDataDoc = R"({"code":0,"data":{}})";
const QByteArray kCode1Doc = R"({"code":1,"msg":"no","data":{"md5":"zzz"}})";
const QByteArray kNoCodeDoc = R"({"data":{"md5":"nocode"}})";
const QByteArray kStoredDoc = "{\n    \"code\": 0,\n    \"data\": {\n        \"md5\": \"old\"\n    }\n}\n";

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray indented(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).toJson(QJsonDocument::Indented);
}
} // namespace

class TestPolicyReceiver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void taskPullWritesNamedCacheFile();
    void timeNamedCacheFile_data();
    void timeNamedCacheFile();
    void acceptedMd5GoesIntoNextUrl();
    void rejectedResponseRequeuesStored_data();
    void rejectedResponseRequeuesStored();
    void emptyDataLogsMd5Error();
    void emptyBodyWithoutPolicyFileQueuesNothing();
    void objectWithoutCodeFailsTheTask();
    void overlappingPullsKeepTheirOwnTask();
    void completionAfterReceiverIsGone();
    void writesNeverFollowLinks();
    void startupRequeueOldestFirst();
    void timerPullsHeldBack_data();
    void timerPullsHeldBack();

private:
    PolicyInfo makeTemplate(const QString& urlPath, int port = 0) const;
    PolicyReceiver* makeReceiver(const PolicyInfo& info);
    QList<PolicyInfo> takeQueued(int expected);
    QJsonArray requestsFor(const QString& path) const;
    QString policyPath() const { return m_work->filePath(QStringLiteral("etc/system_policy.json")); }
    QString cacheDir() const { return m_work->filePath(QStringLiteral("cache")); }
    QString cacheFile(const QString& name) const { return cacheDir() + QLatin1Char('/') + name; }

    QTemporaryDir m_dir;
    std::unique_ptr<PrivateSystemBus> m_bus;
    std::unique_ptr<VorngMock> m_mock;
    std::unique_ptr<LabServer> m_server;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<PolicyQueue> m_queue;
    std::unique_ptr<PolicyReceiver> m_receiver;
};

void TestPolicyReceiver::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_bus.reset(new PrivateSystemBus(m_dir.filePath(QStringLiteral("bus"))));
    QVERIFY2(m_bus->start(), qPrintable(m_bus->errorString()));
    m_mock.reset(new VorngMock(m_dir.filePath(QStringLiteral("mock"))));
    QVERIFY2(m_mock->start(), qPrintable(m_mock->errorString()));
    m_server.reset(new LabServer(m_dir.filePath(QStringLiteral("server"))));
    QVERIFY2(m_server->start({QStringLiteral("--system-policy"),
                              vorn::test::sourceDir() + QStringLiteral("/tools/lab/policies/system.json")}),
             qPrintable(m_server->errorString()));

    const QString files = m_server->filesDir() + QStringLiteral("/lab/");
    QVERIFY(writeFile(files + QStringLiteral("md5abc.json"), kMd5Doc));
    QVERIFY(writeFile(files + QStringLiteral("emptydata.json"), kEmptyDataDoc));
    QVERIFY(writeFile(files + QStringLiteral("code1.json"), kCode1Doc));
    QVERIFY(writeFile(files + QStringLiteral("nocode.json"), kNoCodeDoc));
    QVERIFY(writeFile(files + QStringLiteral("garbage.txt"), "<html>not json</html>"));
    QVERIFY(writeFile(files + QStringLiteral("empty.json"), QByteArray()));

    AsyncHttpClientApi::getInstance()->setSSLConfig(m_server->certPath(QStringLiteral("ca.crt")),
                                                    m_server->certPath(QStringLiteral("client.crt")),
                                                    m_server->certPath(QStringLiteral("client.key")));
}

void TestPolicyReceiver::cleanupTestCase()
{
    m_server.reset();
    m_mock.reset();
    m_bus.reset();
}

void TestPolicyReceiver::init()
{
    m_server->admin("DELETE", QStringLiteral("/faults"));
    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());
    m_log.reset(new LogCapture);
    m_queue.reset(new PolicyQueue);
}

void TestPolicyReceiver::cleanup()
{
    m_receiver.reset();
    m_queue.reset();
    m_log.reset();
    m_work.reset();
}

PolicyInfo TestPolicyReceiver::makeTemplate(const QString& urlPath, int port) const
{
    PolicyInfo info;
    info.ip = QStringLiteral("127.0.0.1");
    info.port = QString::number(port ? port : m_server->port());
    info.url = QStringLiteral("https://%1:%2") + urlPath
               + QStringLiteral("?machine_id=%3&policy_level=system&md5=%4");
    info.machineId = QStringLiteral("lab-machine-0001");
    info.policyPath = policyPath();
    info.cachePath = cacheDir();
    return info;
}

PolicyReceiver* TestPolicyReceiver::makeReceiver(const PolicyInfo& info)
{
    m_receiver.reset(new PolicyReceiver(info));
    m_receiver->setPolicyQueue(m_queue.get());
    return m_receiver.get();
}

// Exactly `expected` records were queued since the test began; returns them in order.
QList<PolicyInfo> TestPolicyReceiver::takeQueued(int expected)
{
    QList<PolicyInfo> records;
    if (!vorn::test::waitFor([&] { return m_log->count(kPushed) >= expected; }, kNetTimeout))
        return records;
    if (m_log->count(kPushed) != expected)
        return records;
    for (int i = 0; i < expected; ++i) {
        PolicyInfo info;
        if (m_queue->popPolicy(info))
            records.append(info);
    }
    return records;
}

QJsonArray TestPolicyReceiver::requestsFor(const QString& path) const
{
    QJsonArray matching;
    for (const QJsonValue& request : m_server->requests()) {
        if (request.toObject().value(QStringLiteral("path")).toString() == path)
            matching.append(request);
    }
    return matching;
}

void TestPolicyReceiver::taskPullWritesNamedCacheFile()
{
    PolicyReceiver* receiver = makeReceiver(makeTemplate(kPolicyEndpoint));
    const int before = requestsFor(kPolicyEndpoint).size();
    QCOMPARE(receiver->pullPolicy(7, 3), 0);

    QList<PolicyInfo> records = takeQueued(1);
    QCOMPARE(records.size(), 1);
    const PolicyInfo record = records.first();
    QCOMPARE(record.taskId, 7);
    QCOMPARE(record.jobId, 3);
    QCOMPARE(record.cachePath, cacheFile(QStringLiteral("7_3")));
    QCOMPARE(record.policyPath, policyPath());
    QVERIFY(record.ip.isEmpty() && record.port.isEmpty() && record.url.isEmpty()
            && record.machineId.isEmpty());

    // The accepted document, indented, in both files; the first pull sends no md5.
    const QByteArray cached = readFile(record.cachePath);
    QCOMPARE(readFile(policyPath()), cached);
    const QJsonObject doc = QJsonDocument::fromJson(cached).object();
    QCOMPARE(doc.value(QStringLiteral("code")).toInt(-1), 0);
    const QJsonObject served = QJsonDocument::fromJson(m_server->admin("GET", QStringLiteral("/policy/system"))).object();
    QCOMPARE(doc.value(QStringLiteral("data")).toObject().value(QStringLiteral("md5")),
             served.value(QStringLiteral("md5")));
    const QJsonArray requests = requestsFor(kPolicyEndpoint);
    QCOMPARE(requests.size(), before + 1);
    const QJsonObject query = requests.last().toObject().value(QStringLiteral("query")).toObject();
    QCOMPARE(query.value(QStringLiteral("machine_id")).toString(), QStringLiteral("lab-machine-0001"));
    QCOMPARE(query.value(QStringLiteral("md5")).toString(), QString());

    // The same task again while 7_3 still waits: a file of its own, same base name.
    receiver->pullPolicy(7, 3);
    QVERIFY(vorn::test::waitFor([&] { return m_log->count(kPushed) == 2; }, kNetTimeout));
    PolicyInfo second;
    QVERIFY(m_queue->popPolicy(second));
    QCOMPARE(second.cachePath, cacheFile(QStringLiteral("7_3.1")));
    QCOMPARE(readFile(record.cachePath), cached);
    QCOMPARE(requestsFor(kPolicyEndpoint).last().toObject().value(QStringLiteral("query")).toObject()
                 .value(QStringLiteral("md5")),
             served.value(QStringLiteral("md5")));
}

void TestPolicyReceiver::timeNamedCacheFile_data()
{
    QTest::addColumn<int>("task");
    QTest::addColumn<int>("job");
    QTest::addColumn<bool>("byTimer");
    QTest::newRow("task 7 job 0") << 7 << 0 << false;
    QTest::newRow("task 0 job 5") << 0 << 5 << false;
    QTest::newRow("no task") << -1 << -1 << false;
    QTest::newRow("timer") << -1 << -1 << true;
}

void TestPolicyReceiver::timeNamedCacheFile()
{
    QFETCH(int, task);
    QFETCH(int, job);
    QFETCH(bool, byTimer);
    PolicyReceiver* receiver = makeReceiver(makeTemplate(kPolicyEndpoint));
    const qint64 start = QDateTime::currentSecsSinceEpoch();
    if (byTimer)
        receiver->onPullPolicyTimerOut();
    else
        receiver->pullPolicy(task, job);
    const QList<PolicyInfo> records = takeQueued(1);
    const qint64 end = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().taskId, task);
    QCOMPARE(records.first().jobId, job);
    const QString name = QFileInfo(records.first().cachePath).fileName();
    bool ok = false;
    const qint64 seconds = name.toLongLong(&ok);
    QVERIFY2(ok && seconds >= start && seconds <= end, qPrintable(name));
    QVERIFY(QFile::exists(records.first().cachePath));
    QCOMPARE(m_log->count(QStringLiteral("---cache timeT---:")), 1);
    QCOMPARE(m_log->count(QStringLiteral("onPullPolicyTimerOut ---policy_Interval")), byTimer ? 1 : 0);
}

void TestPolicyReceiver::acceptedMd5GoesIntoNextUrl()
{
    const QString path = QStringLiteral("/lab/md5abc.json");
    PolicyReceiver* receiver = makeReceiver(makeTemplate(path));
    const int before = requestsFor(path).size();
    receiver->pullPolicy(1, 1);
    QList<PolicyInfo> records = takeQueued(1);
    QCOMPARE(records.size(), 1);
    QCOMPARE(readFile(policyPath()), indented(kMd5Doc));
    QCOMPARE(readFile(cacheFile(QStringLiteral("1_1"))), indented(kMd5Doc));
    QVERIFY(m_log->contains(QStringLiteral("md5: \"abc\"")));

    receiver->pullPolicy(1, 2);
    QVERIFY(vorn::test::waitFor([&] { return m_log->count(kPushed) == 2; }, kNetTimeout));
    const QJsonArray requests = requestsFor(path);
    QCOMPARE(requests.size(), before + 2);
    const auto md5Of = [&](int i) {
        return requests.at(i).toObject().value(QStringLiteral("query")).toObject()
            .value(QStringLiteral("md5")).toString();
    };
    QCOMPARE(md5Of(before), QString());
    QCOMPARE(md5Of(before + 1), QStringLiteral("abc"));
    QVERIFY(m_log->linesWith(QStringLiteral("pullPolicy --- url:")).last().endsWith(QStringLiteral("md5=abc\"")));
}

void TestPolicyReceiver::rejectedResponseRequeuesStored_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("unreachable");
    QTest::newRow("code 1") << "/lab/code1.json" << false;
    QTest::newRow("not json") << "/lab/garbage.txt" << false;
    QTest::newRow("not found") << "/lab/missing.json" << false;
    QTest::newRow("unreachable") << kPolicyEndpoint << true;
}

void TestPolicyReceiver::rejectedResponseRequeuesStored()
{
    QFETCH(QString, path);
    QFETCH(bool, unreachable);
    int port = 0;
    if (unreachable) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    QVERIFY(writeFile(policyPath(), kStoredDoc));
    PolicyReceiver* receiver = makeReceiver(makeTemplate(path, port));
    receiver->pullPolicy(4, 4);
    const QList<PolicyInfo> records = takeQueued(1);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().cachePath, cacheFile(QStringLiteral("4_4")));
    QCOMPARE(records.first().taskId, 4);
    QCOMPARE(readFile(records.first().cachePath), kStoredDoc);
    QCOMPARE(readFile(policyPath()), kStoredDoc);
    QCOMPARE(m_log->count(QStringLiteral("---policy no update--2222-:")), 1);
    QCOMPARE(m_log->count(QStringLiteral(":cache policy:")), 1);
}

void TestPolicyReceiver::emptyDataLogsMd5Error()
{
    const QString path = QStringLiteral("/lab/emptydata.json");
    QVERIFY(writeFile(policyPath(), kStoredDoc));
    PolicyReceiver* receiver = makeReceiver(makeTemplate(path));
    receiver->pullPolicy(5, 1);
    const QList<PolicyInfo> records = takeQueued(1);
    QCOMPARE(records.size(), 1);
    QCOMPARE(m_log->count(QStringLiteral("md5 parse error.")), 1);
    // The rejected document is written nowhere: the last accepted one runs again.
    QCOMPARE(readFile(policyPath()), kStoredDoc);
    QCOMPARE(readFile(records.first().cachePath), kStoredDoc);
    QCOMPARE(m_log->count(QStringLiteral("---policy no update--2222-:")), 1);

    // No checksum was accepted, so the next pull still sends none.
    receiver->pullPolicy(5, 2);
    QVERIFY(vorn::test::waitFor([&] { return m_log->count(kPushed) == 2; }, kNetTimeout));
    QCOMPARE(requestsFor(path).last().toObject().value(QStringLiteral("query")).toObject()
                 .value(QStringLiteral("md5")).toString(),
             QString());
}

void TestPolicyReceiver::emptyBodyWithoutPolicyFileQueuesNothing()
{
    PolicyReceiver* receiver = makeReceiver(makeTemplate(QStringLiteral("/lab/empty.json")));
    receiver->pullPolicy(6, 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_log->count(kCompleted), 1, kNetTimeout);
    QVERIFY(m_log->contains(QStringLiteral("asyncPullPolicy --- nCode: 200")));
    QCOMPARE(m_log->count(kPushed), 0);
    QVERIFY(!QFile::exists(policyPath()));
    QVERIFY(QDir(cacheDir()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

void TestPolicyReceiver::objectWithoutCodeFailsTheTask()
{
    PolicyReceiver* receiver = makeReceiver(makeTemplate(QStringLiteral("/lab/nocode.json")));
    QSignalSpy failed(receiver, &PolicyReceiver::pullFailed);
    QSignalSpy queued(receiver, &PolicyReceiver::pullQueued);
    receiver->pullPolicy(9, 9);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 10000);
    QCOMPARE(failed.first().at(0).toInt(), 9);
    QCOMPARE(failed.first().at(2).toString(),
             QStringLiteral("policy answer has no \"code\"; no stored policy document"));
    QCOMPARE(queued.size(), 0);
    QCOMPARE(takeQueued(0).size(), 0);
    QVERIFY(!QFile::exists(policyPath()));
    // The md5 of a document that was not stored is never sent.
    QVERIFY(!m_log->contains(QStringLiteral("md5: \"nocode\"")));
}

void TestPolicyReceiver::overlappingPullsKeepTheirOwnTask()
{
    // The first request to arrive answers late, so the completions cross.
    QVERIFY(!m_server->admin("PUT", QStringLiteral("/faults"),
                             QByteArray("{\"") + kPolicyEndpoint.toUtf8()
                                 + "\":{\"kind\":\"slow\",\"seconds\":1.5,\"count\":1}}")
                 .isNull());
    PolicyReceiver* receiver = makeReceiver(makeTemplate(kPolicyEndpoint));
    receiver->pullPolicy(21, 1);
    receiver->pullPolicy(22, 2);
    QList<PolicyInfo> records = takeQueued(2);
    QCOMPARE(records.size(), 2);
    std::sort(records.begin(), records.end(),
              [](const PolicyInfo& a, const PolicyInfo& b) { return a.taskId < b.taskId; });
    QCOMPARE(records.at(0).taskId, 21);
    QCOMPARE(records.at(0).jobId, 1);
    QCOMPARE(records.at(0).cachePath, cacheFile(QStringLiteral("21_1")));
    QCOMPARE(records.at(1).taskId, 22);
    QCOMPARE(records.at(1).jobId, 2);
    QCOMPARE(records.at(1).cachePath, cacheFile(QStringLiteral("22_2")));
    QVERIFY(QFile::exists(records.at(0).cachePath));
    QVERIFY(QFile::exists(records.at(1).cachePath));
}

void TestPolicyReceiver::completionAfterReceiverIsGone()
{
    QVERIFY(!m_server->admin("PUT", QStringLiteral("/faults"),
                             QByteArray("{\"/lab/md5abc.json\":{\"kind\":\"slow\",\"seconds\":0.5,\"count\":1}}"))
                 .isNull());
    const int before = requestsFor(QStringLiteral("/lab/md5abc.json")).size();
    makeReceiver(makeTemplate(QStringLiteral("/lab/md5abc.json")))->pullPolicy(3, 3);
    m_receiver.reset();
    // The late answer has been sent once the server logged it.
    QVERIFY(vorn::test::waitFor(
        [&] { return requestsFor(QStringLiteral("/lab/md5abc.json")).size() == before + 1; }, kNetTimeout));
    // A later pull's completion comes after the orphaned one.
    makeReceiver(makeTemplate(QStringLiteral("/lab/md5abc.json")))->pullPolicy(3, 4);
    QTRY_COMPARE_WITH_TIMEOUT(m_log->count(kCompleted), 1, kNetTimeout);
    QCOMPARE(takeQueued(1).size(), 1);
    QVERIFY(!QFile::exists(cacheFile(QStringLiteral("3_3"))));
}

void TestPolicyReceiver::writesNeverFollowLinks()
{
    const QString victim = m_work->filePath(QStringLiteral("victim"));
    QVERIFY(writeFile(victim, "keep"));
    QDir().mkpath(QFileInfo(policyPath()).absolutePath());
    QVERIFY(QFile::link(victim, policyPath()));
    QDir().mkpath(cacheDir());
    QVERIFY(QFile::link(victim, cacheFile(QStringLiteral("2_2"))));

    PolicyReceiver* receiver = makeReceiver(makeTemplate(QStringLiteral("/lab/md5abc.json")));
    receiver->pullPolicy(2, 2);
    const QList<PolicyInfo> records = takeQueued(1);
    QCOMPARE(records.size(), 1);
    QCOMPARE(readFile(victim), QByteArray("keep"));
    QVERIFY(!QFileInfo(policyPath()).isSymLink());
    QCOMPARE(readFile(policyPath()), indented(kMd5Doc));
    QVERIFY(records.first().cachePath != cacheFile(QStringLiteral("2_2")));
    QVERIFY(!QFileInfo(records.first().cachePath).isSymLink());
    QCOMPARE(readFile(records.first().cachePath), indented(kMd5Doc));

    // Direct writes: missing directories are made, nothing is left beside the file.
    const QString deep = m_work->filePath(QStringLiteral("a/b/c/doc.json"));
    QVERIFY(receiver->writeCache(deep, QByteArray("{\"\xc3\xa4\":1}")));
    QCOMPARE(readFile(deep), QByteArray("{\"\xc3\xa4\":1}"));
    QCOMPARE(QDir(QFileInfo(deep).absolutePath()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("doc.json")});
}

void TestPolicyReceiver::startupRequeueOldestFirst()
{
    const QDateTime now = QDateTime::currentDateTime();
    const struct
    {
        const char* name;
        int ageSeconds;
    } files[] = {{"12_5", 300}, {"999", 200}, {"x_y.json", 100}, {".5_6", 50}};
    for (const auto& f : files) {
        const QString path = cacheFile(QLatin1String(f.name));
        QVERIFY(writeFile(path, kStoredDoc));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(now.addSecs(-f.ageSeconds), QFileDevice::FileModificationTime));
    }
    QVERIFY(QFile::link(cacheFile(QStringLiteral("12_5")), cacheFile(QStringLiteral("1_1"))));
    const QString unfinished = cacheFile(QStringLiteral(".8_8.writing-Ab12Cd"));
    QVERIFY(writeFile(unfinished, "{\"code\":"));
    QVERIFY(writeFile(policyPath(), kStoredDoc));

    PolicyReceiver* receiver = makeReceiver(makeTemplate(kPolicyEndpoint));
    receiver->initPolicyCachePath();
    const QList<PolicyInfo> records = takeQueued(4);
    QCOMPARE(records.size(), 4);
    const struct
    {
        const char* name;
        int task;
        int job;
    } expected[] = {{"12_5", 12, 5}, {"999", -1, -1}, {"x_y.json", 0, 0}, {".5_6", -1, -1}};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(records.at(i).cachePath, cacheFile(QLatin1String(expected[i].name)));
        QCOMPARE(records.at(i).taskId, expected[i].task);
        QCOMPARE(records.at(i).jobId, expected[i].job);
        QCOMPARE(records.at(i).policyPath, policyPath());
    }
    QVERIFY(m_log->contains(QStringLiteral("-----cacheList 4 :")));
    QVERIFY(m_log->contains(QStringLiteral("-----cacheList 0 : \"") + cacheFile(QStringLiteral("12_5"))
                            + QStringLiteral("\" :bundle: \"12_5\" : 12")));
    QVERIFY(!QFile::exists(unfinished));

    // A missing cache directory is an empty list.
    QTemporaryDir empty;
    QVERIFY(receiver->fileSearch(empty.filePath(QStringLiteral("none"))).isEmpty());
}


void TestPolicyReceiver::timerPullsHeldBack_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("retryAfter"); // empty: an HTTP date 3 s ahead
    QTest::newRow("503, seconds") << "http503" << "2";
    QTest::newRow("429, http date") << "http429" << QString();
}

// A server that asks for quiet is not asked by the timer before the time it
// named, while the stored document is still applied at every tick; a pushed
// pull goes at once all the same.
void TestPolicyReceiver::timerPullsHeldBack()
{
    QFETCH(QString, kind);
    QFETCH(QString, retryAfter);
    if (retryAfter.isEmpty())
        retryAfter = QLocale::c().toString(QDateTime::currentDateTimeUtc().addSecs(3),
                                           QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    const auto busyOnce = [&](const QString& after) {
        const QJsonObject fault{{QStringLiteral("kind"), kind},
                                {QStringLiteral("retry_after"), after},
                                {QStringLiteral("count"), 1}};
        m_server->admin("PUT", QStringLiteral("/faults"),
                        QJsonDocument(QJsonObject{{kPolicyEndpoint, fault}}).toJson());
    };
    int queued = 0;
    const auto nextQueued = [&] {
        PolicyInfo record;
        ++queued;
        if (vorn::test::waitFor([&] { return m_log->count(kPushed) >= queued; }, kNetTimeout))
            m_queue->popPolicy(record);
        return record;
    };
    QVERIFY(writeFile(policyPath(), kStoredDoc));
    PolicyReceiver* receiver = makeReceiver(makeTemplate(kPolicyEndpoint));
    const int before = requestsFor(kPolicyEndpoint).size();

    // The timer's pull meets the busy server: the stored document is applied.
    busyOnce(retryAfter);
    receiver->onPullPolicyTimerOut();
    QCOMPARE(readFile(nextQueued().cachePath), kStoredDoc);
    QCOMPARE(requestsFor(kPolicyEndpoint).size(), before + 1);
    QVERIFY(!receiver->schedule().mayPull());

    // A tick before that time asks nobody and still applies the stored document.
    receiver->onPullPolicyTimerOut();
    const PolicyInfo held = nextQueued();
    QCOMPARE(held.taskId, -1);
    QCOMPARE(readFile(held.cachePath), kStoredDoc);
    QCOMPARE(m_log->count(QStringLiteral("policy pull held back until")), 1);
    QCOMPARE(requestsFor(kPolicyEndpoint).size(), before + 1);

    // Once the time has come, the timer asks again and gets the document.
    QVERIFY(vorn::test::waitFor([&] { return receiver->schedule().mayPull(); }, 5000));
    receiver->onPullPolicyTimerOut();
    QVERIFY(readFile(nextQueued().cachePath) != kStoredDoc);
    QCOMPARE(requestsFor(kPolicyEndpoint).size(), before + 2);
    QCOMPARE(receiver->schedule().failures(), 0);

    // Held back for a minute now, but a pushed update pulls at once.
    busyOnce(QStringLiteral("60"));
    receiver->onPullPolicyTimerOut();
    nextQueued();
    QVERIFY(!receiver->schedule().mayPull());
    receiver->pullPolicy(7, 3);
    const PolicyInfo pushed = nextQueued();
    QCOMPARE(pushed.cachePath, cacheFile(QStringLiteral("7_3")));
    QCOMPARE(requestsFor(kPolicyEndpoint).size(), before + 4);
    QVERIFY(receiver->schedule().mayPull());
    QCOMPARE(m_log->count(QStringLiteral("policy pull held back until")), 1);
}

QTEST_GUILESS_MAIN(TestPolicyReceiver)
#include "tst_policyreceiver.moc"
