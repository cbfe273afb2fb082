// The receiver's pull timer: its interval from the core client service on a
// private system bus, the service's interval changes, and the tick's place in
// the interval, which the machine id decides.

#include "labsupport.h"
#include "lumo/policy/policy_receiver.h"

#include <QDateTime>

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using vorn::test::LogCapture;
using vorn::test::PrivateSystemBus;
using vorn::test::VorngMock;

namespace {
const QString kDefaultUsed = QStringLiteral("using default interval:");
constexpr int kMinute = 60000;
} // namespace

class TestPullTimer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void initialInterval_data();
    void initialInterval();
    void intervalChanged_data();
    void intervalChanged();

private:
    PolicyReceiver* makeReceiver();
    QTimer* pullTimer(PolicyReceiver* receiver) const
    {
        return receiver->findChild<QTimer*>(QStringLiteral("pullPolicyTimer"));
    }
    // Whether the timer's next tick lies on the machine's phase point of the interval.
    static bool onPhase(QTimer* timer, qint64 intervalMs, QString* why)
    {
        const qint64 due = QDateTime::currentMSecsSinceEpoch() + timer->remainingTime();
        const qint64 into = due % intervalMs;
        const qint64 phase = PullSchedule::phaseMs(QStringLiteral("m"), intervalMs);
        // remainingTime() is in whole ms and read a moment apart from the clock.
        const qint64 from = phase - 50;
        const qint64 to = phase + PullSchedule::jitterLimitMs(intervalMs) + 50;
        *why = QStringLiteral("tick %1 ms into the interval, phase %2").arg(into).arg(phase);
        return (into >= from && into <= to) || (into + intervalMs >= from && into + intervalMs <= to)
               || (into - intervalMs >= from && into - intervalMs <= to);
    }

    QTemporaryDir m_dir;
    std::unique_ptr<PrivateSystemBus> m_bus;
    std::unique_ptr<VorngMock> m_mock;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<PolicyQueue> m_queue;
    std::unique_ptr<PolicyReceiver> m_receiver;
};

void TestPullTimer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_bus.reset(new PrivateSystemBus(m_dir.filePath(QStringLiteral("bus"))));
    QVERIFY2(m_bus->start(), qPrintable(m_bus->errorString()));
    m_mock.reset(new VorngMock(m_dir.filePath(QStringLiteral("mock"))));
    QVERIFY2(m_mock->start(), qPrintable(m_mock->errorString()));
}

void TestPullTimer::cleanupTestCase()
{
    m_mock.reset();
    m_bus.reset();
}

void TestPullTimer::init()
{
    QVERIFY(m_mock->setProperty(QStringLiteral("TimeInterval"), 5));
    m_log.reset(new LogCapture);
    m_queue.reset(new PolicyQueue);
}

void TestPullTimer::cleanup()
{
    m_receiver.reset();
    m_queue.reset();
    m_log.reset();
}

PolicyReceiver* TestPullTimer::makeReceiver()
{
    PolicyInfo info;
    info.ip = QStringLiteral("127.0.0.1");
    info.port = QStringLiteral("8443");
    info.url = QStringLiteral("https://%1:%2/p?machine_id=%3&md5=%4");
    info.machineId = QStringLiteral("m");
    info.policyPath = m_dir.filePath(QStringLiteral("policy.json"));
    info.cachePath = m_dir.filePath(QStringLiteral("cache"));
    m_receiver.reset(new PolicyReceiver(info));
    m_receiver->setPolicyQueue(m_queue.get());
    return m_receiver.get();
}

void TestPullTimer::initialInterval_data()
{
    QTest::addColumn<QVariant>("property");
    QTest::addColumn<bool>("serviceUp");
    QTest::addColumn<int>("expectedMs");
    QTest::addColumn<bool>("defaultLogged");
    QTest::newRow("7 minutes") << QVariant(7) << true << 7 * kMinute << false;
    QTest::newRow("zero") << QVariant(0) << true << 5 * kMinute << true;
    QTest::newRow("negative") << QVariant(-4) << true << 5 * kMinute << true;
    QTest::newRow("not a number") << QVariant(QStringLiteral("ten")) << true << 5 * kMinute << true;
    QTest::newRow("service absent") << QVariant(5) << false << 5 * kMinute << false;
}

void TestPullTimer::initialInterval()
{
    QFETCH(QVariant, property);
    QFETCH(bool, serviceUp);
    QFETCH(int, expectedMs);
    QFETCH(bool, defaultLogged);
    QVERIFY(m_mock->setProperty(QStringLiteral("TimeInterval"), property));
    if (!serviceUp)
        m_mock->stop();
    PolicyReceiver* receiver = makeReceiver();
    if (!serviceUp)
        QVERIFY2(m_mock->start(), qPrintable(m_mock->errorString()));
    QTimer* timer = pullTimer(receiver);
    QVERIFY(timer);
    QVERIFY(timer->isActive());
    QCOMPARE(receiver->pullIntervalMs(), qint64(expectedMs));
    // The first tick: the machine's phase point at least half an interval ahead.
    QVERIFY(timer->remainingTime() >= expectedMs / 2 - 100);
    QVERIFY(timer->remainingTime() <= expectedMs * 3 / 2 + PullSchedule::jitterLimitMs(expectedMs));
    QString why;
    QVERIFY2(onPhase(timer, expectedMs, &why), qPrintable(why));
    QCOMPARE(m_log->count(kDefaultUsed), defaultLogged ? 1 : 0);
    QCOMPARE(m_log->count(QStringLiteral("init pull policy timer, interval: ")), 1);
    QVERIFY(m_log->contains(QStringLiteral("ip \"127.0.0.1\" :port: \"8443\"")));
}

void TestPullTimer::intervalChanged_data()
{
    QTest::addColumn<int>("initial");
    QTest::addColumn<int>("changed");
    QTest::addColumn<int>("expectedMs");
    QTest::addColumn<bool>("restarted");
    QTest::addColumn<bool>("defaultLogged");
    QTest::newRow("same value") << 5 << 5 << 5 * kMinute << false << false;
    QTest::newRow("new value") << 5 << 7 << 7 * kMinute << true << false;
    QTest::newRow("zero from 7") << 7 << 0 << 5 * kMinute << true << true;
    QTest::newRow("negative from 7") << 7 << -2 << 5 * kMinute << true << true;
    QTest::newRow("zero from default") << 5 << 0 << 5 * kMinute << false << true;
}

void TestPullTimer::intervalChanged()
{
    QFETCH(int, initial);
    QFETCH(int, changed);
    QFETCH(int, expectedMs);
    QFETCH(bool, restarted);
    QFETCH(bool, defaultLogged);
    QVERIFY(m_mock->setProperty(QStringLiteral("TimeInterval"), initial));
    PolicyReceiver* receiver = makeReceiver();
    QTimer* timer = pullTimer(receiver);
    QVERIFY(timer);
    // Let the countdown run a little, so that a re-armed timer shows.
    const int armed = timer->remainingTime();
    QTRY_VERIFY_WITH_TIMEOUT(timer->remainingTime() <= armed - 300, 5000);
    m_log->clear();

    const int before = timer->remainingTime();
    QVERIFY(m_mock->control(QStringLiteral("SetTimeInterval"), {changed}));
    QTRY_COMPARE_WITH_TIMEOUT(m_log->count(QStringLiteral("pull policy interval chaged:")), 1, 10000);
    QVERIFY(m_log->contains(QStringLiteral("pull policy interval chaged: %1").arg(changed)));
    const int remaining = timer->remainingTime();
    QCOMPARE(receiver->pullIntervalMs(), qint64(expectedMs));
    QVERIFY(timer->isActive());
    // Only a real change moves the tick, to the phase point of the new interval.
    QCOMPARE(m_log->count(QStringLiteral("next timer pull in")), restarted ? 1 : 0);
    QString why;
    QVERIFY2(onPhase(timer, expectedMs, &why), qPrintable(why));
    if (!restarted)
        QVERIFY2(remaining <= before, qPrintable(QStringLiteral("%1 > %2").arg(remaining).arg(before)));
    QCOMPARE(m_log->count(kDefaultUsed), defaultLogged ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestPullTimer)
#include "tst_pulltimer.moc"
