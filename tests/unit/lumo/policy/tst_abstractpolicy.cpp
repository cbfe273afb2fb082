#include "common/base/filecontent.h"
#include "lumo/policy/abstract_policy.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

class Policy : public AbstractPolicy
{
public:
    bool execPolicy(const PolicyInfo&) override { return true; }
    void callFunction(QString, QString) override {}

    using AbstractPolicy::beginDocument;
    using AbstractPolicy::SettleEnd;
    using AbstractPolicy::interruptResultWait;
    using AbstractPolicy::waitForSettled;
    int counter() const { return m_policyExecCounter; }
    int total() const { return m_policyTotal; }
};

QStringList entries(const QMap<QString, QString>& table)
{
    QStringList out;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it)
        out << it.key() + QLatin1Char('=') + it.value();
    return out;
}

QByteArray document(const QByteArray& policys)
{
    return "{\"code\":0,\"data\":{\"md5\":\"m\",\"policys\":" + policys + "}}";
}

const QByteArray kSeed = document("[{\"policy_key\":\"seed\",\"configs\":[{\"config_key\":\"k\",\"config_value\":\"v\"}]}]");

} // namespace

class TestAbstractPolicy : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("table");
        QTest::addColumn<QString>("infoLine");

        const QString success = QStringLiteral("get policy success");
        QTest::newRow("one setting")
            << document("[{\"policy_key\":\"ntp\",\"configs\":[{\"config_key\":\"ntpServer\",\"config_value\":\"x\"}]}]")
            << true << QStringList{"ntp/ntpServer=x"} << success;
        QTest::newRow("later duplicate wins")
            << document("[{\"policy_key\":\"a\",\"configs\":[{\"config_key\":\"k\",\"config_value\":\"1\"}]}, {\"policy_key\":\"a\",\"configs\":[{\"config_key\":\"k\",\"config_value\":\"2\"}]}]")
            << true << QStringList{"a/k=2"} << success;
        QTest::newRow("missing policy_key")
            << document("[{\"configs\":[{\"config_key\":\"k\",\"config_value\":\"v\"}]}]")
            << true << QStringList{"/k=v"} << success;
        QTest::newRow("number policy_key")
            << document("[{\"policy_key\":5,\"configs\":[{\"config_key\":\"k\",\"config_value\":\"v\"}]}]")
            << true << QStringList{"/k=v"} << success;
        QTest::newRow("number config_value")
            << document("[{\"policy_key\":\"p\",\"configs\":[{\"config_key\":\"k\",\"config_value\":12}]}]")
            << true << QStringList{"p/k="} << success;
        QTest::newRow("structured value kept as text")
            << document("[{\"policy_key\":\"p\",\"configs\":[{\"config_key\":\"k\",\"config_value\":\"{\\\"a\\\":1}\"}]}]")
            << true << QStringList{"p/k={\"a\":1}"} << success;
        QTest::newRow("non-object members skipped")
            << document("[1,\"x\",{\"policy_key\":\"p\",\"configs\":[2,{\"config_key\":\"k\",\"config_value\":\"v\"}]}]")
            << true << QStringList{"p/k=v"} << success;
        QTest::newRow("keys in ascending order")
            << document("[{\"policy_key\":\"z\",\"configs\":[{\"config_key\":\"b\",\"config_value\":\"1\"}]}, {\"policy_key\":\"a\",\"configs\":[{\"config_key\":\"c\",\"config_value\":\"2\"}]}]")
            << true << QStringList{"a/c=2", "z/b=1"} << success;
        QTest::newRow("policy without configs")
            << document("[{\"policy_key\":\"p\"}]") << true << QStringList() << success;
        QTest::newRow("no code accepted")
            << QByteArray("{\"data\":{\"policys\":[{\"policy_key\":\"p\",\"configs\":[{\"config_key\":\"k\",\"config_value\":\"v\"}]}]}}")
            << true << QStringList{"p/k=v"} << QString();
        QTest::newRow("code non-zero")
            << QByteArray("{\"code\":1,\"data\":{\"policys\":[{\"policy_key\":\"p\",\"configs\":[{\"config_key\":\"k\",\"config_value\":\"v\"}]}]}}")
            << false << QStringList() << QString();
        QTest::newRow("code fractional")
            << QByteArray("{\"code\":0.5,\"data\":{\"policys\":[]}}") << false << QStringList() << QString();
        QTest::newRow("data without policys")
            << QByteArray("{\"code\":0,\"data\":{\"md5\":\"m\"}}") << false << QStringList()
            << QStringLiteral("policys parse error.");
        QTest::newRow("no data") << QByteArray("{\"code\":0}") << true << QStringList() << success;
        QTest::newRow("data not an object")
            << QByteArray("{\"code\":0,\"data\":[1]}") << true << QStringList() << success;
        QTest::newRow("top level array") << QByteArray("[1,2]") << true << QStringList() << QString();
        QTest::newRow("malformed") << QByteArray("{\"code\":0,") << false << QStringList() << QString();
    }

    void parse()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, ok);
        QFETCH(QStringList, table);
        QFETCH(QString, infoLine);

        Policy policy;
        QVERIFY(policy.parsePolicy(kSeed));
        policy.appendExecResult(QStringLiteral("seed/k"), QStringLiteral("done"));

        if (!infoLine.isEmpty())
            QTest::ignoreMessage(QtInfoMsg, qPrintable(infoLine));
        QCOMPARE(policy.parsePolicy(input), ok);
        QCOMPARE(entries(policy.getPolicy()), table);
        // Results of the earlier document never carry over.
        QCOMPARE(policy.getExecResult(), QStringLiteral("[]"));
    }

    void emptyInputKeepsState()
    {
        Policy policy;
        QVERIFY(policy.parsePolicy(kSeed));
        policy.appendExecResult(QStringLiteral("seed/k"), QStringLiteral("done"));

        QTest::ignoreMessage(QtWarningMsg, "parsePolicy josn is empty.");
        QVERIFY(!policy.parsePolicy(QByteArray()));
        QCOMPARE(entries(policy.getPolicy()), QStringList{"seed/k=v"});
        QCOMPARE(policy.getExecResult(), QStringLiteral("[{\"seed/k\":\"done\"}]"));
    }

    void execResult()
    {
        Policy policy;
        QCOMPARE(policy.getExecResult(), QStringLiteral("[]"));
        QCOMPARE(policy.counter(), 0);
        policy.appendExecResult(QStringLiteral("a"), QStringLiteral("1"));
        policy.appendExecResult(QStringLiteral("b"), QStringLiteral("2"));
        QCOMPARE(policy.getExecResult(), QStringLiteral("[{\"a\":\"1\"},{\"b\":\"2\"}]"));
        QCOMPARE(policy.counter(), 2);
    }

    void execResultKeepsNonAsciiText()
    {
        Policy policy;
        const QString text = QStringLiteral("失败: ü");
        policy.appendExecResult(QStringLiteral("k"), text);
        const QJsonArray array = QJsonDocument::fromJson(policy.getExecResult().toUtf8()).array();
        QCOMPARE(array.at(0).toObject().value(QStringLiteral("k")).toString(), text);
    }

    void appendsFromTwoThreads()
    {
        constexpr int kPerThread = 2000;
        Policy policy;
        auto work = [&policy](const QString& prefix) {
            for (int i = 0; i < kPerThread; ++i)
                policy.appendExecResult(prefix + QString::number(i), QStringLiteral("ok"));
        };
        QScopedPointer<QThread> one(QThread::create(work, QStringLiteral("a")));
        QScopedPointer<QThread> two(QThread::create(work, QStringLiteral("b")));
        one->start();
        two->start();
        QVERIFY(one->wait(30000));
        QVERIFY(two->wait(30000));

        QCOMPARE(policy.counter(), 2 * kPerThread);
        const QJsonArray array = QJsonDocument::fromJson(policy.getExecResult().toUtf8()).array();
        QCOMPARE(array.size(), 2 * kPerThread);
    }

    void lateResultOfEarlierDocumentDropped()
    {
        Policy policy;
        const quint64 first = policy.beginDocument();
        QVERIFY(policy.appendExecResult(first, QStringLiteral("a"), QStringLiteral("1")));
        QCOMPARE(policy.counter(), 1);

        const quint64 second = policy.beginDocument();
        QVERIFY(second != first);
        QCOMPARE(policy.currentDocument(), second);
        QCOMPARE(policy.counter(), 0);
        QCOMPARE(policy.total(), 0);

        // What a child printed stays out of the log: the line shows the summary.
        QTest::ignoreMessage(QtInfoMsg, QStringLiteral("drop late result of an earlier document: %1 \"a\" \"failed: exit 2\"")
                                            .arg(first).toUtf8().constData());
        QVERIFY(!policy.appendExecResult(first, QStringLiteral("a"), QStringLiteral("late secret"),
                                         QStringLiteral("failed: exit 2")));
        QCOMPARE(policy.counter(), 0);
        QCOMPARE(policy.getExecResult(), QStringLiteral("[]"));

        QVERIFY(policy.appendExecResult(second, QStringLiteral("b"), QStringLiteral("2")));
        QVERIFY(policy.appendExecResult(second, QStringLiteral("c"), QStringLiteral("secret"),
                                        QStringLiteral("success")));
        QCOMPARE(policy.counter(), 2);
        QCOMPARE(policy.getExecResult(), QStringLiteral("[{\"b\":\"2\"},{\"c\":\"secret\"}]"));
        QCOMPARE(policy.getShownResult(), QStringLiteral("[{\"b\":\"2\"},{\"c\":\"success\"}]"));
    }

    void slotRecordsExactlyOnce()
    {
        Policy policy;
        policy.beginDocument();
        const ResultSlot slot = policy.takeResultSlot(QStringLiteral("k"));
        const ResultSlot copy = slot;
        QCOMPARE(policy.total(), 1);
        QVERIFY(slot.isOpen());
        QVERIFY(slot.record(QStringLiteral("1")));
        QTest::ignoreMessage(QtWarningMsg, "second result for one setting refused: \"k\"");
        QVERIFY(!copy.record(QStringLiteral("2")));
        QVERIFY(!copy.isOpen());
        QCOMPARE(policy.counter(), 1);
        QCOMPARE(policy.getExecResult(), QStringLiteral("[{\"k\":\"1\"}]"));
        QCOMPARE(int(policy.waitForSettled(0)), int(Policy::SettleEnd::Settled));
    }

    void droppedSlotRecordsItsFailureAtOnce()
    {
        Policy policy;
        policy.beginDocument();
        const ResultSlot kept = policy.takeResultSlot(QStringLiteral("a"));
        {
            QTest::ignoreMessage(QtWarningMsg, "setting ended without a result: \"b\"");
            const ResultSlot forgotten = policy.takeResultSlot(QStringLiteral("b"));
            const ResultSlot copy = forgotten;
        }
        QCOMPARE(policy.getExecResult(), QStringLiteral("[{\"b\":\"") + ResultSlot::kDroppedText
                                             + QStringLiteral("\"}]"));
        QCOMPARE(int(policy.waitForSettled(0)), int(Policy::SettleEnd::TimeLimit));
        QVERIFY(kept.record(QStringLiteral("done")));
        QCOMPARE(int(policy.waitForSettled(0)), int(Policy::SettleEnd::Settled));
        QCOMPARE(policy.counter(), 2);
        QCOMPARE(policy.total(), 2);
    }

    void slotOfAnEndedDocumentRecordsNothing()
    {
        Policy policy;
        policy.beginDocument();
        const ResultSlot late = policy.takeResultSlot(QStringLiteral("a"));
        policy.beginDocument();
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^drop late result")));
        QVERIFY(!late.record(QStringLiteral("late")));
        QCOMPARE(policy.getExecResult(), QStringLiteral("[]"));
        QCOMPARE(int(policy.waitForSettled(0)), int(Policy::SettleEnd::Settled));
    }

    void slotOutlivingItsOwnerRecordsNothing()
    {
        ResultSlot slot;
        ResultSlot dropped;
        {
            Policy policy;
            policy.beginDocument();
            slot = policy.takeResultSlot(QStringLiteral("a"));
            dropped = policy.takeResultSlot(QStringLiteral("b"));
        }
        QVERIFY(!slot.record(QStringLiteral("x")));
        dropped = ResultSlot(); // recording its failure finds no owner
        QVERIFY(!ResultSlot().record(QStringLiteral("x")));
    }

    void waitForSettledIsWokenByTheLastResult()
    {
        Policy policy;
        policy.beginDocument();
        const ResultSlot slot = policy.takeResultSlot(QStringLiteral("a"));
        QScopedPointer<QThread> recorder(
            QThread::create([slot] { QThread::msleep(50); slot.record(QStringLiteral("x")); }));
        recorder->start();
        // Far below the limit: the wait ends with the result, not by a timer.
        QElapsedTimer waited;
        waited.start();
        QCOMPARE(int(policy.waitForSettled(60000)), int(Policy::SettleEnd::Settled));
        QVERIFY2(waited.elapsed() < 30000, qPrintable(QString::number(waited.elapsed())));
        QVERIFY(recorder->wait(10000));

        const ResultSlot open = policy.takeResultSlot(QStringLiteral("b"));
        QScopedPointer<QThread> stopper(QThread::create([&policy] {
            QThread::msleep(50);
            policy.interruptResultWait();
        }));
        stopper->start();
        QCOMPARE(int(policy.waitForSettled(60000)), int(Policy::SettleEnd::Interrupted));
        QVERIFY(stopper->wait(10000));
    }

    void readCacheReadsBytesAsWritten()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("a/b/cache_1_2"));
        const QByteArray data("{\"code\":0}\n\xe4\xb8\xad", 14);
        QVERIFY(vorn::base::FileContent::writeAtomic(path, data));

        Policy policy;
        QByteArray back("old");
        QVERIFY(policy.readCache(path, back));
        QCOMPARE(back, data);
    }

    void readCacheFailures()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Policy policy;
        QByteArray data("kept");
        QVERIFY(!policy.readCache(dir.filePath(QStringLiteral("missing/dir/file")), data));
        QCOMPARE(data, QByteArrayLiteral("kept"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^open file failed")));
        QVERIFY(!policy.readCache(dir.filePath(QStringLiteral("missing_file")), data));
        QCOMPARE(data, QByteArrayLiteral("kept"));
    }
};

QTEST_GUILESS_MAIN(TestAbstractPolicy)
#include "tst_abstractpolicy.moc"
