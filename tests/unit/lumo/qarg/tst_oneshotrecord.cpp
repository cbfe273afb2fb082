#include "oneshot_record.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kScript = QStringLiteral("script/script_name");
const QString kFirewall = QStringLiteral("firewall/firewall_data");

} // namespace

class TestOneShotRecord : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void outcomes_data();
    void outcomes();
    void survivesRestart();
    void newDocumentForgetsWhatRan();
    void commandEndingElsewhere();
    void unreadableFileStartsAfresh();
    void rebootRunsFirewallAgain_data();
    void rebootRunsFirewallAgain();

private:
    QString path() const { return m_dir->filePath(QStringLiteral("qarg/applied.json")); }
    QScopedPointer<QTemporaryDir> m_dir;
};

void TestOneShotRecord::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestOneShotRecord::outcomes_data()
{
    QTest::addColumn<QList<bool>>("outcomes");
    QTest::addColumn<QString>("recordedFor");
    QTest::addColumn<bool>("remembered");

    QTest::newRow("success") << QList<bool>{true} << "md5:a" << true;
    QTest::newRow("failure") << QList<bool>{false} << "md5:a" << false;
    QTest::newRow("failure after success forgets it") << QList<bool>{true, false} << "md5:a" << false;
    QTest::newRow("success after failure") << QList<bool>{false, true} << "md5:a" << true;
    QTest::newRow("late outcome of an earlier document") << QList<bool>{true} << "md5:old" << false;
    QTest::newRow("no document") << QList<bool>{true} << "" << false;
}

void TestOneShotRecord::outcomes()
{
    QFETCH(QList<bool>, outcomes);
    QFETCH(QString, recordedFor);
    QFETCH(bool, remembered);

    OneShotRecord record(path());
    record.begin(QStringLiteral("md5:a"));
    for (bool success : outcomes)
        record.record(recordedFor, kScript, QStringLiteral("0: s_|_a.sh"), success);
    QCOMPARE(record.succeeded(QStringLiteral("md5:a"), kScript, QStringLiteral("0: s_|_a.sh")),
             remembered);
    // Items and keys are told apart.
    QVERIFY(!record.succeeded(QStringLiteral("md5:a"), kScript, QStringLiteral("1: s_|_a.sh")));
    QVERIFY(!record.succeeded(QStringLiteral("md5:a"), kFirewall, QStringLiteral("0: s_|_a.sh")));
}

void TestOneShotRecord::survivesRestart()
{
    const QString command = QStringLiteral("0: iptables -A INPUT -j DROP\necho done");
    {
        OneShotRecord record(path());
        record.begin(QStringLiteral("md5:a"));
        record.record(QStringLiteral("md5:a"), kFirewall, command, true);
        record.record(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x"), false);
    }
    OneShotRecord again(path());
    QVERIFY(again.succeeded(QStringLiteral("md5:a"), kFirewall, command));
    QVERIFY(!again.succeeded(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x")));
    QVERIFY(!again.succeeded(QStringLiteral("md5:b"), kFirewall, command));

    // Only the finished write is there, under its name.
    const QStringList files = QDir(QFileInfo(path()).absolutePath()).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(files, QStringList{QStringLiteral("applied.json")});
}

void TestOneShotRecord::newDocumentForgetsWhatRan()
{
    {
        OneShotRecord record(path());
        record.begin(QStringLiteral("md5:a"));
        record.record(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x"), true);
        record.begin(QStringLiteral("md5:a")); // the same document again keeps it
        QVERIFY(record.succeeded(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x")));
        record.begin(QStringLiteral("sha256:b"));
        record.begin(QString()); // no identity changes nothing
    }
    OneShotRecord again(path());
    QVERIFY(!again.succeeded(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x")));
    // Back to the first document: a new policy once more, everything runs.
    again.begin(QStringLiteral("md5:a"));
    QVERIFY(!again.succeeded(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x")));
}

void TestOneShotRecord::commandEndingElsewhere()
{
    OneShotRecord record(path());
    record.begin(QStringLiteral("md5:a"));
    const OneShotRecord::Item first{QStringLiteral("md5:a"), kScript, QStringLiteral("0: one")};
    const OneShotRecord::Item second{QStringLiteral("md5:a"), kScript, QStringLiteral("1: two")};
    record.expect(7, QStringLiteral("bash /tmp/1.bash"), first);
    record.expect(7, QStringLiteral("bash /tmp/2.bash"), second);

    record.finished(8, QStringLiteral("bash /tmp/1.bash"), true); // another run: not this one
    QVERIFY(!record.succeeded(first.document, first.key, first.name));
    record.finished(7, QStringLiteral("bash /tmp/1.bash"), true);
    record.finished(7, QStringLiteral("bash /tmp/2.bash"), false);
    QVERIFY(record.succeeded(first.document, first.key, first.name));
    QVERIFY(!record.succeeded(second.document, second.key, second.name));
    // Each outcome is taken once.
    record.finished(7, QStringLiteral("bash /tmp/1.bash"), false);
    QVERIFY(record.succeeded(first.document, first.key, first.name));
}

void TestOneShotRecord::unreadableFileStartsAfresh()
{
    QVERIFY(QDir().mkpath(QFileInfo(path()).absolutePath()));
    QFile file(path());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("{\"document\": \"md5:a\", \"succ");
    file.close();

    OneShotRecord record(path());
    QVERIFY(!record.succeeded(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x")));
    record.begin(QStringLiteral("md5:a"));
    record.record(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x"), true);

    QFile written(path());
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QJsonObject root = QJsonDocument::fromJson(written.readAll()).object();
    QCOMPARE(root.value(QStringLiteral("document")).toString(), QStringLiteral("md5:a"));
    QCOMPARE(root.value(QStringLiteral("succeeded")).toObject().value(kScript).toArray(),
             QJsonArray{QStringLiteral("0: x")});
}

void TestOneShotRecord::rebootRunsFirewallAgain_data()
{
    QTest::addColumn<bool>("rebooted");
    QTest::addColumn<bool>("oldRecord");

    QTest::newRow("same boot") << false << false;
    QTest::newRow("another boot") << true << false;
    QTest::newRow("record from before boots were kept") << false << true;
}

// Firewall rules live in the running kernel only; scripts and installs stay done.
void TestOneShotRecord::rebootRunsFirewallAgain()
{
    QFETCH(bool, rebooted);
    QFETCH(bool, oldRecord);
    const QString bootId = m_dir->filePath(QStringLiteral("boot_id"));
    const auto writeBoot = [&bootId](const QByteArray& id) {
        QFile file(bootId);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(id + "\n");
    };
    const QSet<QString> scoped{kFirewall};
    writeBoot("5b1e1c3e-0000-4000-8000-000000000001");
    {
        OneShotRecord record(path(), scoped, bootId);
        record.begin(QStringLiteral("md5:a"));
        record.record(QStringLiteral("md5:a"), kFirewall, QStringLiteral("0: iptables -A"), true);
        record.record(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x"), true);
    }
    if (oldRecord) {
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
        file.close();
        QVERIFY(root.contains(QStringLiteral("boot")));
        root.remove(QStringLiteral("boot"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(root).toJson());
    }
    if (rebooted)
        writeBoot("5b1e1c3e-0000-4000-8000-000000000002");

    const bool again = rebooted || oldRecord;
    OneShotRecord record(path(), scoped, bootId);
    QCOMPARE(record.succeeded(QStringLiteral("md5:a"), kFirewall, QStringLiteral("0: iptables -A")), !again);
    QVERIFY(record.succeeded(QStringLiteral("md5:a"), kScript, QStringLiteral("0: x")));
    // What ran in this boot is remembered for it.
    record.record(QStringLiteral("md5:a"), kFirewall, QStringLiteral("0: iptables -A"), true);
    OneShotRecord later(path(), scoped, bootId);
    QVERIFY(later.succeeded(QStringLiteral("md5:a"), kFirewall, QStringLiteral("0: iptables -A")));
}

QTEST_GUILESS_MAIN(TestOneShotRecord)
#include "tst_oneshotrecord.moc"
