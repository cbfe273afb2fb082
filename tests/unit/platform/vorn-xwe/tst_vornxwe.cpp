#include "errorsdescription.h"
#include "vornsessioninterface.h"
#include "vornsysteminterface.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QtTest>

#include <functional>
#include <sys/stat.h>

using Call = std::function<int()>;
using DelaySetter = int (VornSessionInterface::*)(int);
using DelayGetter = int (VornSessionInterface::*)();
Q_DECLARE_METATYPE(Call)
Q_DECLARE_METATYPE(DelaySetter)
Q_DECLARE_METATYPE(DelayGetter)

namespace {

const QString kSystemDir = QStringLiteral("/root/var/lib/vorn-xwe");
const QString kSessionDir = QStringLiteral("/state/vorn-xwe");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject readJson(const QString& path)
{
    return QJsonDocument::fromJson(readAll(path)).object();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

bool writeJson(const QString& path, const QJsonObject& object)
{
    return writeFile(path, QJsonDocument(object).toJson());
}

int fileMode(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

int countLinks(const QJsonObject& state, const QString& prefix)
{
    QSet<QString> names;
    for (const QJsonValue& link : state.value(QStringLiteral("CreateDesktopNetAddress")).toArray()) {
        const QString name = link.toObject().value(QStringLiteral("name")).toString();
        if (name.startsWith(prefix))
            names.insert(name);
    }
    return names.size();
}

int addLinks(const QString& prefix, int count, int padding)
{
    const QString icon(padding, QLatin1Char('i'));
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        if (VornSessionInterface::Instance()->CreateDesktopNetAddress(
                prefix + QString::number(i), icon, QStringLiteral("https://example.test/%1").arg(i)) != 0)
            ++failed;
    }
    return failed;
}

// What a child process does: a fresh process, so Instance() sees the environment.
int runScenario(const QStringList& args)
{
    VornSystemInterface* system = VornSystemInterface::Instance();
    VornSessionInterface* session = VornSessionInterface::Instance();
    QTextStream out(stdout);
    const QString name = args.value(0);
    if (name == QLatin1String("write")) {
        return system->SetNTPServer(args.value(1)) != 0 || system->SetStorageGlobalPermPolicy(2, 0) != 0
            || session->SetPowerSleepDelay(args.value(2).toInt()) != 0;
    }
    if (name == QLatin1String("read")) {
        const QJsonObject values{{QStringLiteral("ntp"), system->GetNTPServer()},
                                 {QStringLiteral("sleep"), session->GetPowerSleepDelay()}};
        out << QJsonDocument(values).toJson(QJsonDocument::Compact);
        return 0;
    }
    if (name == QLatin1String("ntp")) {
        out << system->SetNTPServer(args.value(1));
        return 0;
    }
    if (name == QLatin1String("hotspot")) {
        out << session->SetHotspotEnable(1);
        return 0;
    }
    if (name == QLatin1String("links"))
        return addLinks(args.value(1), args.value(2).toInt(), args.value(3).toInt()) != 0;
    return 100;
}

} // namespace

class TestVornXwe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void errorTexts_data();
    void errorTexts();
    void systemSettingsReadBack();
    void damagedStateMovedAsideByTheNextChange();
    void delays_data();
    void delays();
    void sessionValuesReadBack();
    void wallpaperOutlivesCallersFile();
    void refusedArguments_data();
    void refusedArguments();
    void settingsSurviveRestart();
    void injectedFailuresAcrossProcesses();
    void failEnvironment();
    void concurrentWritersLoseNothing();
    void localUserIds();
    void neverHalfWritten();

private:
    QString systemState() const { return m_dir.path() + kSystemDir + QStringLiteral("/system.json"); }
    QString sessionState() const { return m_dir.path() + kSessionDir + QStringLiteral("/session.json"); }
    static QProcessEnvironment childEnvironment(const QString& base);
    static QByteArray runChild(const QStringList& args, const QProcessEnvironment& env, int* exitCode = nullptr);

    QTemporaryDir m_dir;
};

QProcessEnvironment TestVornXwe::childEnvironment(const QString& base)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VORN_SYSROOT"), base + QStringLiteral("/root"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), base + QStringLiteral("/state"));
    env.remove(QStringLiteral("VORN_XWE_FAIL"));
    return env;
}

QByteArray TestVornXwe::runChild(const QStringList& args, const QProcessEnvironment& env, int* exitCode)
{
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--child")} + args);
    if (!child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished();
    }
    if (exitCode)
        *exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    return child.readAllStandardOutput();
}

void TestVornXwe::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("VORN_SYSROOT", QFile::encodeName(m_dir.path() + QStringLiteral("/root")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/state")));
    qunsetenv("VORN_XWE_FAIL");
    qunsetenv("VORN_XWE_BACKEND");
}

void TestVornXwe::errorTexts_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("success") << 0 << "success";
    QTest::newRow("bad argument") << 1 << "failed (status 1): invalid argument";
    QTest::newRow("missing file") << 2 << "failed (status 2): file or directory not found";
    QTest::newRow("not saved") << 3 << "failed (status 3): settings could not be saved";
    QTest::newRow("refused") << 7 << "failed (status 7): operation refused by the platform";
    QTest::newRow("not supported") << 8 << "failed (status 8): not supported by this desktop";
    QTest::newRow("unknown") << 42 << "failed (status 42): unknown platform error";
    QTest::newRow("negative") << -1 << "failed (status -1): unknown platform error";
}

void TestVornXwe::errorTexts()
{
    QFETCH(int, status);
    QFETCH(QString, text);
    QCOMPARE(ErrorsDescription::toErrorDescription(status), text);
}

void TestVornXwe::systemSettingsReadBack()
{
    VornSystemInterface* system = VornSystemInterface::Instance();
    QCOMPARE(system->GetNTPServer(), QString());
    const QString picture = m_dir.path() + QStringLiteral("/boot.png");
    QVERIFY(writeFile(picture, "png"));

    QCOMPARE(system->SetNTPServer(QStringLiteral("pool.example")), 0);
    QCOMPARE(system->SetStorageGlobalPermPolicy(1, 2), 0);
    QCOMPARE(system->SetStorageGlobalPermPolicy(2, 0), 0);
    QCOMPARE(system->SetAppCtrlBlacklist(QStringLiteral("a,b")), 0);
    QCOMPARE(system->SetBluetoothEnable(false), 0);
    QCOMPARE(system->SetWirelessEnable(true), 0);
    QCOMPARE(system->SetLocalUserLogoinLimit(false), 0);
    QCOMPARE(system->SetBackgroundSourceFile(picture), 0);
    QCOMPARE(system->GetNTPServer(), QStringLiteral("pool.example"));

    QJsonObject state = readJson(systemState());
    QCOMPARE(state, (QJsonObject{{"SetNTPServer", "pool.example"},
                                 {"SetStorageGlobalPermPolicy", QJsonObject{{"1", 2}, {"2", 0}}},
                                 {"SetAppCtrlBlacklist", "a,b"},
                                 {"SetBluetoothEnable", false},
                                 {"SetWirelessEnable", true},
                                 {"SetLocalUserLogoinLimit", false},
                                 {"SetBackgroundSourceFile", picture}}));
    QCOMPARE(fileMode(systemState()), 0600);
    QCOMPARE(fileMode(QFileInfo(systemState()).absolutePath()), 0700);

    // Getters return what is in effect, also when someone else wrote it.
    state.insert("SetNTPServer", "other.example");
    QVERIFY(writeJson(systemState(), state));
    QCOMPARE(system->GetNTPServer(), QStringLiteral("other.example"));
}

void TestVornXwe::damagedStateMovedAsideByTheNextChange()
{
    VornSystemInterface* system = VornSystemInterface::Instance();
    QVERIFY(writeFile(systemState(), "{\"SetNTPServer\": \"half"));
    // A reader does not hold the writers' lock: it reports, and leaves the file be.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^vorn-xwe: damaged state file")));
    QCOMPARE(system->GetNTPServer(), QString());
    QVERIFY(QFileInfo::exists(systemState()));
    QVERIFY(!QFileInfo::exists(systemState() + QStringLiteral(".damaged")));

    // The next change keeps it for inspection, under the programs' one name, and starts afresh.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^vorn-xwe: damaged state file.*moved aside")));
    QCOMPARE(system->SetNTPServer(QStringLiteral("pool.example")), 0);
    QCOMPARE(readJson(systemState()), (QJsonObject{{"SetNTPServer", "pool.example"}}));
    QFile aside(systemState() + QStringLiteral(".damaged"));
    QVERIFY(aside.open(QIODevice::ReadOnly));
    QCOMPARE(aside.readAll(), QByteArrayLiteral("{\"SetNTPServer\": \"half"));
    QVERIFY(QFile::remove(aside.fileName()));
}

void TestVornXwe::delays_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<DelaySetter>("setter");
    QTest::addColumn<DelayGetter>("getter");
#define DELAY_ROW(name) \
    QTest::newRow(#name) << "Set" #name << &VornSessionInterface::Set##name << &VornSessionInterface::Get##name
    DELAY_ROW(PowerLockDelay);
    DELAY_ROW(PowerScreenBlackDelay);
    DELAY_ROW(PowerSleepDelay);
    DELAY_ROW(BatteryLockDelay);
    DELAY_ROW(BatteryScreenBlackDelay);
    DELAY_ROW(BatterySleepDelay);
#undef DELAY_ROW
}

void TestVornXwe::delays()
{
    QFETCH(QString, key);
    QFETCH(DelaySetter, setter);
    QFETCH(DelayGetter, getter);
    VornSessionInterface* session = VornSessionInterface::Instance();
    QCOMPARE((session->*getter)(), 0);
    QCOMPARE((session->*setter)(900), 0);
    QCOMPARE((session->*getter)(), 900);
    QCOMPARE(readJson(sessionState()).value(key).toInt(), 900);
    QCOMPARE((session->*setter)(0), 0);
    QCOMPARE((session->*getter)(), 0);
}

void TestVornXwe::sessionValuesReadBack()
{
    VornSessionInterface* session = VornSessionInterface::Instance();
    const QString saverDir = m_dir.path() + QStringLiteral("/saverpic/");
    QVERIFY(QDir().mkpath(saverDir));
    QCOMPARE(session->SetLauncherDisplayable(false), 0);
    QCOMPARE(session->SetDisplayMode(QStringLiteral("fashion")), 0);
    QCOMPARE(session->SetHotspotEnable(2), 0);
    QCOMPARE(session->SetScreenSaverPolicy(saverDir), 0);
    QCOMPARE(session->SetControlConfig({"display", "power"}, {"power"}, true), 0);
    QCOMPARE(session->CreateDesktopNetAddress("Wiki", "/icons/w.png", "https://wiki.test"), 0);
    QCOMPARE(session->CreateDesktopNetAddress("Mail", "/icons/m.png", "https://mail.test"), 0);
    QCOMPARE(session->CreateDesktopNetAddress("Wiki", "/icons/w2.png", "https://wiki2.test"), 0);

    QJsonObject state = readJson(sessionState());
    QCOMPARE(state.value("SetLauncherDisplayable"), QJsonValue(false));
    QCOMPARE(state.value("SetDisplayMode").toString(), QStringLiteral("fashion"));
    QCOMPARE(state.value("SetHotspotEnable").toInt(), 2);
    QCOMPARE(state.value("SetScreenSaverPolicy").toString(), saverDir);
    QCOMPARE(state.value("SetControlConfig").toObject(),
             (QJsonObject{{"all", QJsonArray{"display", "power"}}, {"shown", QJsonArray{"power"}}, {"apply", true}}));
    // The same link title replaces its entry instead of piling up copies.
    const QJsonArray links{QJsonObject{{"name", "Wiki"}, {"icon", "/icons/w2.png"}, {"url", "https://wiki2.test"}},
                           QJsonObject{{"name", "Mail"}, {"icon", "/icons/m.png"}, {"url", "https://mail.test"}}};
    QCOMPARE(state.value("CreateDesktopNetAddress").toArray(), links);
    QCOMPARE(fileMode(sessionState()), 0600);

    QCOMPARE(session->GetPrimaryScreenMonitorName(), QStringLiteral("eDP-1"));
    state.insert("PrimaryScreenMonitorName", "HDMI-2");
    QVERIFY(writeJson(sessionState(), state));
    QCOMPARE(session->GetPrimaryScreenMonitorName(), QStringLiteral("HDMI-2"));
}

void TestVornXwe::wallpaperOutlivesCallersFile()
{
    const QString picture = m_dir.path() + QStringLiteral("/tmp/wall.jpg");
    QVERIFY(writeFile(picture, "JPEGDATA"));
    QCOMPARE(VornSessionInterface::Instance()->SetMonitorBackground("../HDMI-1", picture), 0);
    QVERIFY(QFile::remove(picture));

    const QJsonObject state = readJson(sessionState());
    QCOMPARE(state.value("SetMonitorBackground").toObject().value("../HDMI-1").toString(), picture);
    const QString kept = state.value("MonitorBackgroundFile").toObject().value("../HDMI-1").toString();
    QCOMPARE(QFileInfo(kept).absolutePath(), m_dir.path() + kSessionDir + QStringLiteral("/files"));
    QCOMPARE(readAll(kept), QByteArray("JPEGDATA"));
}

void TestVornXwe::refusedArguments_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<int>("status");
    VornSystemInterface* sys = VornSystemInterface::Instance();
    VornSessionInterface* ses = VornSessionInterface::Instance();
    const QString missing = m_dir.path() + QStringLiteral("/missing.png");
    QTest::newRow("device class") << Call([=] { return sys->SetStorageGlobalPermPolicy(3, 0); }) << 1;
    QTest::newRow("permission") << Call([=] { return sys->SetStorageGlobalPermPolicy(1, 5); }) << 1;
    QTest::newRow("newline in server") << Call([=] { return sys->SetNTPServer("a\nserver b"); }) << 1;
    QTest::newRow("missing boot picture") << Call([=] { return sys->SetBackgroundSourceFile(missing); }) << 2;
    QTest::newRow("display mode") << Call([=] { return ses->SetDisplayMode("classic"); }) << 1;
    QTest::newRow("negative delay") << Call([=] { return ses->SetPowerSleepDelay(-60); }) << 1;
    QTest::newRow("missing wallpaper") << Call([=] { return ses->SetMonitorBackground("eDP-1", missing); }) << 2;
    QTest::newRow("nameless link") << Call([=] { return ses->CreateDesktopNetAddress("", "i", "https://x"); }) << 1;
    QTest::newRow("missing saver dir") << Call([=] { return ses->SetScreenSaverPolicy(missing + "/"); }) << 2;
}

void TestVornXwe::refusedArguments()
{
    QFETCH(Call, call);
    QFETCH(int, status);
    const QByteArray before = readAll(systemState()) + readAll(sessionState());
    QCOMPARE(call(), status);
    QCOMPARE(readAll(systemState()) + readAll(sessionState()), before);
}

void TestVornXwe::settingsSurviveRestart()
{
    QTemporaryDir dir;
    const QProcessEnvironment env = childEnvironment(dir.path());
    int exitCode = -1;
    runChild({"write", "pool.restart", "120"}, env, &exitCode);
    QCOMPARE(exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(runChild({"read"}, env)).object(),
             (QJsonObject{{"ntp", "pool.restart"}, {"sleep", 120}}));

    // Without XDG_STATE_HOME the session state goes below the home directory.
    QProcessEnvironment homeOnly = env;
    homeOnly.insert(QStringLiteral("XDG_STATE_HOME"), QString());
    homeOnly.insert(QStringLiteral("HOME"), dir.path() + QStringLiteral("/home"));
    runChild({"write", "pool.restart", "240"}, homeOnly, &exitCode);
    QCOMPARE(exitCode, 0);
    const QString session = dir.path() + QStringLiteral("/home/.local/state/vorn-xwe/session.json");
    QCOMPARE(readJson(session).value("SetPowerSleepDelay").toInt(), 240);
    QCOMPARE(fileMode(session), 0600);
}

void TestVornXwe::injectedFailuresAcrossProcesses()
{
    QTemporaryDir dir;
    const QProcessEnvironment env = childEnvironment(dir.path());
    const QString systemFaults = dir.path() + kSystemDir + QStringLiteral("/faults.json");
    const QString sessionFaults = dir.path() + kSessionDir + QStringLiteral("/faults.json");
    QVERIFY(writeJson(systemFaults, {{"SetNTPServer", QJsonObject{{"status", 7}, {"count", 2}}}}));
    QVERIFY(writeJson(sessionFaults, {{"SetHotspotEnable", QJsonObject{{"status", 3}}}}));

    QCOMPARE(runChild({"ntp", "n0"}, env), QByteArray("7"));
    QCOMPARE(runChild({"ntp", "n1"}, env), QByteArray("7"));
    QCOMPARE(runChild({"ntp", "n2"}, env), QByteArray("0"));
    QCOMPARE(runChild({"ntp", "n3"}, env), QByteArray("0"));
    QCOMPARE(readJson(systemFaults).value("SetNTPServer").toObject().value("count").toInt(-1), 0);
    QCOMPARE(QJsonDocument::fromJson(runChild({"read"}, env)).object().value("ntp").toString(), "n3");

    // Without a count every call fails, and nothing is applied.
    QCOMPARE(runChild({"hotspot"}, env), QByteArray("3"));
    QCOMPARE(runChild({"hotspot"}, env), QByteArray("3"));
    QVERIFY(!readJson(dir.path() + kSessionDir + "/session.json").contains("SetHotspotEnable"));

    // An unknown backend must not pretend that settings took effect.
    QProcessEnvironment bogus = env;
    bogus.insert(QStringLiteral("VORN_XWE_BACKEND"), QStringLiteral("bogus"));
    QCOMPARE(runChild({"ntp", "n4"}, bogus), QByteArray("5"));
    QCOMPARE(readJson(dir.path() + kSystemDir + "/system.json").value("SetNTPServer").toString(), "n3");
}

void TestVornXwe::failEnvironment()
{
    VornSessionInterface* session = VornSessionInterface::Instance();
    QCOMPARE(session->SetLauncherDisplayable(false), 0);
    qputenv("VORN_XWE_FAIL", "SetLauncherDisplayable=9, Bogus, SetNTPServer=7");
    QCOMPARE(session->SetLauncherDisplayable(true), 9);
    QCOMPARE(session->SetLauncherDisplayable(true), 9);
    QCOMPARE(VornSystemInterface::Instance()->SetNTPServer("pool.env"), 7);
    QCOMPARE(session->SetShortcutKeyEnable(true), 0);
    QCOMPARE(readJson(sessionState()).value("SetLauncherDisplayable"), QJsonValue(false));
    qunsetenv("VORN_XWE_FAIL");
    QCOMPARE(session->SetLauncherDisplayable(true), 0);
    QCOMPARE(readJson(sessionState()).value("SetLauncherDisplayable"), QJsonValue(true));
}

void TestVornXwe::concurrentWritersLoseNothing()
{
    int failed[2] = {0, 0};
    QScopedPointer<QThread> first(QThread::create([&] { failed[0] = addLinks("t0-", 200, 0); }));
    QScopedPointer<QThread> second(QThread::create([&] { failed[1] = addLinks("t1-", 200, 0); }));
    first->start();
    second->start();
    QVERIFY(first->wait(120000));
    QVERIFY(second->wait(120000));
    QCOMPARE(failed[0] + failed[1], 0);
    QCOMPARE(countLinks(readJson(sessionState()), "t"), 400);

    // Two processes on the same file.
    QProcess children[2];
    for (int i = 0; i < 2; ++i) {
        children[i].setProcessEnvironment(childEnvironment(m_dir.path()));
        children[i].start(QCoreApplication::applicationFilePath(),
                          {"--child", "links", QStringLiteral("p%1-").arg(i), "100", "0"});
    }
    for (QProcess& child : children) {
        QVERIFY(child.waitForFinished(120000));
        QCOMPARE(child.exitCode(), 0);
    }
    const QJsonObject state = readJson(sessionState());
    QCOMPARE(countLinks(state, "p"), 200);
    QCOMPARE(countLinks(state, "t"), 400);
}

void TestVornXwe::localUserIds()
{
    QVERIFY(writeFile(m_dir.path() + QStringLiteral("/root/etc/passwd"),
                      "root:x:0:0:root:/root:/bin/bash\n"
                      "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
                      "frank:x:9999:9999::/home/frank:/bin/zsh\n"
                      "#ghost:x:1006:1006::/home/ghost:/bin/bash\n"
                      "alice:x:1000:1000:Alice,,,:/home/alice:/bin/bash\n"
                      "bob:x:1001:1001::/home/bob:/usr/sbin/nologin\n"
                      "carol:x:1002:1002::/home/carol:/bin/false\n"
                      "dave:x:1003:1003::/home/dave:\n"
                      "eve:x:10000:10000::/home/eve:/bin/bash\n"
                      "broken:x:1004\n"
                      "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
                      "gina:x:1005:1005::/home/gina:/bin/sh"));
    QCOMPARE(VornSystemInterface::Instance()->GetLocalUIDList(), (QList<uint>{9999, 1000, 1005}));

    QTemporaryDir empty;
    qputenv("VORN_SYSROOT", QFile::encodeName(empty.path()));
    const QList<uint> none = VornSystemInterface::Instance()->GetLocalUIDList();
    qputenv("VORN_SYSROOT", QFile::encodeName(m_dir.path() + QStringLiteral("/root")));
    QVERIFY(none.isEmpty());
}

void TestVornXwe::neverHalfWritten()
{
    QTemporaryDir dir;
    const QString state = dir.path() + kSessionDir + QStringLiteral("/session.json");
    auto startWriter = [&](QProcess& writer, const QString& prefix) {
        writer.setProcessEnvironment(childEnvironment(dir.path()));
        writer.start(QCoreApplication::applicationFilePath(), {"--child", "links", prefix, "300", "2000"});
        QVERIFY(writer.waitForStarted());
    };
    auto checkReadable = [&](int* reads) {
        const QByteArray data = readAll(state);
        if (data.isEmpty())
            return true;
        ++*reads;
        QJsonParseError error;
        return QJsonDocument::fromJson(data, &error).isObject() && error.error == QJsonParseError::NoError;
    };

    QProcess writer;
    startWriter(writer, "a");
    int reads = 0;
    QElapsedTimer deadline;
    deadline.start();
    while (writer.state() != QProcess::NotRunning && deadline.elapsed() < 120000) {
        QVERIFY2(checkReadable(&reads), "state file read while half-written");
        writer.waitForFinished(1);
    }
    QCOMPARE(writer.exitCode(), 0);
    QVERIFY(reads > 0);
    QCOMPARE(countLinks(readJson(state), "a"), 300);

    // A writer killed at any moment leaves the last complete state behind.
    QProcess killed;
    startWriter(killed, "b");
    QTRY_VERIFY_WITH_TIMEOUT(countLinks(readJson(state), "b") >= 20, 60000);
    killed.kill();
    QVERIFY(killed.waitForFinished());
    QVERIFY(checkReadable(&reads));
    QCOMPARE(countLinks(readJson(state), "a"), 300);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 1 && args.at(1) == QLatin1String("--child"))
        return runScenario(args.mid(2));
    TestVornXwe test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vornxwe.moc"
