// The timer's schedule on a clock of the test's own: the phase of a machine's
// ticks, the server's Retry-After, the growing wait after repeated server
// trouble and the return to normal after a success.

#include "lumo/policy/pull_schedule.h"

#include <QDateTime>
#include <QLocale>
#include <QtTest>

namespace {
constexpr qint64 kMinute = 60000;
constexpr qint64 kHour = 60 * kMinute;
// A Monday morning, in ms since the epoch.
constexpr qint64 kStart = 1796893200000;
} // namespace

class TestPullSchedule : public QObject
{
    Q_OBJECT

private slots:
    void phaseOfMachine_data();
    void phaseOfMachine();
    void retryAfterForms_data();
    void retryAfterForms();
    void noTimerPullBeforeRetryAfter_data();
    void noTimerPullBeforeRetryAfter();
    void backoffGrowsAndEndsWithSuccess_data();
    void backoffGrowsAndEndsWithSuccess();

private:
    qint64 m_now = kStart;
    PullSchedule makeSchedule()
    {
        return PullSchedule([this] { return m_now; });
    }
};

void TestPullSchedule::phaseOfMachine_data()
{
    QTest::addColumn<QString>("machineId");
    QTest::addColumn<qint64>("interval");
    QTest::addColumn<qint64>("phase");
    // Fixed values: a fleet keeps its phases across releases.
    QTest::newRow("first machine, 5 min") << "lab-machine-0001" << 5 * kMinute << qint64(56051);
    QTest::newRow("second machine, 5 min") << "lab-machine-0002" << 5 * kMinute << qint64(147215);
    QTest::newRow("second machine, 1 min") << "lab-machine-0002" << kMinute << qint64(27215);
}

void TestPullSchedule::phaseOfMachine()
{
    QFETCH(QString, machineId);
    QFETCH(qint64, interval);
    QFETCH(qint64, phase);
    QCOMPARE(PullSchedule::phaseMs(machineId, interval), phase);

    // Started in the same second, anywhere in the interval: the next tick is
    // on the machine's phase point, at least half an interval ahead, plus
    // less than the jitter.
    const PullSchedule schedule = makeSchedule();
    const qint64 jitter = PullSchedule::jitterLimitMs(interval);
    QVERIFY(jitter > 0 && jitter <= 10000);
    for (qint64 offset : {qint64(0), interval / 3, interval - 1}) {
        m_now = kStart + offset;
        const qint64 delay = schedule.nextTickDelayMs(machineId, interval);
        QVERIFY2(delay >= interval / 2 && delay < interval * 3 / 2 + jitter,
                 qPrintable(QString::number(delay)));
        const qint64 intoInterval = (m_now + delay) % interval;
        QVERIFY2(intoInterval >= phase && intoInterval < phase + jitter,
                 qPrintable(QStringLiteral("%1 not at phase %2").arg(intoInterval).arg(phase)));
    }
}

void TestPullSchedule::retryAfterForms_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qint64>("expected"); // -1: not usable
    const qint64 oct2015 = QDateTime(QDate(2015, 10, 21), QTime(7, 28), Qt::UTC).toMSecsSinceEpoch();
    QTest::newRow("seconds") << QByteArray("120") << kStart + 120000;
    QTest::newRow("seconds, blanks") << QByteArray(" 5 ") << kStart + 5000;
    QTest::newRow("seconds over an hour") << QByteArray("86400") << kStart + kHour;
    QTest::newRow("imf date") << QByteArray("Wed, 21 Oct 2015 07:28:00 GMT") << oct2015;
    QTest::newRow("rfc 850 date") << QByteArray("Wednesday, 21-Oct-15 07:28:00 GMT") << oct2015;
    QTest::newRow("asctime date") << QByteArray("Wed Oct 21 07:28:00 2015") << oct2015;
    QTest::newRow("negative") << QByteArray("-5") << qint64(-1);
    QTest::newRow("words") << QByteArray("soon") << qint64(-1);
    QTest::newRow("empty") << QByteArray() << qint64(-1);
}

void TestPullSchedule::retryAfterForms()
{
    QFETCH(QByteArray, value);
    QFETCH(qint64, expected);
    QCOMPARE(PullSchedule::retryAfterTime(value, kStart), expected);
}

void TestPullSchedule::noTimerPullBeforeRetryAfter_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<qint64>("heldMs"); // 0: not held
    const auto httpDate = [](qint64 ms) {
        return QLocale::c()
            .toString(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC),
                      QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"))
            .toLatin1();
    };
    const QByteArray in90s = httpDate(kStart + 90000);
    QTest::newRow("503, seconds") << 503 << QByteArray("60") << qint64(60000);
    QTest::newRow("429, http date") << 429 << in90s << qint64(90000);
    QTest::newRow("503, two hours asked") << 503 << QByteArray("7200") << kHour;
    QTest::newRow("503, date two hours ahead")
        << 503
        << httpDate(kStart + 2 * kHour) << kHour;
    QTest::newRow("503, date in the past") << 503 << QByteArray("Wed, 21 Oct 2015 07:28:00 GMT")
                                           << qint64(0);
    QTest::newRow("500 with Retry-After") << 500 << QByteArray("60") << qint64(0);
    QTest::newRow("503 without Retry-After") << 503 << QByteArray() << qint64(0);
}

void TestPullSchedule::noTimerPullBeforeRetryAfter()
{
    QFETCH(int, code);
    QFETCH(QByteArray, retryAfter);
    QFETCH(qint64, heldMs);
    m_now = kStart;
    PullSchedule schedule = makeSchedule();
    QVERIFY(schedule.mayPull());
    schedule.pullAnswered(code, retryAfter, kMinute);
    QCOMPARE(schedule.failures(), 1);
    if (heldMs == 0) {
        QVERIFY(schedule.mayPull());
        QCOMPARE(schedule.heldUntil(), qint64(0));
        return;
    }
    QCOMPARE(schedule.heldUntil(), kStart + heldMs);
    QVERIFY(schedule.holdReason().contains(QStringLiteral("Retry-After")));
    m_now = kStart + heldMs - 1;
    QVERIFY(!schedule.mayPull());
    m_now = kStart + heldMs;
    QVERIFY(schedule.mayPull());
}

void TestPullSchedule::backoffGrowsAndEndsWithSuccess_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<qint64>("interval");
    QTest::newRow("no answer, 5 min") << 0 << 5 * kMinute;
    QTest::newRow("time-out, 5 min") << 4003 << 5 * kMinute;
    QTest::newRow("500, 1 min") << 500 << kMinute;
    QTest::newRow("503 without Retry-After, 1 min") << 503 << kMinute;
    QTest::newRow("429 without Retry-After, 1 min") << 429 << kMinute;
}

void TestPullSchedule::backoffGrowsAndEndsWithSuccess()
{
    QFETCH(int, code);
    QFETCH(qint64, interval);
    m_now = kStart;
    PullSchedule schedule = makeSchedule();

    // One failure is a blip: the next tick asks as usual.
    schedule.pullAnswered(code, QByteArray(), interval);
    QVERIFY(schedule.mayPull());

    qint64 lastBase = 0;
    for (int failures = 2; failures <= 12; ++failures) {
        schedule.pullAnswered(code, QByteArray(), interval);
        QCOMPARE(schedule.failures(), failures);
        const qint64 base = PullSchedule::backoffBaseMs(failures, interval);
        QVERIFY(base >= lastBase && base <= kHour);
        lastBase = base;
        const qint64 wait = schedule.heldUntil() - m_now;
        QVERIFY2(wait >= base * 3 / 4 && wait <= qMin(kHour, base * 5 / 4),
                 qPrintable(QStringLiteral("%1 failures: wait %2, base %3").arg(failures).arg(wait).arg(base)));
        QVERIFY(!schedule.mayPull());
        // The timer's next allowed pull fails again.
        m_now = schedule.heldUntil();
        QVERIFY(schedule.mayPull());
    }
    QCOMPARE(lastBase, kHour);
    QCOMPARE(PullSchedule::backoffBaseMs(2, interval), 2 * interval);
    QCOMPARE(PullSchedule::backoffBaseMs(3, interval), 4 * interval);

    // A 404 is no server trouble and no success: the state stays.
    schedule.pullAnswered(code, QByteArray(), interval);
    const qint64 held = schedule.heldUntil();
    schedule.pullAnswered(404, QByteArray(), interval);
    QCOMPARE(schedule.heldUntil(), held);

    // The first success (a pushed pull, say) ends it all.
    schedule.pullAnswered(200, QByteArray(), interval);
    QVERIFY(schedule.mayPull());
    QCOMPARE(schedule.failures(), 0);
    QCOMPARE(schedule.heldUntil(), qint64(0));
    schedule.pullAnswered(code, QByteArray(), interval);
    QVERIFY(schedule.mayPull());
}

QTEST_GUILESS_MAIN(TestPullSchedule)
#include "tst_pullschedule.moc"
