#include "asynchttpclientapi.h"
#include "testserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <set>

#include <sys/fsuid.h>
#include <unistd.h>

// What the library keeps within bounds: the size of one answer, the memory a
// download takes, how many downloads run at once; and what it says when the
// client key cannot be read, and that it loads no network bearer plugins.
namespace {

constexpr int kWaitMs = 60000;
constexpr qint64 kTrickleSize = 8 * 1024 * 1024;  // tls_server.py /trickle
constexpr qint64 kLargeSize = 60 * 1024 * 1024;   // tls_server.py /large

struct Outcome
{
    bool done = false;
    QString text;
    int code = -1;
};
using OutcomePtr = std::shared_ptr<Outcome>;

AsyncHttpClientApi::Callback recorder(const OutcomePtr& outcome)
{
    return [outcome](QString text, int code) {
        outcome->done = true;
        outcome->text = text;
        outcome->code = code;
    };
}

QStringList partFiles(const QString& dir)
{
    return QDir(dir).entryList({QStringLiteral(".*.part-*")}, QDir::Files | QDir::Hidden | QDir::System);
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Runs the event loop until done() holds or the time is up; calls sample()
// at least every few milliseconds meanwhile.
template <typename Done, typename Sample>
bool pollUntil(Done done, Sample sample, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        sample();
    }
    return true;
}

QMutex g_logMutex;
QStringList g_log;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker lock(&g_logMutex);
        g_log.append(message);
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

QStringList takeLog()
{
    QMutexLocker lock(&g_logMutex);
    QStringList lines;
    lines.swap(g_log);
    return lines;
}

// Root reads every file: file access as another user and group, for this
// thread only, for as long as the object lives.
class FileAccessAs
{
public:
    FileAccessAs(uid_t uid, gid_t gid)
        : m_root(::geteuid() == 0)
    {
        if (m_root) {
            m_oldGid = ::setfsgid(gid);
            m_oldUid = ::setfsuid(uid);
        }
    }
    ~FileAccessAs()
    {
        if (m_root) {
            ::setfsuid(uid_t(m_oldUid));
            ::setfsgid(gid_t(m_oldGid));
        }
    }

private:
    Q_DISABLE_COPY(FileAccessAs)
    bool m_root;
    int m_oldUid = 0;
    int m_oldGid = 0;
};

} // namespace

class TstHttpBounds : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void sizeLimit_data();
    void sizeLimit();
    void downloadGrowsInItsFile();
    void largeDownloadKeepsMemoryFlat();
    void downloadsWaitForAFreeSlot();
    void unreadableClientKey_data();
    void unreadableClientKey();
    void noBearerPlugin();

private:
    QString url(const QString& path) const { return QStringLiteral("https://127.0.0.1:%1%2").arg(m_port).arg(path); }
    QString cert(const QString& name) const { return m_certs.filePath(name); }
    void useGoodConfig();

    QTemporaryDir m_certs;
    QProcess m_server;
    quint16 m_port = 0;
};

void TstHttpBounds::initTestCase()
{
    g_previousHandler = qInstallMessageHandler(recordMessage);
    QVERIFY(m_certs.isValid());
    const QString error = tarntest::makeCerts(m_certs.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    m_port = tarntest::startServer(&m_server, m_certs.path(), QStringLiteral("server.crt"),
                                   QStringLiteral("server.key"));
    QVERIFY2(m_port != 0, m_server.readAllStandardError().constData());
}

void TstHttpBounds::cleanupTestCase()
{
    tarntest::stopServer(&m_server);
    qInstallMessageHandler(g_previousHandler);
}

void TstHttpBounds::useGoodConfig()
{
    AsyncHttpClientApi::getInstance()->setSSLConfig(cert(QStringLiteral("ca.crt")), cert(QStringLiteral("client.crt")),
                                                    cert(QStringLiteral("client.key")));
}

void TstHttpBounds::init()
{
    useGoodConfig();
    takeLog();
}

void TstHttpBounds::sizeLimit_data()
{
    QTest::addColumn<bool>("download");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("text");

    const QString announced = QStringLiteral("answer of %1 bytes exceeds the size limit of 64 MiB")
                                  .arg(64 * 1024 * 1024 + 4096);
    const QString streamed = QStringLiteral("answer exceeds the size limit of 64 MiB");
    QTest::newRow("download, length announced") << true << "/big" << announced;
    QTest::newRow("download, no length") << true << "/bigstream" << streamed;
    QTest::newRow("request, length announced") << false << "/big" << QString();
    QTest::newRow("request, no length") << false << "/bigstream" << QString();
}

void TstHttpBounds::sizeLimit()
{
    QFETCH(bool, download);
    QFETCH(QString, path);
    QFETCH(QString, text);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    auto outcome = std::make_shared<Outcome>();
    if (download)
        AsyncHttpClientApi::getInstance()->downloadFile(recorder(outcome), dir.filePath(QStringLiteral("x.bin")),
                                                        url(path), QString(), false, {}, 60);
    else
        AsyncHttpClientApi::getInstance()->getRequest(recorder(outcome), url(path), QString(), 60);
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, kWaitMs);
    QCOMPARE(outcome->code, int(AsyncHttpClientApi::BodyTooLarge));
    QCOMPARE(outcome->text, text);
    QCOMPARE(entries(dir.path()), QStringList());
    // The reason is in the log as well.
    QVERIFY(takeLog().filter(QStringLiteral("exceeds the size limit of 64 MiB")).size() == 1);
}

void TstHttpBounds::downloadGrowsInItsFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("stream.bin"));
    auto outcome = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->downloadFile(recorder(outcome), target, url(QStringLiteral("/trickle")),
                                                    QString(), false, {}, 60);
    std::set<qint64> sizes; // of the file being written, before the download ended
    const bool finished = pollUntil([&] { return outcome->done; },
                                    [&] {
                                        const QStringList parts = partFiles(dir.path());
                                        if (!outcome->done && parts.size() == 1)
                                            sizes.insert(QFileInfo(dir.filePath(parts.first())).size());
                                    },
                                    kWaitMs);
    QVERIFY(finished);
    QCOMPARE(outcome->code, 200);
    QCOMPARE(QFileInfo(target).size(), kTrickleSize);
    sizes.erase(0);
    sizes.erase(kTrickleSize);
    // The body went to disk piece by piece, not at the end in one go.
    QVERIFY2(sizes.size() >= 3, qPrintable(QString::number(sizes.size())));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral(".part")));
    QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("stream.bin")});
}

void TstHttpBounds::largeDownloadKeepsMemoryFlat()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("the address sanitizer keeps freed memory resident");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("large.bin"));
    const qint64 before = residentKiB();
    QVERIFY(before > 0);
    qint64 peak = before;
    auto outcome = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->downloadFile(recorder(outcome), target, url(QStringLiteral("/large")),
                                                    QString(), false, {}, 120);
    QVERIFY(pollUntil([&] { return outcome->done; }, [&] { peak = qMax(peak, residentKiB()); }, 2 * kWaitMs));
    QCOMPARE(outcome->code, 200);
    QCOMPARE(QFileInfo(target).size(), kLargeSize);
    // Holding the body would take 60 MiB; a few MiB of buffers are expected.
    const qint64 grownMiB = (peak - before) / 1024;
    qInfo() << "resident memory grew by" << grownMiB << "MiB during a" << kLargeSize / (1024 * 1024)
            << "MiB download";
    QVERIFY2(grownMiB < 16, qPrintable(QString::number(grownMiB)));
}

void TstHttpBounds::downloadsWaitForAFreeSlot()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    constexpr int kDownloads = AsyncHttpClientApi::kMaxRunningDownloads + 2;
    std::vector<OutcomePtr> downloads;
    for (int i = 0; i < kDownloads; ++i) {
        downloads.push_back(std::make_shared<Outcome>());
        AsyncHttpClientApi::getInstance()->downloadFile(recorder(downloads.back()),
                                                        dir.filePath(QStringLiteral("d%1.bin").arg(i)),
                                                        url(QStringLiteral("/trickle")), QString(), false, {}, 60);
    }
    // A plain request is not held back by the downloads.
    auto get = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->getRequest(recorder(get), url(QStringLiteral("/ok")), QString(), 60);

    int most = 0;
    int doneWhenGetEnded = -1;
    const auto allDone = [&] {
        return std::all_of(downloads.begin(), downloads.end(), [](const OutcomePtr& o) { return o->done; });
    };
    QVERIFY(pollUntil(allDone,
                      [&] {
                          most = qMax(most, int(partFiles(dir.path()).size()));
                          if (get->done && doneWhenGetEnded < 0)
                              doneWhenGetEnded = int(std::count_if(downloads.begin(), downloads.end(),
                                                                   [](const OutcomePtr& o) { return o->done; }));
                      },
                      2 * kWaitMs));
    QCOMPARE(most, int(AsyncHttpClientApi::kMaxRunningDownloads));
    for (const OutcomePtr& outcome : downloads)
        QCOMPARE(outcome->code, 200);
    QCOMPARE(get->code, 200);
    QCOMPARE(doneWhenGetEnded, 0);
    QCOMPARE(entries(dir.path()).size(), kDownloads);
}

void TstHttpBounds::unreadableClientKey_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("reason");

    QTest::newRow("readable by root only") << true << "Permission denied";
    QTest::newRow("missing") << false << "No such file or directory";
}

void TstHttpBounds::unreadableClientKey()
{
    QFETCH(bool, present);
    QFETCH(QString, reason);

    // The CA and the certificate are readable by everyone, the key is not.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                  | QFile::ReadOther | QFile::ExeOther));
    const QFile::Permissions everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther;
    for (const char* name : {"ca.crt", "client.crt"}) {
        QVERIFY(QFile::copy(cert(QLatin1String(name)), dir.filePath(QLatin1String(name))));
        QVERIFY(QFile::setPermissions(dir.filePath(QLatin1String(name)), everyone));
    }
    const QString key = dir.filePath(QStringLiteral("client.key"));
    if (present) {
        QVERIFY(QFile::copy(cert(QStringLiteral("client.key")), key));
        QVERIFY(QFile::setPermissions(key, ::geteuid() == 0 ? QFile::ReadOwner | QFile::WriteOwner
                                                            : QFile::Permissions()));
    }

    {
        const FileAccessAs desktopUser(65534, 65534);
        AsyncHttpClientApi::getInstance()->setSSLConfig(dir.filePath(QStringLiteral("ca.crt")),
                                                        dir.filePath(QStringLiteral("client.crt")), key);
    }
    const QString line = QStringLiteral("client key not readable: %1: %2").arg(key, reason);
    const QStringList logged = takeLog();
    QCOMPARE(logged.filter(line).size(), 1);

    // The program goes on; each request fails with that reason.
    auto outcome = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->getRequest(recorder(outcome), url(QStringLiteral("/ok")), QString(), 20);
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, kWaitMs);
    QCOMPARE(outcome->code, int(AsyncHttpClientApi::NoAnswer));
    QCOMPARE(takeLog().filter(line).size(), 1);
}

void TstHttpBounds::noBearerPlugin()
{
    // First no server, then one: the request after start-up goes out and
    // succeeds, nothing holds it back as "offline".
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 closedPort = closed.serverPort();
    closed.close();
    auto refused = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->getRequest(
        recorder(refused), QStringLiteral("https://127.0.0.1:%1/ok").arg(closedPort), QString(), 20);
    QTRY_VERIFY_WITH_TIMEOUT(refused->done, kWaitMs);
    QCOMPARE(refused->code, int(AsyncHttpClientApi::NoAnswer));

    auto ok = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->getRequest(recorder(ok), url(QStringLiteral("/ok")), QString(), 20);
    QTRY_VERIFY_WITH_TIMEOUT(ok->done, kWaitMs);
    QCOMPARE(ok->code, 200);

    // The bearer plugins would poll the network interfaces every few seconds.
    QFile maps(QStringLiteral("/proc/self/maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    QVERIFY(mapped.contains("libQt5Network"));
    QVERIFY2(!mapped.contains("/bearer/"), "a network bearer plugin is loaded");
}

QTEST_GUILESS_MAIN(TstHttpBounds)
#include "tst_httpbounds.moc"
