// The proxy of the core client service against the lab's service on a
// private system bus: properties, method arguments in order, and signals.

#include "common/dbus/vorng.h"
#include "labsupport.h"

#include <QDBusConnection>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using vorn::test::PrivateSystemBus;
using vorn::test::VorngMock;

class TestVorngProxy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void propertyRead_data();
    void propertyRead();
    void methodCall_data();
    void methodCall();
    void methodResults();
    void signalReceived_data();
    void signalReceived();
    void absentServiceGivesInvalidValue();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PrivateSystemBus> m_bus;
    std::unique_ptr<VorngMock> m_mock;
    std::unique_ptr<vorngInterface> m_proxy;
};

void TestVorngProxy::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_bus.reset(new PrivateSystemBus(m_dir.filePath(QStringLiteral("bus"))));
    QVERIFY2(m_bus->start(), qPrintable(m_bus->errorString()));
    m_mock.reset(new VorngMock(m_dir.filePath(QStringLiteral("mock"))));
    const QVariantMap params{{QStringLiteral("DomainState"), false},
                             {QStringLiteral("MachineID"), QStringLiteral("machine-42")},
                             {QStringLiteral("ServerIP"), QStringLiteral("10.1.2.3")},
                             {QStringLiteral("ServerPort"), 8443},
                             {QStringLiteral("TerminalAlias"), QStringLiteral("desk \"7\"")},
                             {QStringLiteral("TimeInterval"), 9},
                             {QStringLiteral("SetDomainConfigResult"), false}};
    QVERIFY2(m_mock->start(params), qPrintable(m_mock->errorString()));
    m_proxy.reset(new vorngInterface(vorn::vorngService(), vorn::vorngPath(),
                                     QDBusConnection::systemBus()));
    QVERIFY(m_proxy->isValid());
}

void TestVorngProxy::cleanupTestCase()
{
    m_proxy.reset();
    m_mock.reset();
    m_bus.reset();
}

void TestVorngProxy::init()
{
    m_mock->clearCalls();
}

void TestVorngProxy::propertyRead_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("DomainState") << "DomainState" << QVariant(false);
    QTest::newRow("MachineID") << "MachineID" << QVariant(QStringLiteral("machine-42"));
    QTest::newRow("ServerIP") << "ServerIP" << QVariant(QStringLiteral("10.1.2.3"));
    QTest::newRow("ServerPort") << "ServerPort" << QVariant::fromValue<ushort>(8443);
    QTest::newRow("TerminalAlias") << "TerminalAlias" << QVariant(QStringLiteral("desk \"7\""));
    QTest::newRow("TimeInterval") << "TimeInterval" << QVariant(9);
}

void TestVorngProxy::propertyRead()
{
    QFETCH(QString, name);
    QFETCH(QVariant, expected);
    QVariant value;
    if (name == QLatin1String("DomainState"))
        value = m_proxy->domainState();
    else if (name == QLatin1String("MachineID"))
        value = m_proxy->machineID();
    else if (name == QLatin1String("ServerIP"))
        value = m_proxy->serverIP();
    else if (name == QLatin1String("ServerPort"))
        value = QVariant::fromValue<ushort>(m_proxy->serverPort());
    else if (name == QLatin1String("TerminalAlias"))
        value = m_proxy->terminalAlias();
    else
        value = m_proxy->timeInterval();
    QCOMPARE(value, expected);
    // The generic reader goes to the service as well.
    QCOMPARE(m_proxy->property(name.toLatin1().constData()), expected);
}

void TestVorngProxy::methodCall_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("args");
    QTest::newRow("GetMachineID") << "GetMachineID" << QVariantList();
    QTest::newRow("SetDomainConfig") << "SetDomainConfig" << QVariantList{QStringLiteral("leave")};
    QTest::newRow("UploadInfo") << "UploadInfo"
                                << QVariantList{QStringLiteral("https://h:1/u"), QStringLiteral("{\"a\":1}")};
    QTest::newRow("ReplyTaskResult")
        << "ReplyTaskResult"
        << QVariantList{3, 7, 2002, QStringLiteral("r"), QStringLiteral("[{\"k\":\"success\"}]")};
    QTest::newRow("SendSystemNotify") << "SendSystemNotify" << QVariantList{QStringLiteral("{\"n\":\"x\"}")};
    QTest::newRow("RemoveDevice") << "RemoveDevice" << QVariantList{QStringLiteral("serial-1")};
}

void TestVorngProxy::methodCall()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, args);
    QDBusPendingCall pending = QDBusPendingReply<>();
    if (method == QLatin1String("GetMachineID"))
        pending = m_proxy->GetMachineID();
    else if (method == QLatin1String("SetDomainConfig"))
        pending = m_proxy->SetDomainConfig(args.at(0).toString());
    else if (method == QLatin1String("UploadInfo"))
        pending = m_proxy->UploadInfo(args.at(0).toString(), args.at(1).toString());
    else if (method == QLatin1String("ReplyTaskResult"))
        pending = m_proxy->ReplyTaskResult(args.at(0).toInt(), args.at(1).toInt(), args.at(2).toInt(),
                                           args.at(3).toString(), args.at(4).toString());
    else if (method == QLatin1String("SendSystemNotify"))
        pending = m_proxy->SendSystemNotify(args.at(0).toString());
    else
        pending = m_proxy->RemoveDevice(args.at(0).toString());
    // The call is asynchronous: the caller decides whether to wait.
    pending.waitForFinished();
    QVERIFY2(!pending.isError(), qPrintable(pending.error().message()));
    const QList<QVariantList> calls = m_mock->calls(method);
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first(), args);
}

void TestVorngProxy::methodResults()
{
    QDBusPendingReply<QString> id = m_proxy->GetMachineID();
    id.waitForFinished();
    QCOMPARE(id.value(), QStringLiteral("machine-42"));
    QDBusPendingReply<bool> config = m_proxy->SetDomainConfig(QStringLiteral("join"));
    config.waitForFinished();
    QVERIFY(config.isValid());
    QCOMPARE(config.value(), false);
}

void TestVorngProxy::signalReceived_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QVariantList>("args");
    QTest::newRow("ObjectRegistered") << "ObjectRegistered" << "" << QVariantList();
    QTest::newRow("ServerMsgCame") << "ServerMsgCame" << "sis"
                                   << QVariantList{QStringLiteral("app"), 1100,
                                                   QStringLiteral("{\"task_id\":7}")};
    QTest::newRow("DomainRemoved") << "DomainRemoved" << "" << QVariantList();
    QTest::newRow("RequestSendNotify") << "RequestSendNotify" << "s"
                                       << QVariantList{QStringLiteral("{\"m\":1}")};
    QTest::newRow("RequestRemoveDevice") << "RequestRemoveDevice" << "s"
                                         << QVariantList{QStringLiteral("serial-9")};
    QTest::newRow("TimeIntervalChanged") << "TimeIntervalChanged" << "i" << QVariantList{12};
}

void TestVorngProxy::signalReceived()
{
    QFETCH(QString, name);
    QFETCH(QString, signature);
    QFETCH(QVariantList, args);
    // Find the proxy's signal of that name.
    QMetaMethod signal;
    const QMetaObject* meta = m_proxy->metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal && meta->method(i).name() == name.toLatin1())
            signal = meta->method(i);
    }
    QVERIFY(signal.isValid());
    QSignalSpy spy(m_proxy.get(), signal);
    QVERIFY(spy.isValid());
    QVERIFY2(m_mock->emitSignal(name, signature, args), qPrintable(m_mock->errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
    QCOMPARE(spy.first(), args);
}

void TestVorngProxy::absentServiceGivesInvalidValue()
{
    vorngInterface wrongPath(vorn::vorngService(), QStringLiteral("/com/kestal/vorn/nothing"),
                             QDBusConnection::systemBus());
    wrongPath.setTimeout(5000);
    QVERIFY(!wrongPath.property("TimeInterval").isValid());

    vorngInterface absent(QStringLiteral("com.kestal.vorn.absent"), vorn::vorngPath(),
                          QDBusConnection::systemBus());
    QVERIFY(!absent.isValid());
}

QTEST_GUILESS_MAIN(TestVorngProxy)
#include "tst_vorngproxy.moc"
