#include "common/external/errorsdescription.h"
#include "labsupport.h"
#include "lumo/policy/policy_queue.h"
#include "system_policy_executor.h"
#include "testsysroot.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using vorn::test::LogCapture;
using vorn::test::waitFor;

using Settings = QList<QPair<QString, QString>>;

class TestSystemPolicyExecutor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void appliesSettingsInAscendingKeyOrder();
    void keyWithoutHandlerDoesNotHoldDocument();
    void lateResultOfEarlierDocumentIsNotCounted();
    void reportsOnlyForServerTasks_data();
    void reportsOnlyForServerTasks();
    void missingCacheFileAppliesNothing();

    void ntpServer_data();
    void ntpServer();
    void sshLogin_data();
    void sshLogin();
    void sshLoginRepeated_data();
    void sshLoginRepeated();
    void invalidSwitchValue_data();
    void invalidSwitchValue();
    void loginLimit_data();
    void loginLimit();
    void loginLimitNamesASessionLeftRunning();
    void appBlacklist_data();
    void appBlacklist();
    void usbStorage_data();
    void usbStorage();
    void wireless_data();
    void wireless();

    void stopWhileWaitingOnEmptyQueue_data();
    void stopWhileWaitingOnEmptyQueue();

private:
    QString path(const QString& absolute) const { return m_root + absolute; }
    QString writeDocument(const Settings& settings);
    // Queues a document and returns its result text once it is done; null
    // when the document reported nothing.
    QString runDocument(const Settings& settings, int taskId = 5, int jobId = 9);
    bool waitUntilDone(const QString& cachePath, int timeoutMs = 5000);
    QJsonObject systemState() const;
    QStringList stubCalls() const;
    void writeFile(const QString& absolute, const QByteArray& data);
    void answerStubs(const QByteArray& config);
    void addSession(const QString& id, int uid, const QString& service);

    QString m_root;
    int m_documentNumber = 0;
    PolicyQueue m_queue;
    QScopedPointer<SystemPolicyExecutor> m_executor;
    QList<QVariantList> m_finished;
    QList<int> m_loginLimits;
    QList<bool> m_usbPolicies;
};

void TestSystemPolicyExecutor::initTestCase()
{
    m_root = qargtest::sysroot();
    QVERIFY(!m_root.isEmpty());
    QVERIFY(QDir().mkpath(path("/root/.cache/vorn/cache_policy")));
    qputenv("VORN_STUB_CONFIG", path("/stub-config.json").toLocal8Bit());
    writeFile(QStringLiteral("/etc/passwd"),
              "root:x:0:0:root:/root:/bin/bash\n"
              "svc:x:998:998::/var/lib/svc:/usr/sbin/nologin\n"
              "u1000:x:1000:1000::/home/u1000:/bin/bash\n"
              "u1001:x:1001:1001::/home/u1001:/bin/bash\n"
              "u10001:x:10001:10001::/home/u10001:/bin/bash\n");

    m_executor.reset(new SystemPolicyExecutor(&m_queue));
    m_executor->setConfig(QStringLiteral("127.0.0.1"), QStringLiteral("1"));
    // Queued into this thread, as the manager receives them.
    connect(m_executor.data(), &SystemPolicyExecutor::execPolicyFinished, this,
            [this](int taskId, int jobId, bool ok, const QString& result) {
                m_finished.append({taskId, jobId, ok, result});
            });
    connect(m_executor.data(), &SystemPolicyExecutor::loginLimitChanged, this,
            [this](int type) { m_loginLimits.append(type); });
    connect(m_executor.data(), &SystemPolicyExecutor::usbPolicyChanged, this,
            [this](bool flag) { m_usbPolicies.append(flag); });
    m_executor->start();
}

void TestSystemPolicyExecutor::cleanupTestCase()
{
    m_executor->stop();
    QVERIFY(m_executor->isFinished());
}

void TestSystemPolicyExecutor::init()
{
    m_finished.clear();
    m_loginLimits.clear();
    m_usbPolicies.clear();
    QFile::remove(qargtest::stubLogPath());
    QFile::remove(path("/var/lib/vorn-xwe/system.json"));
    QFile::remove(path("/var/lib/vorn-xwe/faults.json"));
    QFile::remove(path("/etc/vorn/userinfo.json"));
    QDir(path("/run/systemd/sessions")).removeRecursively();
    answerStubs("{}");
}

QString TestSystemPolicyExecutor::writeDocument(const Settings& settings)
{
    QMap<QString, QJsonArray> configs;
    for (const auto& setting : settings) {
        const QString policyKey = setting.first.section(QLatin1Char('/'), 0, 0);
        const QString configKey = setting.first.section(QLatin1Char('/'), 1);
        configs[policyKey].append(
            QJsonObject{{QStringLiteral("config_key"), configKey},
                        {QStringLiteral("config_value"), setting.second}});
    }
    QJsonArray policys;
    for (auto it = configs.constBegin(); it != configs.constEnd(); ++it)
        policys.append(QJsonObject{{QStringLiteral("policy_key"), it.key()},
                                   {QStringLiteral("configs"), it.value()}});
    const QJsonObject doc{
        {QStringLiteral("code"), 0},
        {QStringLiteral("data"),
         QJsonObject{{QStringLiteral("md5"), QStringLiteral("m")},
                     {QStringLiteral("policys"), policys}}}};
    const QString cachePath =
        path(QStringLiteral("/root/.cache/vorn/cache_policy/doc%1").arg(++m_documentNumber));
    QFile file(cachePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(doc).toJson()) <= 0)
        return QString();
    return cachePath;
}

bool TestSystemPolicyExecutor::waitUntilDone(const QString& cachePath, int timeoutMs)
{
    // The report is emitted before the cache file goes; let it arrive too.
    return waitFor([&] { return !QFile::exists(cachePath); }, timeoutMs)
           && (QCoreApplication::processEvents(), true);
}

QString TestSystemPolicyExecutor::runDocument(const Settings& settings, int taskId, int jobId)
{
    const QString cachePath = writeDocument(settings);
    if (cachePath.isEmpty())
        return QString();
    PolicyInfo info;
    info.taskId = taskId;
    info.jobId = jobId;
    info.cachePath = cachePath;
    const int before = m_finished.size();
    m_queue.pushPolicy(info);
    if (!waitUntilDone(cachePath))
        return QStringLiteral("document did not end");
    if (m_finished.size() == before)
        return QString();
    return m_finished.last().at(3).toString();
}

QJsonObject TestSystemPolicyExecutor::systemState() const
{
    QFile file(path("/var/lib/vorn-xwe/system.json"));
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

QStringList TestSystemPolicyExecutor::stubCalls() const
{
    QStringList calls;
    QFile file(qargtest::stubLogPath());
    if (!file.open(QIODevice::ReadOnly))
        return calls;
    while (!file.atEnd()) {
        const QJsonArray argv =
            QJsonDocument::fromJson(file.readLine()).object().value(QStringLiteral("argv")).toArray();
        QStringList words;
        for (const QJsonValue& word : argv)
            words.append(word.toString());
        calls.append(words.join(QLatin1Char(' ')));
    }
    return calls;
}

void TestSystemPolicyExecutor::writeFile(const QString& absolute, const QByteArray& data)
{
    const QString target = path(absolute);
    QVERIFY(QDir().mkpath(QFileInfo(target).absolutePath()));
    QFile file(target);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), qint64(data.size()));
}

void TestSystemPolicyExecutor::answerStubs(const QByteArray& config)
{
    writeFile(QStringLiteral("/stub-config.json"), config);
}

void TestSystemPolicyExecutor::addSession(const QString& id, int uid, const QString& service)
{
    writeFile(QStringLiteral("/run/systemd/sessions/") + id,
              QStringLiteral("# comment\nUID=%1\nUSER=u%1\nSERVICE= %2 \nTYPE=tty\n")
                  .arg(uid)
                  .arg(service)
                  .toUtf8());
}

static QString oneResult(const QString& key, const QString& text)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonArray{QJsonObject{{key, text}}}).toJson(QJsonDocument::Compact));
}

void TestSystemPolicyExecutor::appliesSettingsInAscendingKeyOrder()
{
    const QString result = runDocument({{QStringLiteral("usb/usb_store_device"), QStringLiteral("1")},
                                        {QStringLiteral("blue_tooth/system_bluetooth"), QStringLiteral("1")}});
    QCOMPARE(result, QStringLiteral("[{\"blue_tooth/system_bluetooth\":\"success\"},"
                                    "{\"usb/usb_store_device\":\"success\"}]"));
    QCOMPARE(systemState().value(QStringLiteral("SetBluetoothEnable")), QJsonValue(true));
}

void TestSystemPolicyExecutor::keyWithoutHandlerDoesNotHoldDocument()
{
    LogCapture log;
    QElapsedTimer timer;
    timer.start();
    const QString result = runDocument({{QStringLiteral("desktop/wallpaper"), QStringLiteral("x.png")},
                                        {QStringLiteral("ntp/ntpServer"), QStringLiteral("a.example")}});
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(result, oneResult(QStringLiteral("ntp/ntpServer"), QStringLiteral("setNTPServer success")));
    QCOMPARE(log.count(QStringLiteral("nof function \"desktop/wallpaper\"")), 1);
}

void TestSystemPolicyExecutor::lateResultOfEarlierDocumentIsNotCounted()
{
    QCOMPARE(runDocument({{QStringLiteral("ntp/ntpServer"), QStringLiteral("a.example")}}),
             oneResult(QStringLiteral("ntp/ntpServer"), QStringLiteral("setNTPServer success")));
    const quint64 earlier = m_executor->currentDocument();

    // Keeps the next document inside its handler while the late result comes.
    answerStubs(R"({"systemctl stop": {"delay": 1.0}})");
    const QString cachePath = writeDocument({{QStringLiteral("ssh_login/ssh_login_status"), QStringLiteral("1")}});
    PolicyInfo info;
    info.taskId = 5;
    info.jobId = 9;
    info.cachePath = cachePath;
    m_queue.pushPolicy(info);
    QVERIFY(waitFor([&] { return m_executor->currentDocument() != earlier; }, 3000));
    QVERIFY(!m_executor->appendExecResult(earlier, QStringLiteral("script/script_name"),
                                          QStringLiteral("late")));

    QElapsedTimer timer;
    timer.start();
    QVERIFY(waitUntilDone(cachePath, 5000));
    QVERIFY(timer.elapsed() < 4000);
    QCOMPARE(m_finished.size(), 2);
    QCOMPARE(m_finished.last().at(3).toString(),
             oneResult(QStringLiteral("ssh_login/ssh_login_status"), QStringLiteral("setSSHLogin true")));
}

void TestSystemPolicyExecutor::reportsOnlyForServerTasks_data()
{
    QTest::addColumn<int>("taskId");
    QTest::addColumn<int>("jobId");
    QTest::addColumn<bool>("reported");
    QTest::newRow("task 5 job 9") << 5 << 9 << true;
    QTest::newRow("timer pull") << -1 << -1 << false;
    QTest::newRow("task 0") << 0 << 9 << false;
    QTest::newRow("job 0") << 5 << 0 << false;
}

void TestSystemPolicyExecutor::reportsOnlyForServerTasks()
{
    QFETCH(int, taskId);
    QFETCH(int, jobId);
    QFETCH(bool, reported);
    const QString result =
        runDocument({{QStringLiteral("blue_tooth/system_bluetooth"), QStringLiteral("0")}}, taskId, jobId);
    QCOMPARE(m_finished.size(), reported ? 1 : 0);
    if (reported) {
        QCOMPARE(m_finished.first(), (QVariantList{taskId, jobId, true, result}));
        QCOMPARE(result, oneResult(QStringLiteral("blue_tooth/system_bluetooth"), QStringLiteral("success")));
    }
}

void TestSystemPolicyExecutor::missingCacheFileAppliesNothing()
{
    runDocument({{QStringLiteral("blue_tooth/system_bluetooth"), QStringLiteral("1")}});
    QFile::remove(path("/var/lib/vorn-xwe/system.json"));
    m_finished.clear();

    LogCapture log;
    PolicyInfo info;
    info.taskId = 5;
    info.jobId = 9;
    info.cachePath = path("/root/.cache/vorn/cache_policy/gone");
    m_queue.pushPolicy(info);
    QVERIFY(waitFor([&] { return log.contains(QStringLiteral("-----policy ret  false")); }, 5000));
    QVERIFY(waitFor([&] { return !m_finished.isEmpty(); }, 1000));
    QCOMPARE(m_finished.first(), (QVariantList{5, 9, true, QStringLiteral("[]")}));
    // The previous document's Bluetooth setting was not applied again.
    QVERIFY(!systemState().contains(QStringLiteral("SetBluetoothEnable")));
}

void TestSystemPolicyExecutor::ntpServer_data()
{
    QTest::addColumn<QString>("current");
    QTest::addColumn<bool>("setterFails");
    QTest::addColumn<QString>("expected");
    QTest::newRow("read back equal") << QString() << false << "setNTPServer success";
    QTest::newRow("read back differs in case") << "NTP.EXAMPLE.ORG" << true << "setNTPServer falied";
}

void TestSystemPolicyExecutor::ntpServer()
{
    QFETCH(QString, current);
    QFETCH(bool, setterFails);
    QFETCH(QString, expected);
    if (!current.isEmpty())
        writeFile(QStringLiteral("/var/lib/vorn-xwe/system.json"),
                  QJsonDocument(QJsonObject{{QStringLiteral("SetNTPServer"), current}}).toJson());
    if (setterFails)
        writeFile(QStringLiteral("/var/lib/vorn-xwe/faults.json"),
                  R"({"SetNTPServer": {"status": 7, "count": 1}})");
    QCOMPARE(runDocument({{QStringLiteral("ntp/ntpServer"), QStringLiteral("ntp.example.org")}}),
             oneResult(QStringLiteral("ntp/ntpServer"), expected));
    QCOMPARE(systemState().value(QStringLiteral("SetNTPServer")).toString(),
             current.isEmpty() ? QStringLiteral("ntp.example.org") : current);
}

void TestSystemPolicyExecutor::sshLogin_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("withSessions");
    QTest::addColumn<QByteArray>("stubs");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("expected");
    const QStringList enable{"systemctl stop ssh", "systemctl enable ssh", "systemctl start ssh"};
    const QStringList disable{"systemctl stop ssh", "systemctl disable ssh"};
    QTest::newRow("1 enables") << "1" << true << QByteArray("{}") << enable << "setSSHLogin true";
    QTest::newRow("2 disables and ends every ssh session")
        << "2" << true << QByteArray("{}")
        << (disable + QStringList{"loginctl terminate-session c1", "loginctl terminate-session c2"})
        << "setSSHLogin true";
    QTest::newRow("empty changes nothing") << "" << true << QByteArray("{}") << QStringList()
                                           << "invalid value: ";
    QTest::newRow("not a number changes nothing") << "on" << true << QByteArray("{}")
                                                  << QStringList() << "invalid value: on";
    QTest::newRow("a failed start")
        << "1" << false << QByteArray(R"({"systemctl start": {"exit": 1}})") << enable
        << "setSSHLogin false";
    QTest::newRow("a failed stop still disables and ends the sessions")
        << "2" << true << QByteArray(R"({"systemctl stop": {"exit": 5}})")
        << (disable + QStringList{"loginctl terminate-session c1", "loginctl terminate-session c2"})
        << "setSSHLogin false";
    QTest::newRow("no session directory") << "2" << false << QByteArray("{}") << disable
                                          << "setSSHLogin false";
    QTest::newRow("terminate fails")
        << "2" << true << QByteArray(R"({"loginctl terminate-session": {"exit": 1}})")
        << (disable + QStringList{"loginctl terminate-session"}) << "setSSHLogin false";
}

void TestSystemPolicyExecutor::sshLogin()
{
    QFETCH(QString, value);
    QFETCH(bool, withSessions);
    QFETCH(QByteArray, stubs);
    QFETCH(QStringList, calls);
    QFETCH(QString, expected);
    if (withSessions) {
        addSession(QStringLiteral("c1"), 1000, QStringLiteral("sshd"));
        addSession(QStringLiteral("c2"), 10001, QStringLiteral("sshd"));
        addSession(QStringLiteral("c3"), 1001, QStringLiteral("lightdm"));
    }
    answerStubs(stubs);
    QCOMPARE(runDocument({{QStringLiteral("ssh_login/ssh_login_status"), value}}),
             oneResult(QStringLiteral("ssh_login/ssh_login_status"), expected));

    QStringList made = stubCalls();
    QCOMPARE(made.size(), calls.size());
    // Sessions are taken in directory order; compare the ids as a set.
    const int fixed = value == QLatin1String("1") ? 3 : 2;
    QCOMPARE(made.mid(0, fixed), calls.mid(0, fixed));
    QStringList rest = made.mid(fixed);
    QStringList expectedRest = calls.mid(fixed);
    if (expectedRest.size() == 1) // the first terminate fails: any one session, then stop
        QVERIFY(rest.first().startsWith(expectedRest.first()));
    else {
        rest.sort();
        QCOMPARE(rest, expectedRest);
    }
}

void TestSystemPolicyExecutor::sshLoginRepeated_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("firstStubs"); // answers while the task runs
    QTest::addColumn<QString>("active");
    QTest::addColumn<QString>("enabled");
    QTest::addColumn<QStringList>("calls"); // of the repetition without a task

    const QStringList ask{"systemctl is-active ssh", "systemctl is-enabled ssh"};
    const QStringList enable{"systemctl stop ssh", "systemctl enable ssh", "systemctl start ssh"};
    const QStringList disable{"systemctl stop ssh", "systemctl disable ssh"};
    const QStringList endSession{"loginctl terminate-session c1"};
    QTest::newRow("on, started and enabled: no restart")
        << "1" << QByteArray("{}") << "active" << "enabled" << ask;
    QTest::newRow("on, stopped meanwhile") << "1" << QByteArray("{}") << "inactive" << "enabled"
                                           << ask + enable;
    QTest::newRow("on, disabled meanwhile") << "1" << QByteArray("{}") << "active" << "disabled"
                                            << ask + enable;
    QTest::newRow("on, failed the first time")
        << "1" << QByteArray(R"({"systemctl enable": {"exit": 1}})") << "active" << "enabled"
        << enable;
    QTest::newRow("off, stopped and disabled: a session left is ended")
        << "2" << QByteArray("{}") << "inactive" << "disabled" << ask + endSession;
    QTest::newRow("off, masked") << "2" << QByteArray("{}") << "failed" << "masked"
                                 << ask + endSession;
    QTest::newRow("off, started meanwhile") << "2" << QByteArray("{}") << "active" << "disabled"
                                            << ask + disable + endSession;
}

void TestSystemPolicyExecutor::sshLoginRepeated()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, firstStubs);
    QFETCH(QString, active);
    QFETCH(QString, enabled);
    QFETCH(QStringList, calls);
    const Settings settings{{QStringLiteral("ssh_login/ssh_login_status"), value}};

    addSession(QStringLiteral("c1"), 1000, QStringLiteral("sshd"));
    answerStubs(firstStubs);
    QVERIFY(!runDocument(settings).isEmpty()); // the task runs the whole sequence
    QFile::remove(qargtest::stubLogPath());
    answerStubs(QStringLiteral(R"({"systemctl is-active": {"stdout": "%1\n", "exit": 3},)"
                               R"( "systemctl is-enabled": {"stdout": "%2\n", "exit": 1}})")
                    .arg(active, enabled)
                    .toUtf8());
    // The same document again, as a timer pull queues it.
    QVERIFY(runDocument(settings, -1, -1).isNull());
    QCOMPARE(stubCalls(), calls);
}

void TestSystemPolicyExecutor::invalidSwitchValue_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("bluetooth") << "blue_tooth/system_bluetooth" << "on";
    QTest::newRow("wireless") << "wireless_adapter/wireless_adapter_status" << "1x";
    QTest::newRow("optical drives, empty") << "disk_manage/disk_rw" << "";
    QTest::newRow("usb storage, empty") << "usb/usb_store_device" << "";
    QTest::newRow("usb storage") << "usb/usb_store_device" << "zero";
    QTest::newRow("login limit") << "login_limit/local_login_limit" << "no";
}

void TestSystemPolicyExecutor::invalidSwitchValue()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QCOMPARE(runDocument({{key, value}}), oneResult(key, QStringLiteral("invalid value: ") + value));
    // Nothing reached the adaption service, nobody was told of a change.
    QCOMPARE(systemState(), QJsonObject());
    QVERIFY(m_usbPolicies.isEmpty());
    QVERIFY(m_loginLimits.isEmpty());
}

void TestSystemPolicyExecutor::loginLimit_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("userinfo");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QList<int>>("signalled");
    QTest::addColumn<QStringList>("terminated");
    QTest::addColumn<QJsonValue>("state");
    QTest::newRow("pc disabled") << "0" << QByteArray(R"({"pc_enabled": 0})") << "pc disabled"
                                 << QList<int>{} << QStringList{} << QJsonValue();
    QTest::newRow("refused ends local ssh sessions")
        << "0" << QByteArray(R"({"pc_enabled": 1})")
        << "success: local logins refused, local SSH sessions ended" << QList<int>{0}
        << QStringList{"loginctl terminate-session s1", "loginctl terminate-session s2"}
        << QJsonValue(false);
    QTest::newRow("allowed, no user info file") << "1" << QByteArray() << "success" << QList<int>{1}
                                                << QStringList{} << QJsonValue(true);
    QTest::newRow("unparsable user info counts as enabled")
        << "1" << QByteArray("{oops") << "success" << QList<int>{1} << QStringList{}
        << QJsonValue(true);
}

void TestSystemPolicyExecutor::loginLimit()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, userinfo);
    QFETCH(QString, expected);
    QFETCH(QList<int>, signalled);
    QFETCH(QStringList, terminated);
    QFETCH(QJsonValue, state);
    if (!userinfo.isEmpty())
        writeFile(QStringLiteral("/etc/vorn/userinfo.json"), userinfo);
    addSession(QStringLiteral("s1"), 1000, QStringLiteral("sshd"));
    addSession(QStringLiteral("s2"), 1001, QStringLiteral("sshd"));
    addSession(QStringLiteral("s3"), 10001, QStringLiteral("sshd"));
    // Those the limit lets in keep their sessions: root, a system account,
    // and a directory account (not in the passwd file).
    addSession(QStringLiteral("s4"), 0, QStringLiteral("sshd"));
    addSession(QStringLiteral("s5"), 998, QStringLiteral("sshd"));
    addSession(QStringLiteral("s6"), 1500, QStringLiteral("sshd"));

    QCOMPARE(runDocument({{QStringLiteral("login_limit/local_login_limit"), value}}),
             oneResult(QStringLiteral("login_limit/local_login_limit"), expected));
    QStringList made = stubCalls();
    made.sort();
    QCOMPARE(made, terminated);
    QCOMPARE(m_loginLimits, signalled);
    QCOMPARE(systemState().value(QStringLiteral("SetLocalUserLogoinLimit")),
             state.isNull() ? QJsonValue(QJsonValue::Undefined) : state);
}

void TestSystemPolicyExecutor::loginLimitNamesASessionLeftRunning()
{
    writeFile(QStringLiteral("/etc/vorn/userinfo.json"), QByteArray(R"({"pc_enabled": 1})"));
    addSession(QStringLiteral("s7"), 1000, QStringLiteral("sshd"));
    answerStubs(R"({"loginctl terminate-session": {"exit": 1}})");
    QCOMPARE(runDocument({{QStringLiteral("login_limit/local_login_limit"), QStringLiteral("0")}}),
             oneResult(QStringLiteral("login_limit/local_login_limit"),
                       QStringLiteral("failed: local logins refused, but SSH session s7 could "
                                      "not be ended")));
    answerStubs("{}");
}

void TestSystemPolicyExecutor::appBlacklist_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QJsonValue>("state");
    QTest::newRow("two packages")
        << R"([{"package_name":"a"},{"package_name":"b"}])" << "success" << QJsonValue("a,b");
    QTest::newRow("element without name")
        << R"([{"package_name":"a"},{"version":"1"},{"package_name":"c"}])" << "success"
        << QJsonValue("a,,c");
    QTest::newRow("not an array") << R"({"package_name":"a"})" << "success" << QJsonValue("");
    QTest::newRow("empty value") << "" << "value is empty" << QJsonValue(QJsonValue::Undefined);
}

void TestSystemPolicyExecutor::appBlacklist()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QFETCH(QJsonValue, state);
    QCOMPARE(runDocument({{QStringLiteral("pre_blacklist_app/pre_blacklist_app_list"), value}}),
             oneResult(QStringLiteral("pre_blacklist_app/pre_blacklist_app_list"), expected));
    QCOMPARE(systemState().value(QStringLiteral("SetAppCtrlBlacklist")), state);
}

void TestSystemPolicyExecutor::usbStorage_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("whitelist");
    QTest::addColumn<int>("permission");
    QTest::newRow("0: whitelist control") << "0" << true << 2;
    QTest::newRow("00 is not 0") << "00" << false << 0;
    QTest::newRow("read only") << "1" << false << 1;
}

void TestSystemPolicyExecutor::usbStorage()
{
    QFETCH(QString, value);
    QFETCH(bool, whitelist);
    QFETCH(int, permission);
    QCOMPARE(runDocument({{QStringLiteral("usb/usb_store_device"), value}}),
             oneResult(QStringLiteral("usb/usb_store_device"), QStringLiteral("success")));
    QCOMPARE(m_usbPolicies, QList<bool>{whitelist});
    const QJsonObject perms =
        systemState().value(QStringLiteral("SetStorageGlobalPermPolicy")).toObject();
    QCOMPARE(perms.value(QStringLiteral("1")).toInt(-1), permission);
    QVERIFY(!perms.contains(QStringLiteral("2")));
}

void TestSystemPolicyExecutor::wireless_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QJsonValue>("state");
    QTest::newRow("on") << "1" << "success" << QJsonValue(true);
    QTest::newRow("off") << "0" << "success" << QJsonValue(false);
    QTest::newRow("empty") << "" << "value is empty" << QJsonValue(QJsonValue::Undefined);
}

void TestSystemPolicyExecutor::wireless()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QFETCH(QJsonValue, state);
    QCOMPARE(runDocument({{QStringLiteral("wireless_adapter/wireless_adapter_status"), value},
                          {QStringLiteral("disk_manage/disk_rw"), QStringLiteral("1")}}),
             QStringLiteral("[{\"disk_manage/disk_rw\":\"success\"},"
                            "{\"wireless_adapter/wireless_adapter_status\":\"%1\"}]")
                 .arg(expected));
    QCOMPARE(systemState().value(QStringLiteral("SetWirelessEnable")), state);
    QCOMPARE(systemState().value(QStringLiteral("SetStorageGlobalPermPolicy")).toObject()
                 .value(QStringLiteral("2")).toInt(-1), 1);
}

void TestSystemPolicyExecutor::stopWhileWaitingOnEmptyQueue_data()
{
    QTest::addColumn<bool>("afterDocument");
    QTest::newRow("right after start") << false;
    QTest::newRow("after a document") << true;
}

void TestSystemPolicyExecutor::stopWhileWaitingOnEmptyQueue()
{
    QFETCH(bool, afterDocument);
    PolicyQueue queue;
    SystemPolicyExecutor executor(&queue);
    executor.start();
    if (afterDocument) {
        const QString cachePath = writeDocument({{QStringLiteral("blue_tooth/system_bluetooth"), QStringLiteral("1")}});
        PolicyInfo info;
        info.cachePath = cachePath;
        queue.pushPolicy(info);
        QVERIFY(waitUntilDone(cachePath));
    }
    QElapsedTimer timer;
    timer.start();
    executor.stop();
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(executor.isFinished());
}

QARG_TEST_MAIN_IN_SYSROOT(TestSystemPolicyExecutor)
#include "tst_systempolicyexecutor.moc"
