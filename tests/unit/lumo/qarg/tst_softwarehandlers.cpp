#include "common/external/asynchttpclientapi.h"
#include "labsupport.h"
#include "lumo/policy/policy_queue.h"
#include "system_policy_executor.h"
#include "testsysroot.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using vorn::test::waitFor;

namespace {

const QString kInstallKey = QStringLiteral("pre_install_app/pre_install_app_list");
const QString kScriptKey = QStringLiteral("script/script_name");
const QString kFirewallKey = QStringLiteral("firewall/firewall_data");
const QString kBackgroundKey = QStringLiteral("launch_backgroud/launch_backgroud_name");

// How long a document may take to end. Every download ends by itself within
// the handler's 60-second limit, with a result, and at most four run at once:
// five scripts end within two such rounds. On a loaded machine the five large
// scripts alone take longer than 15 s, and a shorter wait would leave the
// document running into the next row.
const int kDocumentEndMs = 150 * 1000;

// The result array of one setting key with these texts, as reported.
QString results(const QString& key, const QStringList& texts)
{
    QJsonArray array;
    for (const QString& text : texts)
        array.append(QJsonObject{{key, text}});
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

} // namespace

// The software, script, firewall and boot background handlers on a running
// executor thread, against the lab's management server. The test stands in
// for the manager: it records the commands asked for and answers them.
class TestSoftwareHandlers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void install_data();
    void install();
    void firewall_data();
    void firewall();
    void scripts_data();
    void scripts();
    void background_data();
    void background();
    void backgroundReplacesOlder();
    void repeatedWithoutTask_data();
    void repeatedWithoutTask();

private:
    QString path(const QString& absolute) const { return m_root + absolute; }
    void writeFile(const QString& target, const QByteArray& data);
    QString runDocument(const QString& key, const QString& value, int taskId = 5);
    // What the last run did: commands asked for, firewall lines, background installed.
    QStringList effects();
    QString serverUrl(const QString& path) const
    {
        return QStringLiteral("https://127.0.0.1:%1/").arg(m_server->port()) + path;
    }

    struct Command
    {
        QString key;
        QString cmd;
        QByteArray script; // first line of the script file when it was asked for
    };

    QString m_root;
    PolicyQueue m_queue;
    QScopedPointer<vorn::test::LabServer> m_server;
    QScopedPointer<SystemPolicyExecutor> m_executor;
    QStringList m_reports;
    QList<Command> m_commands;
    QList<QJsonArray> m_softwareLists;
    int m_documentNumber = 0;
};

void TestSoftwareHandlers::initTestCase()
{
    m_root = qargtest::sysroot();
    QVERIFY(!m_root.isEmpty());
    for (const char* dir : {"/root/.cache/vorn/cache_policy", "/etc/vorn", "/tmp"})
        QVERIFY(QDir().mkpath(path(QLatin1String(dir))));
    qputenv("TMPDIR", QFile::encodeName(path(QStringLiteral("/tmp"))));
    writeFile(path(QStringLiteral("/usr/share/vorn/appblacklist.txt")), "game-mines,B\n");

    m_server.reset(new vorn::test::LabServer(path(QStringLiteral("/server"))));
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    AsyncHttpClientApi::getInstance()->setSSLConfig(m_server->certPath(QStringLiteral("ca.crt")),
                                                    m_server->certPath(QStringLiteral("client.crt")),
                                                    m_server->certPath(QStringLiteral("client.key")));
    writeFile(m_server->filesDir() + "/scripts/one.sh", "echo one\n");
    writeFile(m_server->filesDir() + "/scripts/two.sh", "echo two\n");
    writeFile(m_server->filesDir() + "/a/b/c.png", "\x89PNG picture");
    writeFile(m_server->filesDir() + "/a/b/d.png", "\x89PNG newer picture");
    // One byte more than a download may be; sparse, so cheap to make.
    QFile huge(m_server->filesDir() + "/scripts/huge.sh");
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(AsyncHttpClientApi::kMaxBodyBytes + 1));
    huge.close();
    // Five of these make more than a document may download.
    QFile large(m_server->filesDir() + "/scripts/large.sh");
    QVERIFY(large.open(QIODevice::WriteOnly) && large.write("echo large\n") > 0
            && large.resize(52 * 1024 * 1024));
    large.close();

    m_executor.reset(new SystemPolicyExecutor(&m_queue));
    m_executor->setConfig(QStringLiteral("127.0.0.1"), QString::number(m_server->port()));
    connect(m_executor.data(), &SystemPolicyExecutor::execPolicyFinished, this,
            [this](int, int, bool, const QString& result) { m_reports.append(result); });
    connect(m_executor.data(), &SystemPolicyExecutor::saveSoftwareList, this,
            [this](const QJsonArray& array) { m_softwareLists.append(array); });
    // As the manager would, once the command has run.
    connect(m_executor.data(), &SystemPolicyExecutor::execInstall, this,
            [this](const ResultSlot& slot, const QString& cmd, const QString&) {
                m_commands.append({slot.key(), cmd, QByteArray()});
                m_executor->commandFinished(slot.document(), cmd, true);
                slot.record(QStringLiteral("ran: ") + cmd);
            });
    connect(m_executor.data(), &SystemPolicyExecutor::execDocumentScript, this,
            [this](const ResultSlot& slot, const QString& cmd) {
                QFile script(cmd.mid(QStringLiteral("bash ").size()));
                const QByteArray content =
                    script.open(QIODevice::ReadOnly) ? script.readLine() : QByteArray();
                m_commands.append({slot.key(), cmd, content});
                m_executor->commandFinished(slot.document(), cmd, !content.isEmpty());
                slot.record(QStringLiteral("ran: ") + QString::fromUtf8(content));
            });
    m_executor->start();
}

void TestSoftwareHandlers::cleanupTestCase()
{
    m_executor->stop();
    QVERIFY(m_executor->isFinished());
}

void TestSoftwareHandlers::init()
{
    m_reports.clear();
    m_commands.clear();
    m_softwareLists.clear();
    QFile::remove(path(QStringLiteral("/var/lib/vorn-xwe/system.json")));
    QDir(path(QStringLiteral("/etc/vorn/pic"))).removeRecursively();
}

void TestSoftwareHandlers::writeFile(const QString& target, const QByteArray& data)
{
    QVERIFY(QDir().mkpath(QFileInfo(target).absolutePath()));
    QFile file(target);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), qint64(data.size()));
}

QString TestSoftwareHandlers::runDocument(const QString& key, const QString& value, int taskId)
{
    const QJsonObject doc{
        {QStringLiteral("code"), 0},
        {QStringLiteral("data"),
         QJsonObject{{QStringLiteral("policys"),
                      QJsonArray{QJsonObject{
                          {QStringLiteral("policy_key"), key.section(QLatin1Char('/'), 0, 0)},
                          {QStringLiteral("configs"),
                           QJsonArray{QJsonObject{
                               {QStringLiteral("config_key"), key.section(QLatin1Char('/'), 1)},
                               {QStringLiteral("config_value"), value}}}}}}}}}};
    const QString cachePath =
        path(QStringLiteral("/root/.cache/vorn/cache_policy/doc%1").arg(++m_documentNumber));
    QFile file(cachePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(doc).toJson()) <= 0)
        return QStringLiteral("cache file not written");
    file.close();

    PolicyInfo info;
    info.taskId = taskId;
    info.jobId = taskId;
    info.cachePath = cachePath;
    const int before = m_reports.size();
    m_queue.pushPolicy(info);
    // The cache file goes once every result is in and the report was sent;
    // well inside the 30 minutes a document with a missing result would take.
    if (!waitFor([&] { return !QFile::exists(cachePath); }, kDocumentEndMs))
        return QStringLiteral("document did not end");
    QCoreApplication::processEvents();
    return m_reports.size() == before ? QStringLiteral("no report") : m_reports.last();
}

void TestSoftwareHandlers::install_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("command"); // empty: none asked for
    QTest::addColumn<QString>("result");

    const QString upgrade = QStringLiteral("bash ") + path("/usr/share/vorn/scripts/software_upgrade.bash");
    QTest::newRow("second blacklisted")
        << R"([{"package_name":"A","version":"1"},{"package_name":"B","version":"2"}])"
        << upgrade + " A" << QString();
    QTest::newRow("only blacklisted")
        << R"([{"package_name":"B"},{"package_name":"game-mines"}])" << QString()
        << "given packages are in the app blacklist";
    QTest::newRow("not JSON") << "A B" << QString() << "given packages are in the app blacklist";
    QTest::newRow("names not strings, or that would become arguments or shell syntax")
        << R"([{"package_name":5},"A",{"package_name":"a b"},{"package_name":"-y"},)"
           R"({"package_name":"x;reboot"},{"package_name":"libc6:amd64"},{"package_name":"g++-12"}])"
        << upgrade + " libc6:amd64 g++-12" << QString();
    QTest::newRow("only refused names")
        << R"x([{"package_name":"$(id)"},{"package_name":"B"}])x" << QString()
        << R"x(package names refused: "$(id)")x";
}

void TestSoftwareHandlers::install()
{
    QFETCH(QString, value);
    QFETCH(QString, command);
    QFETCH(QString, result);

    const QString report = runDocument(kInstallKey, value);
    // The whole array goes to the software list, before any filtering.
    QCOMPARE(m_softwareLists.size(), 1);
    QCOMPARE(m_softwareLists.first(), QJsonDocument::fromJson(value.toUtf8()).array());
    if (command.isEmpty()) {
        QVERIFY(m_commands.isEmpty());
        QCOMPARE(report, results(kInstallKey, {result}));
    } else {
        QCOMPARE(m_commands.size(), 1);
        QCOMPARE(m_commands.first().key, kInstallKey);
        QCOMPARE(m_commands.first().cmd, command);
        QCOMPARE(report, results(kInstallKey, {"ran: " + command}));
    }
}

void TestSoftwareHandlers::firewall_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("texts");

    QTest::newRow("two commands in order")
        << R"(["sleep 0.3; echo first", "echo second"])" << QStringList{"first\n", "second\n"};
    QTest::newRow("standard error only, element not a string")
        << R"(["echo denied >&2; exit 4", 7])" << QStringList{"", ""};
    QTest::newRow("empty array") << "[]" << QStringList{"No valid firewall command"};
    QTest::newRow("not an array") << R"({"a":"echo x"})" << QStringList{"No valid firewall command"};
}

void TestSoftwareHandlers::firewall()
{
    QFETCH(QString, value);
    QFETCH(QStringList, texts);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(runDocument(kFirewallKey, value), results(kFirewallKey, texts));
    // Every result counted: the document ends at once, not at its time limit.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
}

void TestSoftwareHandlers::scripts_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("ran");  // scripts run, in order of arrival
    QTest::addColumn<QStringList>("texts"); // results; script outputs in any order

    QTest::newRow("two paths")
        << "one_|_scripts/one.sh,two_|_scripts/two.sh" << QStringList{"echo one\n", "echo two\n"}
        << QStringList{"ran: echo one\n", "ran: echo two\n"};
    QTest::newRow("one of two not found")
        << "one_|_scripts/one.sh,gone_|_scripts/missing.sh" << QStringList{"echo one\n"}
        << QStringList{"ran: echo one\n",
                       "script download failed, code 404: " + serverUrl("scripts/missing.sh")};
    QTest::newRow("one of two over the size limit")
        << "one_|_scripts/one.sh,huge_|_scripts/huge.sh" << QStringList{"echo one\n"}
        << QStringList{"ran: echo one\n", "script download failed, code 4013: " + serverUrl("scripts/huge.sh")
                                               + ": answer of 67108865 bytes exceeds the size limit of 64 MiB"};
    const QString large = "l_|_scripts/large.sh";
    const QString tooMuch = "script download refused: " + serverUrl("scripts/large.sh")
        + ": the policy's downloads would exceed their limit of 256 MiB with 54525952 more bytes";
    const auto times = [](int n, const QString& text) {
        return QStringList(QVector<QString>(n, text).toList());
    };
    QTest::newRow("more than a document may download")
        << times(5, large).join(',') << times(4, "echo large\n")
        << (times(4, "ran: echo large\n") << tooMuch);
    QTest::newRow("empty value") << "" << QStringList() << QStringList{"No valid script"};
}

void TestSoftwareHandlers::scripts()
{
    QFETCH(QString, value);
    QFETCH(QStringList, ran);
    QFETCH(QStringList, texts);

    const QString report = runDocument(kScriptKey, value);
    QVERIFY2(report != QLatin1String("document did not end"), qPrintable(report));
    QStringList scripts;
    const QRegularExpression stored("^bash " + QRegularExpression::escape(path("/tmp/")) + "[0-9]+\\.bash$");
    for (const Command& command : qAsConst(m_commands)) {
        QCOMPARE(command.key, kScriptKey);
        QVERIFY2(stored.match(command.cmd).hasMatch(), qPrintable(command.cmd));
        scripts.append(QString::fromUtf8(command.script));
    }
    scripts.sort();
    QCOMPARE(scripts, ran);

    QStringList reported;
    for (const QJsonValue& entry : QJsonDocument::fromJson(report.toUtf8()).array())
        reported.append(entry.toObject().value(kScriptKey).toString());
    reported.sort();
    texts.sort();
    QCOMPARE(reported, texts);
    // The files went with the document.
    QCOMPARE(QDir(path("/tmp")).entryList({"*.bash"}, QDir::Files), QStringList());
}

void TestSoftwareHandlers::background_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("stored"); // below the sysroot; empty: nothing installed
    QTest::addColumn<QString>("result");

    QTest::newRow("a/b/c.png") << "a/b/c.png" << "/etc/vorn/pic/c.png" << "success";
    QTest::newRow("not found")
        << "a/b/none.png" << QString()
        << "boot background download failed, code 404: " + serverUrl("a/b/none.png");
    QTest::newRow("empty value") << "" << QString() << "invalid file name: ";
    QTest::newRow("parent directory") << "a/.." << QString() << "invalid file name: a/..";
}

void TestSoftwareHandlers::background()
{
    QFETCH(QString, value);
    QFETCH(QString, stored);
    QFETCH(QString, result);

    // An older file of that name is never installed after a failed download.
    writeFile(path("/etc/vorn/pic/none.png"), "old picture");
    QCOMPARE(runDocument(kBackgroundKey, value), results(kBackgroundKey, {result}));

    QFile state(path("/var/lib/vorn-xwe/system.json"));
    const QJsonObject system = state.open(QIODevice::ReadOnly)
                                   ? QJsonDocument::fromJson(state.readAll()).object()
                                   : QJsonObject();
    if (stored.isEmpty()) {
        QVERIFY(!system.contains("SetBackgroundSourceFile"));
    } else {
        QCOMPARE(system.value("SetBackgroundSourceFile").toString(), path(stored));
        QFile picture(path(stored));
        QVERIFY(picture.open(QIODevice::ReadOnly));
        QCOMPARE(picture.readAll(), QByteArray("\x89PNG picture"));
    }
}

void TestSoftwareHandlers::backgroundReplacesOlder()
{
    const QString pic = path("/etc/vorn/pic");
    QCOMPARE(runDocument(kBackgroundKey, "a/b/c.png"), results(kBackgroundKey, {"success"}));
    // Beside the pictures: a download still being written, a subdirectory,
    // a link to a file outside; and a file outside the directory.
    writeFile(pic + "/.e.png.part-123456", "partial");
    QVERIFY(QDir().mkpath(pic + "/keep"));
    writeFile(path("/etc/vorn/outside.png"), "outside");
    QVERIFY(QFile::link(path("/etc/vorn/outside.png"), pic + "/link.png"));

    QCOMPARE(runDocument(kBackgroundKey, "a/b/d.png"), results(kBackgroundKey, {"success"}));
    QCOMPARE(QDir(pic).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             (QStringList{".e.png.part-123456", "d.png", "keep", "link.png"}));
    QVERIFY(QFile::exists(path("/etc/vorn/outside.png")));

    // A failed install keeps the picture in use.
    writeFile(path("/var/lib/vorn-xwe/faults.json"), R"({"SetBackgroundSourceFile": {"status": 3}})");
    const QString failed = runDocument(kBackgroundKey, "a/b/c.png");
    QFile::remove(path("/var/lib/vorn-xwe/faults.json"));
    QVERIFY(!failed.contains("\"success\""));
    QVERIFY(QFile::exists(pic + "/d.png"));
    QFile::remove(path("/etc/vorn/outside.png"));
}

QStringList TestSoftwareHandlers::effects()
{
    QStringList done;
    for (const Command& command : qAsConst(m_commands))
        done.append(command.script.isEmpty() ? "command: " + command.cmd
                                             : "script: " + QString::fromUtf8(command.script).trimmed());
    QFile firewall(path("/tmp/firewall.log"));
    if (firewall.open(QIODevice::ReadOnly))
        done += QString::fromUtf8(firewall.readAll()).split('\n', Qt::SkipEmptyParts);
    QFile state(path("/var/lib/vorn-xwe/system.json"));
    if (state.open(QIODevice::ReadOnly)
        && QJsonDocument::fromJson(state.readAll()).object().contains("SetBackgroundSourceFile"))
        done.append("background installed");
    m_commands.clear();
    firewall.remove();
    state.remove();
    return done;
}

void TestSoftwareHandlers::repeatedWithoutTask_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("first");  // what the task does
    QTest::addColumn<QStringList>("repeat"); // the same document again without a task

    const QString log = path("/tmp/firewall.log");
    QTest::newRow("firewall: the failed command is tried again")
        << kFirewallKey
        << QString::fromUtf8(QJsonDocument(QJsonArray{"echo a >> " + log, "echo b >> " + log + "; exit 2"})
                                 .toJson(QJsonDocument::Compact))
        << QStringList{"a", "b"} << QStringList{"b"};
    const QString upgrade = "command: bash " + path("/usr/share/vorn/scripts/software_upgrade.bash");
    QTest::newRow("install") << kInstallKey << R"([{"package_name":"A"}])"
                             << QStringList{upgrade + " A"} << QStringList();
    QTest::newRow("scripts: one runs, one is not found")
        << kScriptKey << "one_|_scripts/one.sh,gone_|_scripts/missing.sh"
        << QStringList{"script: echo one"} << QStringList();
    QTest::newRow("background") << kBackgroundKey << "a/b/c.png"
                                << QStringList{"background installed"} << QStringList();
}

void TestSoftwareHandlers::repeatedWithoutTask()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QStringList, first);
    QFETCH(QStringList, repeat);

    effects();
    QVERIFY(runDocument(key, value) != QLatin1String("no report"));
    QCOMPARE(effects(), first);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(runDocument(key, value, -1), QStringLiteral("no report"));
    // Each item not run again still counts as a result: the document ends at once.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(effects(), repeat);
    // Asked for by the server again: everything runs.
    QVERIFY(runDocument(key, value) != QLatin1String("no report"));
    QCOMPARE(effects(), first);
}

QARG_TEST_MAIN_IN_SYSROOT(TestSoftwareHandlers)
#include "tst_softwarehandlers.moc"
