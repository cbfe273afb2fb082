#include "common/shared/childprocess.h"
#include "labsupport.h"
#include "system_policy_manager.h"
#include "testsysroot.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using vorn::test::PrivateSystemBus;
using vorn::test::VorngMock;
using vorn::test::waitFor;

class TestSystemPolicyManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void serverMessages_data();
    void serverMessages();
    void scriptResults_data();
    void scriptResults();
    void loginLimitNotifications_data();
    void loginLimitNotifications();

private:
    // Pushes a message the manager must refuse and waits for its answer: every
    // call the manager made before that answer has then reached the service.
    bool drain();
    QList<QVariantList> replies() const;

    QTemporaryDir m_dir;
    std::unique_ptr<PrivateSystemBus> m_bus;
    std::unique_ptr<VorngMock> m_mock;
    std::unique_ptr<SystemPolicyManager> m_manager;
    int m_probe = 900000;
};

void TestSystemPolicyManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString root = qargtest::sysroot();
    QFile passwd(root + QStringLiteral("/etc/passwd"));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/etc")));
    QVERIFY(passwd.open(QIODevice::WriteOnly));
    passwd.write("root:x:0:0:root:/root:/bin/bash\n"
                 "alice:x:1000:1000:alice:/home/alice:/bin/bash\n"
                 "svc:x:998:998:svc:/var/lib/svc:/usr/sbin/nologin\n"
                 "bob:x:1001:1001:bob:/home/bob:/bin/bash\n");
    passwd.close();

    m_bus.reset(new PrivateSystemBus(m_dir.filePath(QStringLiteral("bus"))));
    QVERIFY2(m_bus->start(), qPrintable(m_bus->errorString()));
    m_mock.reset(new VorngMock(m_dir.filePath(QStringLiteral("mock"))));
    QVERIFY2(m_mock->start(), qPrintable(m_mock->errorString()));
    m_manager.reset(new SystemPolicyManager(nullptr));
    QVERIFY(QDir(root + QStringLiteral("/root/.cache/vorn/cache_policy")).exists());
    // The manager hears the service once a refused push is answered.
    QVERIFY(waitFor([this] { return drain(); }, 20000));
}

void TestSystemPolicyManager::cleanupTestCase()
{
    m_manager.reset();
    m_mock.reset();
    m_bus.reset();
}

void TestSystemPolicyManager::init()
{
    QVERIFY(drain());
    m_mock->clearCalls();
}

bool TestSystemPolicyManager::drain()
{
    const int job = ++m_probe;
    m_mock->emitSignal(QStringLiteral("ServerMsgCame"), QStringLiteral("sis"),
                       {QStringLiteral("lab"), 2000,
                        QStringLiteral("{\"job_id\":%1,\"task_id\":1,\"action\":\"probe\"}").arg(job)});
    return waitFor(
        [&] {
            for (const QVariantList& call : m_mock->calls(QStringLiteral("ReplyTaskResult"))) {
                if (call.value(0).toInt() == job)
                    return true;
            }
            return false;
        },
        1000);
}

QList<QVariantList> TestSystemPolicyManager::replies() const
{
    QList<QVariantList> result;
    for (const QVariantList& call : m_mock->calls(QStringLiteral("ReplyTaskResult"))) {
        if (call.value(0).toInt() < 900000)
            result.append({call.value(0).toInt(), call.value(1).toInt(), call.value(2).toInt(),
                           call.value(3).toString(), call.value(4).toString()});
    }
    return result;
}

void TestSystemPolicyManager::serverMessages_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("payload");
    QTest::addColumn<QList<QVariantList>>("expected");
    QTest::newRow("1100 acknowledged")
        << 1100 << R"({"job_id": 7, "task_id": 9})"
        << QList<QVariantList>{{7, 9, 2001, QString(), QStringLiteral("receive success")}};
    QTest::newRow("1100 empty object: job and task 0")
        << 1100 << "{}"
        << QList<QVariantList>{{0, 0, 2001, QString(), QStringLiteral("receive success")}};
    QTest::newRow("2000 Add is not add")
        << 2000 << R"({"job_id": 3, "task_id": 4, "action": "Add"})"
        << QList<QVariantList>{{3, 4, -1, QString(), QStringLiteral("data error")}};
    QTest::newRow("2000 without action")
        << 2000 << R"({"job_id": 5, "task_id": 6})"
        << QList<QVariantList>{{5, 6, -1, QString(), QStringLiteral("data error")}};
    QTest::newRow("other type") << 1200 << R"({"job_id": 1, "task_id": 2})"
                                << QList<QVariantList>{};
    QTest::newRow("not JSON") << 1100 << "job 7" << QList<QVariantList>{};
    QTest::newRow("not an object") << 1100 << "[7, 9]" << QList<QVariantList>{};
}

void TestSystemPolicyManager::serverMessages()
{
    QFETCH(int, type);
    QFETCH(QString, payload);
    QFETCH(QList<QVariantList>, expected);
    QVERIFY(m_mock->emitSignal(QStringLiteral("ServerMsgCame"), QStringLiteral("sis"),
                               {QStringLiteral("app"), type, payload}));
    QVERIFY(drain());
    QCOMPARE(replies(), expected);
}

void TestSystemPolicyManager::scriptResults_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("prefixOnly");
    // Command lines are split at blanks; double quotes group.
    QTest::newRow("standard output") << "echo hello" << "hello\n" << false;
    QTest::newRow("LC_ALL is C") << R"(sh -c "echo $LC_ALL")" << "C\n" << false;
    QTest::newRow("output ends at NUL") << R"(printf "ab\000cd")" << "ab" << false;
    QTest::newRow("failure explains itself")
        << R"(sh -c "echo broken >&2; exit 3")" << "broken\n" << false;
    QTest::newRow("cannot start") << "/nonexistent/qarg-test-script"
                                  << "script could not be started: " << true;
    QTest::newRow("empty command") << "  " << "script could not be started: empty command"
                                   << false;
}

void TestSystemPolicyManager::scriptResults()
{
    QFETCH(QString, command);
    QFETCH(QString, expected);
    QFETCH(bool, prefixOnly);
    using vorn::base::ChildProcess;
    using vorn::base::ChildResult;
    // A slot of no document: only the child and its text are looked at.
    m_manager->startScript(ResultSlot(), command);
    // The script runs as a child of the manager; its result text is the manager's.
    auto* child = m_manager->findChild<ChildProcess*>(QString(), Qt::FindDirectChildrenOnly);
    if (expected.endsWith(QLatin1String("empty command"))) {
        QVERIFY(!child);
        return;
    }
    QVERIFY(child);
    QSignalSpy finished(child, &ChildProcess::finished);
    QVERIFY(finished.wait(10000));
    const QString text =
        SystemPolicyManager::scriptResultText(qvariant_cast<ChildResult>(finished.first().at(0)));
    if (prefixOnly)
        QVERIFY2(text.startsWith(expected) && text.size() > expected.size(), qPrintable(text));
    else
        QCOMPARE(text, expected);
    QTRY_VERIFY(!m_manager->findChild<ChildProcess*>(QString(), Qt::FindDirectChildrenOnly));
}

void TestSystemPolicyManager::loginLimitNotifications_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QList<int>>("uids");
    QTest::newRow("logins allowed: nothing") << 1 << QList<int>{};
    QTest::newRow("logins refused: every local user") << 0 << QList<int>{1000, 1001};
}

void TestSystemPolicyManager::loginLimitNotifications()
{
    QFETCH(int, type);
    QFETCH(QList<int>, uids);
    QVERIFY(QMetaObject::invokeMethod(m_manager.get(), "notifyLoginLimitChanged",
                                      Q_ARG(int, type)));
    QVERIFY(drain());
    const QList<QVariantList> calls = m_mock->calls(QStringLiteral("SendSystemNotify"));
    QCOMPARE(calls.size(), uids.size());
    QJsonObject first;
    for (int i = 0; i < calls.size(); ++i) {
        QJsonObject message =
            QJsonDocument::fromJson(calls.at(i).value(0).toString().toUtf8()).object();
        QCOMPARE(message.take(QStringLiteral("uid")).toInt(), uids.at(i));
        if (i == 0)
            first = message;
        QCOMPARE(message, first);
    }
    if (!calls.isEmpty()) {
        QCOMPARE(first.value(QStringLiteral("summary")).toString(), QStringLiteral("提醒"));
        QCOMPARE(first.value(QStringLiteral("body")).toString(),
                 QStringLiteral("您的帐号已被管理员停用或删除，1分钟后强制注销"));
        QCOMPARE(first.value(QStringLiteral("timeout")).toInt(), -1);
        QCOMPARE(first.value(QStringLiteral("operation")).toInt(), 3);
        QCOMPARE(first.value(QStringLiteral("operationDelay")).toInt(), 60000);
    }
}

QARG_TEST_MAIN_IN_SYSROOT(TestSystemPolicyManager)
#include "tst_systempolicymanager.moc"
