// The session executor thread against the lab's management server (real
// mutual TLS downloads) and the adaption library's state store.
#include "common/external/asynchttpclientapi.h"
#include "labsupport.h"
#include "lumo/policy/policy_queue.h"
#include "lumo/qars/session_policy_executor.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Settings = QList<QPair<QString, QString>>;

// The time limit is a protected member; a short one makes late results.
class Executor : public SessionPolicyExecutor
{
public:
    using SessionPolicyExecutor::SessionPolicyExecutor;
    void setTimeLimitMinutes(int minutes) { m_execTimeout = minutes; }
};

QByteArray document(const Settings& settings, const QString& md5 = QStringLiteral("0"))
{
    QJsonArray policys;
    for (const auto& setting : settings) {
        const int slash = setting.first.indexOf(QLatin1Char('/'));
        const QJsonObject config{{QStringLiteral("config_key"), setting.first.mid(slash + 1)},
                                 {QStringLiteral("config_value"), setting.second}};
        policys.append(QJsonObject{{QStringLiteral("policy_key"), setting.first.left(slash)},
                                   {QStringLiteral("configs"), QJsonArray{config}}});
    }
    const QJsonObject data{{QStringLiteral("md5"), md5},
                           {QStringLiteral("policys"), policys}};
    return QJsonDocument(QJsonObject{{QStringLiteral("code"), 0}, {QStringLiteral("data"), data}})
        .toJson();
}

QJsonObject readJson(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
}

// The result array as (key, text) pairs in recorded order.
Settings results(const QString& text)
{
    Settings out;
    const QJsonArray array = QJsonDocument::fromJson(text.toUtf8()).array();
    for (const QJsonValue& entry : array) {
        const QJsonObject object = entry.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            out.append({it.key(), it.value().toString()});
    }
    return out;
}

int fileMode(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Reports as the manager gets them: queued onto the main thread.
struct Report
{
    int taskId;
    int jobId;
    bool success;
    QString result;
};

class ReportLog : public QObject
{
public:
    explicit ReportLog(SessionPolicyExecutor* executor)
    {
        connect(executor, &SessionPolicyExecutor::execPolicyFinished, this,
                [this](int taskId, int jobId, bool success, const QString& result) {
                    reports.append({taskId, jobId, success, result});
                });
    }
    QList<Report> reports;
};

const QString kLauncher = QStringLiteral("taskbar/taskbar_launcher");
const QString kWallpaper = QStringLiteral("wallpaper/wallpaper_name");
const QString kLinks = QStringLiteral("desktop_shortcuts/desktop_shortcuts_list");
const QString kSaver = QStringLiteral("screen_saver_wallpaper/screen_saver_wallpaper_name");

} // namespace

class TestSessionPolicyExecutor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void allKeysInTableOrder();
    void keyWithoutHandlerDoesNotHold();
    void reportOnlyForServerTasks_data();
    void reportOnlyForServerTasks();
    void missingCacheFileAppliesNothing();
    void lateResultsDropped();
    void screenSaverDirectoryFails();
    void screenSaverDownloadFails_data();
    void screenSaverDownloadFails();
    void wallpaperDirectory_data();
    void wallpaperDirectory();
    void stopWhileWaitingForRecord();
    void downloadsConverge_data();
    void downloadsConverge();

private:
    // Queues a document for the shared executor and returns its report.
    QString submit(int taskId, int jobId, const Settings& settings, int timeoutMs = 20000);
    // Queues a document and waits until the executor is done with it; false on time-out.
    bool apply(int taskId, const Settings& settings, const QString& md5);
    int downloads() const;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QJsonObject state() const { return readJson(path(QStringLiteral("state/vorn-xwe/session.json"))); }
    QString privateWallpaperDir() const
    {
        return path(QStringLiteral("tmp/vorn-wallpaper-%1").arg(::getuid()));
    }

    QTemporaryDir m_dir;
    QScopedPointer<vorn::test::LabServer> m_server;
    PolicyQueue m_queue;
    QScopedPointer<Executor> m_executor;
    int m_serial = 0;
};

void TestSessionPolicyExecutor::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const char* dirs[][2] = {{"XDG_STATE_HOME", "state"}, {"XDG_CACHE_HOME", "cache"},
                             {"XDG_DATA_HOME", "data"},   {"HOME", "home"},
                             {"TMPDIR", "tmp"}};
    for (const auto& dir : dirs) {
        QVERIFY(QDir().mkpath(path(QLatin1String(dir[1]))));
        qputenv(dir[0], QFile::encodeName(path(QLatin1String(dir[1]))));
    }
    qputenv("VORN_XWE_BACKEND", "store");

    m_server.reset(new vorn::test::LabServer(path(QStringLiteral("server"))));
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    AsyncHttpClientApi::getInstance()->setSSLConfig(m_server->certPath(QStringLiteral("ca.crt")),
                                                    m_server->certPath(QStringLiteral("client.crt")),
                                                    m_server->certPath(QStringLiteral("client.key")));

    QVERIFY(!m_server->admin("PUT", QStringLiteral("/control-centre"),
                             R"(["display", "network", "sound"])").isNull());

    m_executor.reset(new Executor(&m_queue));
    m_executor->setConfig(QStringLiteral("127.0.0.1"), QString::number(m_server->port()));
    m_executor->initControlCenterList();
    QTRY_VERIFY_WITH_TIMEOUT(!m_executor->controlCenterModules().isEmpty(), 10000);
    QCOMPARE(m_executor->controlCenterModules(),
             (QStringList{QStringLiteral("display"), QStringLiteral("network"),
                          QStringLiteral("sound")}));
    m_executor->start();
}

void TestSessionPolicyExecutor::init()
{
    QFile::remove(path(QStringLiteral("state/vorn-xwe/session.json")));
    QFile::remove(path(QStringLiteral("state/vorn-xwe/faults.json")));
    m_server->admin("DELETE", QStringLiteral("/faults"));
    m_executor->setTimeLimitMinutes(30);
}

void TestSessionPolicyExecutor::cleanupTestCase()
{
    if (m_executor)
        m_executor->stop();
    m_executor.reset();
}

QString TestSessionPolicyExecutor::submit(int taskId, int jobId, const Settings& settings,
                                          int timeoutMs)
{
    ReportLog log(m_executor.data());
    PolicyInfo info;
    info.taskId = taskId;
    info.jobId = jobId;
    info.cachePath = path(QStringLiteral("cache/doc-%1").arg(++m_serial));
    QFile file(info.cachePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(document(settings)) <= 0)
        return QStringLiteral("cannot write cache file");
    file.close();
    m_queue.pushPolicy(info);
    // Reports of records queued earlier may come first; find this one's.
    Report report{};
    const bool done = vorn::test::waitFor(
        [&]() {
            for (const Report& r : qAsConst(log.reports)) {
                if (r.taskId == taskId && r.jobId == jobId) {
                    report = r;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    if (!done)
        return QStringLiteral("no report");
    if (!report.success)
        return QStringLiteral("reported as failed");
    // The executor removes the file right after it reports.
    if (!vorn::test::waitFor([&]() { return !QFile::exists(info.cachePath); }, 5000))
        return QStringLiteral("cache file left");
    return report.result;
}

void TestSessionPolicyExecutor::allKeysInTableOrder()
{
    const QString links = QStringLiteral(
        "[{\"name\":\"Intranet\",\"url\":\"https://intranet.lab/\",\"iconPath\":\"images/icons/intranet.png\"},"
        "{\"name\":\"Helpdesk\",\"url\":\"https://helpdesk.lab/\",\"iconPath\":\"images/icons/helpdesk.png\"},"
        "{\"name\":\"Wiki\",\"url\":\"https://wiki.lab/\",\"iconPath\":\"images/icons/intranet.png\"}]");
    // Listed out of order on purpose: the table order is the key order.
    const Settings settings{
        {QStringLiteral("wallpaper/wallpaper_name"), QStringLiteral("images/wallpaper.png")},
        {QStringLiteral("taskbar/tray_icon_usb"), QStringLiteral("0")},
        {QStringLiteral("taskbar/tray_icon_network"), QStringLiteral("1")},
        {QStringLiteral("taskbar/taskbar_right_menu"), QStringLiteral("0")},
        {QStringLiteral("taskbar/taskbar_launcher"), QStringLiteral("1")},
        {QStringLiteral("taskbar/taskbar_dock_app"), QStringLiteral("1")},
        {QStringLiteral("taskbar/taskbar_display_mode"), QStringLiteral("1")},
        {QStringLiteral("taskbar/app_setting_trash"), QStringLiteral("1")},
        {QStringLiteral("shortcut/shortcut_status"), QStringLiteral("1")},
        {kSaver, QStringLiteral("images/screensaver.png")},
        {QStringLiteral("screen_saver/screen_saver_time_out"), QStringLiteral("10")},
        {QStringLiteral("power/power_config"), QStringLiteral("{\"batteryLock\":5}")},
        {QStringLiteral("personal_hotdot/personal_hotdot_status"), QStringLiteral("1")},
        {kLinks, links},
        {QStringLiteral("control_center/control_center_configs"), QStringLiteral("[\"sound\"]")},
    };
    const QStringList order{
        "control_center/control_center_configs", "desktop_shortcuts/desktop_shortcuts_list",
        "personal_hotdot/personal_hotdot_status", "power/power_config",
        "screen_saver/screen_saver_time_out", "screen_saver_wallpaper/screen_saver_wallpaper_name",
        "shortcut/shortcut_status", "taskbar/app_setting_trash", "taskbar/taskbar_display_mode",
        "taskbar/taskbar_dock_app", "taskbar/taskbar_launcher", "taskbar/taskbar_right_menu",
        "taskbar/tray_icon_network", "taskbar/tray_icon_usb", "wallpaper/wallpaper_name"};

    vorn::test::LogCapture log;
    const Settings recorded = results(submit(3, 7, settings));

    QStringList applied;
    for (const QString& line : log.lines()) {
        for (const QString& key : order) {
            if (line.startsWith(QLatin1Char('"') + key + QStringLiteral("\" :")))
                applied << key;
        }
    }
    QCOMPARE(applied, order);

    // One result per setting, one per web link: 15 + 2.
    QCOMPARE(recorded.size(), 17);
    QStringList keys;
    for (const auto& entry : recorded) {
        QVERIFY2(!entry.second.startsWith(QLatin1String("failed")) && !entry.second.isEmpty(),
                 qPrintable(entry.first + QLatin1Char('=') + entry.second));
        if (!keys.contains(entry.first))
            keys << entry.first;
    }
    keys.sort();
    QCOMPARE(keys, order);
    QCOMPARE(std::count_if(recorded.cbegin(), recorded.cend(),
                           [](const auto& e) { return e.first == kLinks; }),
             3L);

    const QJsonObject now = state();
    QCOMPARE(now.value(QStringLiteral("SetControlConfig")).toObject().value(QStringLiteral("all")).toArray().size(),
             m_executor->controlCenterModules().size());
    QCOMPARE(now.value(QStringLiteral("CreateDesktopNetAddress")).toArray().size(), 3);
    QVERIFY(QFile::exists(m_executor->webpageIconPath() + QStringLiteral("helpdesk.png")));
    // The wallpaper was applied from the private directory and then deleted.
    const QString wallpaper = privateWallpaperDir() + QStringLiteral("/wallpaper.png");
    QCOMPARE(now.value(QStringLiteral("SetMonitorBackground")).toObject().value(QStringLiteral("eDP-1")).toString(),
             wallpaper);
    QVERIFY(!QFile::exists(wallpaper));
    QCOMPARE(fileMode(privateWallpaperDir()), 0700);
    const QString saverDir = path(QStringLiteral("home/.config/kestal/kestal-screensaver/saverpic/vorn"));
    QCOMPARE(QDir(saverDir).entryList(QDir::Files), QStringList{QStringLiteral("screensaver.png")});
    QCOMPARE(now.value(QStringLiteral("SetScreenSaverPolicy")).toString(), saverDir + QLatin1Char('/'));
}

void TestSessionPolicyExecutor::keyWithoutHandlerDoesNotHold()
{
    vorn::test::LogCapture log;
    QElapsedTimer elapsed;
    elapsed.start();
    const QString report = submit(4, 8, {{QStringLiteral("ntp/ntpServer"), QStringLiteral("x")},
                                         {kLauncher, QStringLiteral("2")}},
                                  5000);
    QCOMPARE(results(report), (Settings{{kLauncher, QStringLiteral("success")}}));
    QVERIFY(elapsed.elapsed() < 3000);
    QCOMPARE(log.count(QStringLiteral("nof function \"ntp/ntpServer\"")), 1);
    QCOMPARE(state().value(QStringLiteral("SetLauncherDisplayable")).toBool(), true);
}

void TestSessionPolicyExecutor::reportOnlyForServerTasks_data()
{
    QTest::addColumn<int>("taskId");
    QTest::addColumn<int>("jobId");
    QTest::addColumn<bool>("reported");
    QTest::newRow("timer pull") << -1 << -1 << false;
    QTest::newRow("job 0") << 3 << 0 << false;
    QTest::newRow("task 0") << 0 << 7 << false;
    QTest::newRow("server task") << 3 << 7 << true;
}

void TestSessionPolicyExecutor::reportOnlyForServerTasks()
{
    QFETCH(int, taskId);
    QFETCH(int, jobId);
    QFETCH(bool, reported);

    ReportLog log(m_executor.data());
    PolicyInfo info;
    info.taskId = taskId;
    info.jobId = jobId;
    info.cachePath = path(QStringLiteral("cache/task-%1-%2").arg(taskId).arg(jobId));
    QFile file(info.cachePath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(document({{kLauncher, QStringLiteral("1")}}));
    file.close();
    m_queue.pushPolicy(info);

    // A later server task ends after this record: its report closes the window.
    QCOMPARE(results(submit(11, 12, {{kLauncher, QStringLiteral("0")}})).size(), 1);
    QVERIFY(!QFile::exists(info.cachePath));
    QList<int> tasks;
    for (const Report& r : qAsConst(log.reports))
        tasks << r.taskId;
    const QList<int> expected = reported ? QList<int>{taskId, 11} : QList<int>{11};
    QCOMPARE(tasks, expected);
    if (reported) {
        QCOMPARE(log.reports.first().result,
                 QStringLiteral("[{\"taskbar/taskbar_launcher\":\"success\"}]"));
    }
}

void TestSessionPolicyExecutor::missingCacheFileAppliesNothing()
{
    // The previous document's settings must not be applied again.
    QCOMPARE(results(submit(5, 5, {{kLauncher, QStringLiteral("1")}})).size(), 1);
    QFile::remove(path(QStringLiteral("state/vorn-xwe/session.json")));

    ReportLog log(m_executor.data());
    PolicyInfo info;
    info.taskId = 6;
    info.jobId = 6;
    info.cachePath = path(QStringLiteral("cache/never-written"));
    m_queue.pushPolicy(info);
    QTRY_COMPARE_WITH_TIMEOUT(log.reports.size(), 1, 5000);
    QCOMPARE(log.reports.first().result, QStringLiteral("[]"));
    QVERIFY(!state().contains(QStringLiteral("SetLauncherDisplayable")));
}

void TestSessionPolicyExecutor::lateResultsDropped()
{
    // The wallpaper answers only after 2 s; its document gives up at once.
    QVERIFY(!m_server->admin("PUT", QStringLiteral("/faults"),
                             R"({"/images/wallpaper.png": {"kind": "slow", "seconds": 2},
                                 "/images/icons/helpdesk.png": {"kind": "slow", "seconds": 4}})")
                 .isNull());
    m_executor->setTimeLimitMinutes(0);
    vorn::test::LogCapture log;
    // Out of time: the task failed, whatever came in so far.
    QCOMPARE(submit(21, 21, {{kWallpaper, QStringLiteral("images/wallpaper.png")}}),
             QStringLiteral("reported as failed"));
    QVERIFY(log.contains(QStringLiteral("---elapsed:")));
    m_executor->setTimeLimitMinutes(30);

    // The next document is still waiting for its slow icon when the
    // wallpaper's result arrives: that result must not count for it.
    const QString links = QStringLiteral(
        "[{\"name\":\"Helpdesk\",\"url\":\"https://helpdesk.lab/\",\"iconPath\":\"images/icons/helpdesk.png\"}]");
    const Settings recorded = results(submit(22, 22, {{kLauncher, QStringLiteral("1")}, {kLinks, links}}));
    QCOMPARE(recorded, (Settings{{kLauncher, QStringLiteral("success")}, {kLinks, QStringLiteral("success")}}));
    QVERIFY(log.contains(QStringLiteral("drop late result")));
}

void TestSessionPolicyExecutor::screenSaverDirectoryFails()
{
    // A home below a regular file: the picture directory cannot be made.
    const QByteArray home = qgetenv("HOME");
    const QString blocker = path(QStringLiteral("not-a-dir"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("HOME", QFile::encodeName(blocker + QStringLiteral("/home")));
    const QString report = submit(31, 31, {{kSaver, QStringLiteral("images/screensaver.png")}}, 5000);
    qputenv("HOME", home);

    const QString dir = blocker + QStringLiteral("/home/.config/kestal/kestal-screensaver/saverpic/vorn");
    QCOMPARE(results(report), (Settings{{kSaver, QStringLiteral("mkpath failed: ") + dir}}));
}

void TestSessionPolicyExecutor::screenSaverDownloadFails_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("result"); // %1: the picture's URL

    QTest::newRow("not on the server") << "images/missing.png" << "image not exist";
    QTest::newRow("over the size limit")
        << "images/huge.png"
        << "screen-saver picture download failed, code 4013: %1: "
           "answer of 67108865 bytes exceeds the size limit of 64 MiB";
}

void TestSessionPolicyExecutor::screenSaverDownloadFails()
{
    QFETCH(QString, value);
    QFETCH(QString, result);

    const QString dir = path(QStringLiteral("home/.config/kestal/kestal-screensaver/saverpic/vorn"));
    QVERIFY(QDir().mkpath(dir + QStringLiteral("/keep")));
    QFile old(dir + QStringLiteral("/old.png"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.close();
    // One byte more than a download may be; sparse, so cheap to make.
    QFile huge(m_server->filesDir() + QStringLiteral("/images/huge.png"));
    QVERIFY(QDir().mkpath(QFileInfo(huge).absolutePath()));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(AsyncHttpClientApi::kMaxBodyBytes + 1));
    huge.close();

    const QString report = submit(32, 32, {{kSaver, value}});
    const QString url = QStringLiteral("https://127.0.0.1:%1/").arg(m_server->port()) + value;
    QCOMPARE(results(report), (Settings{{kSaver, result.arg(url)}}));
    // Old pictures go, subdirectories stay.
    QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList());
    QVERIFY(QDir(dir + QStringLiteral("/keep")).exists());
    QVERIFY(!state().contains(QStringLiteral("SetScreenSaverPolicy")));
}

void TestSessionPolicyExecutor::wallpaperDirectory_data()
{
    QTest::addColumn<QString>("prepare");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("result");
    QTest::addColumn<bool>("applied");

    QTest::newRow("missing, created") << "none" << "images/wallpaper.png" << "success" << true;
    QTest::newRow("own 0700") << "0700" << "images/wallpaper.png" << "success" << true;
    QTest::newRow("readable by others") << "0755" << "images/wallpaper.png"
                                        << "unsafe wallpaper directory: %1" << false;
    QTest::newRow("symlink") << "symlink" << "images/wallpaper.png"
                             << "unsafe wallpaper directory: %1" << false;
    QTest::newRow("download fails, planted file ignored")
        << "planted" << "images/planted.png" << "wallpaper download failed, code: 404" << false;
    QTest::newRow("no file name") << "none" << "images/" << "invalid file name: images/" << false;
}

void TestSessionPolicyExecutor::wallpaperDirectory()
{
    QFETCH(QString, prepare);
    QFETCH(QString, value);
    QFETCH(QString, result);
    QFETCH(bool, applied);

    const QString dir = privateWallpaperDir();
    QFile::remove(dir);
    QDir(dir).removeRecursively();
    if (prepare == QLatin1String("0700") || prepare == QLatin1String("0755")) {
        QVERIFY(QDir().mkdir(dir));
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), prepare.toUInt(nullptr, 8)) == 0);
    } else if (prepare == QLatin1String("symlink")) {
        const QString target = path(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(target));
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0700) == 0);
        QVERIFY(QFile::link(target, dir));
    } else if (prepare == QLatin1String("planted")) {
        // Where a shared temporary directory would have put it, and in ours.
        for (const QString& where : {path(QStringLiteral("tmp")), dir}) {
            QVERIFY(QDir().mkpath(where));
            QFile planted(where + QStringLiteral("/planted.png"));
            QVERIFY(planted.open(QIODevice::WriteOnly));
            planted.write("not ours");
        }
        QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0700) == 0);
    }

    const QString report = submit(41, 41, {{kWallpaper, value}});
    if (result.contains(QLatin1String("%1")))
        result = result.arg(dir);
    QCOMPARE(results(report), (Settings{{kWallpaper, result}}));
    const QString set = state().value(QStringLiteral("SetMonitorBackground")).toObject()
                            .value(QStringLiteral("eDP-1")).toString();
    QCOMPARE(set, applied ? dir + QStringLiteral("/wallpaper.png") : QString());
    if (applied) {
        QCOMPARE(fileMode(dir), 0700);
        QVERIFY(!QFile::exists(dir + QStringLiteral("/wallpaper.png")));
    }
    QFile::remove(dir);
}

void TestSessionPolicyExecutor::stopWhileWaitingForRecord()
{
    PolicyQueue queue;
    SessionPolicyExecutor idle(&queue);
    vorn::test::LogCapture log;
    idle.start();
    QTRY_VERIFY(log.contains(QStringLiteral("consumer...")));
    QElapsedTimer elapsed;
    elapsed.start();
    idle.stop();
    QVERIFY(idle.isFinished());
    QVERIFY2(elapsed.elapsed() < 1000, qPrintable(QString::number(elapsed.elapsed())));
}

bool TestSessionPolicyExecutor::apply(int taskId, const Settings& settings, const QString& md5)
{
    PolicyInfo info;
    info.taskId = taskId;
    info.jobId = taskId;
    info.cachePath = path(QStringLiteral("cache/doc-%1").arg(++m_serial));
    QFile file(info.cachePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(document(settings, md5)) <= 0)
        return false;
    file.close();
    m_queue.pushPolicy(info);
    // The executor removes the file once every result is in.
    return vorn::test::waitFor([&]() { return !QFile::exists(info.cachePath); }, 20000);
}

int TestSessionPolicyExecutor::downloads() const
{
    int count = 0;
    for (const QJsonValue& request : m_server->requests()) {
        if (request.toObject().value(QStringLiteral("path")).toString().startsWith(QLatin1String("/images/")))
            ++count;
    }
    return count;
}

void TestSessionPolicyExecutor::downloadsConverge_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("fetched"); // downloads of the second application
    QTest::newRow("same document again") << "none" << 0;
    QTest::newRow("new document") << "document" << 3;
    QTest::newRow("icon removed") << "icon removed" << 1;
    QTest::newRow("wallpaper kept copy altered") << "wallpaper altered" << 1;
    QTest::newRow("server task") << "task" << 3;
}

// A document applied again without a task uses the pictures and the icon
// fetched for it, and still applies them.
void TestSessionPolicyExecutor::downloadsConverge()
{
    QFETCH(QString, change);
    QFETCH(int, fetched);
    const QString links = QStringLiteral(
        "[{\"name\":\"Helpdesk\",\"url\":\"https://helpdesk.lab/\",\"iconPath\":\"images/icons/helpdesk.png\"}]");
    const Settings settings{{kWallpaper, QStringLiteral("images/wallpaper.png")},
                            {kSaver, QStringLiteral("images/screensaver.png")},
                            {kLinks, links}};
    const QString md5 = QStringLiteral("converge-") + QString::fromLatin1(QTest::currentDataTag());
    const int before = downloads();
    QVERIFY(apply(-1, settings, md5));
    QCOMPARE(downloads(), before + 3);

    if (change == QLatin1String("icon removed"))
        QVERIFY(QFile::remove(m_executor->webpageIconPath() + QStringLiteral("helpdesk.png")));
    if (change == QLatin1String("wallpaper altered")) {
        QFile kept(privateWallpaperDir() + QStringLiteral("/.kept-wallpaper.png"));
        QVERIFY(kept.open(QIODevice::Append));
        kept.write("x");
    }
    QFile::remove(path(QStringLiteral("state/vorn-xwe/session.json")));
    const bool task = change == QLatin1String("task");
    const QString secondMd5 = change == QLatin1String("document") ? md5 + QStringLiteral("-2") : md5;
    QVERIFY(apply(task ? 51 : -1, settings, secondMd5));
    QCOMPARE(downloads(), before + 3 + fetched);

    // Applied all the same.
    const QJsonObject now = state();
    QCOMPARE(now.value(QStringLiteral("SetMonitorBackground")).toObject().value(QStringLiteral("eDP-1")).toString(),
             privateWallpaperDir() + QStringLiteral("/wallpaper.png"));
    QVERIFY(!QFile::exists(privateWallpaperDir() + QStringLiteral("/wallpaper.png")));
    QVERIFY(now.contains(QStringLiteral("SetScreenSaverPolicy")));
    QCOMPARE(now.value(QStringLiteral("CreateDesktopNetAddress")).toArray().size(), 1);
    QVERIFY(QFile::exists(m_executor->webpageIconPath() + QStringLiteral("helpdesk.png")));
}

QTEST_GUILESS_MAIN(TestSessionPolicyExecutor)
#include "tst_sessionpolicyexecutor.moc"
