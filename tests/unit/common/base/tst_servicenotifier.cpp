#include "common/base/servicenotifier.h"

#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cerrno>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using vorn::base::ServiceNotifier;

// The service manager's side: a datagram socket named by NOTIFY_SOCKET.
class TestServiceNotifier : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void messages();
    void watchdog_data();
    void watchdog();
    void noPingsWhileTheLoopIsBlocked();

private:
    // Every datagram received since the last forget(), oldest first. (QTRY_
    // evaluates its expression more than once: reading must not lose any.)
    QStringList received();
    void forget();

    QTemporaryDir m_dir;
    int m_socket = -1;
    QStringList m_received;
};

void TestServiceNotifier::init()
{
    QVERIFY(m_dir.isValid());
    m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    QVERIFY(m_socket >= 0);
    const QByteArray path = QFile::encodeName(m_dir.filePath(QStringLiteral("notify")));
    ::unlink(path.constData());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(path.size()) < sizeof address.sun_path);
    qstrcpy(address.sun_path, path.constData());
    QCOMPARE(::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    qputenv("NOTIFY_SOCKET", path);
    m_received.clear();
    qunsetenv("WATCHDOG_USEC");
    qunsetenv("WATCHDOG_PID");
}

void TestServiceNotifier::cleanup()
{
    ::close(m_socket);
    m_socket = -1;
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    qunsetenv("WATCHDOG_PID");
}

QStringList TestServiceNotifier::received()
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(m_socket, buffer, sizeof buffer, 0);
        if (got < 0)
            return m_received;
        m_received.append(QString::fromUtf8(buffer, int(got)));
    }
}

void TestServiceNotifier::forget()
{
    received();
    m_received.clear();
}

void TestServiceNotifier::messages()
{
    ServiceNotifier notifier;
    QCOMPARE(notifier.pingIntervalMs(), 0);
    notifier.setStatus(QStringLiteral("policy abc applied; last pull: not accepted:\nline two"));
    notifier.setStatus(QStringLiteral("policy abc applied; last pull: not accepted:\nline two"));
    notifier.ready();
    notifier.setStatus(QString(1000, QLatin1Char('x')));
    notifier.stopping();
    QTRY_COMPARE(received(),
                 (QStringList{QStringLiteral("STATUS=policy abc applied; last pull: not accepted: line two"),
                              QStringLiteral("READY=1"),
                              QStringLiteral("STATUS=") + QString(ServiceNotifier::kMaxStatusChars, QLatin1Char('x')),
                              QStringLiteral("STOPPING=1")}));
}

void TestServiceNotifier::watchdog_data()
{
    QTest::addColumn<QByteArray>("usec");
    QTest::addColumn<QByteArray>("pid");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<int>("intervalMs");

    const QByteArray self = QByteArray::number(qint64(::getpid()));
    QTest::newRow("asked for") << QByteArray("200000") << QByteArray() << true << 100;
    QTest::newRow("asked for this process") << QByteArray("200000") << self << true << 100;
    QTest::newRow("meant for another process") << QByteArray("200000") << QByteArray("1") << true << 0;
    QTest::newRow("not asked for") << QByteArray() << QByteArray() << true << 0;
    QTest::newRow("nobody listening") << QByteArray("200000") << QByteArray() << false << 0;
}

void TestServiceNotifier::watchdog()
{
    QFETCH(QByteArray, usec);
    QFETCH(QByteArray, pid);
    QFETCH(bool, listening);
    QFETCH(int, intervalMs);
    if (!usec.isEmpty())
        qputenv("WATCHDOG_USEC", usec);
    if (!pid.isEmpty())
        qputenv("WATCHDOG_PID", pid);
    if (!listening)
        qunsetenv("NOTIFY_SOCKET");

    ServiceNotifier notifier;
    QCOMPARE(notifier.pingIntervalMs(), intervalMs);
    if (!listening)
        return;
    notifier.ready();
    // READY=1 goes out at once; pings, if any, only from the event loop.
    QCOMPARE(received(), QStringList{QStringLiteral("READY=1")});
    if (intervalMs > 0)
        QTRY_VERIFY(received().count(QStringLiteral("WATCHDOG=1")) > 1);
    else
        QCOMPARE(received(), QStringList{QStringLiteral("READY=1")});
    // Still there for the next call, as sd_notify reads it every time.
    QVERIFY(qEnvironmentVariableIsSet("NOTIFY_SOCKET"));
}

void TestServiceNotifier::noPingsWhileTheLoopIsBlocked()
{
    qputenv("WATCHDOG_USEC", "100000");
    ServiceNotifier notifier;
    QCOMPARE(notifier.pingIntervalMs(), 50);
    QTRY_VERIFY(received().contains(QStringLiteral("WATCHDOG=1")));

    // A main loop stuck for several periods sends nothing meanwhile, so the
    // service manager's watchdog fires.
    forget();
    QThread::msleep(300);
    QCOMPARE(received(), QStringList());

    QTRY_VERIFY(received().contains(QStringLiteral("WATCHDOG=1")));
    // Stopping: the loop ends, and so do the pings.
    notifier.stopping();
    forget();
    QThread::msleep(150);
    QCoreApplication::processEvents();
    QCOMPARE(received(), QStringList());
}

QTEST_GUILESS_MAIN(TestServiceNotifier)
#include "tst_servicenotifier.moc"
