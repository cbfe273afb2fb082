#include "common/base/baseutils.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QJsonDocument>
#include <QProcess>
#include <QScopedPointer>
#include <QTemporaryDir>
#include <QtTest>

using vorn::base::BaseUtils;

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kMockInterface = QStringLiteral("org.freedesktop.DBus.Mock");

const char kBusConfig[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>session</type>\n"
    "  <listen>unix:dir=%1</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "    <allow own=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

struct User
{
    uint uid;
    QString name;
    bool active;
};

} // namespace

Q_DECLARE_METATYPE(QList<User>)

class TestBaseUtils : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QString::fromLatin1(kBusConfig).arg(m_dir.path()).toUtf8());
        file.close();

        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                     QStringLiteral("--print-address=1")});
        QVERIFY(m_bus.waitForStarted(10000));
        QByteArray address;
        QElapsedTimer timer;
        timer.start();
        while (!address.contains('\n') && timer.elapsed() < 10000) {
            m_bus.waitForReadyRead(500);
            address += m_bus.readAllStandardOutput();
        }
        QVERIFY(address.contains('\n'));
        m_address = QString::fromUtf8(address.trimmed());
        // Before the first use of the system bus connection in this process.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
        QVERIFY(QDBusConnection::systemBus().isConnected());
    }

    void cleanupTestCase()
    {
        stopMock();
        if (m_bus.state() != QProcess::NotRunning) {
            m_bus.terminate();
            if (!m_bus.waitForFinished(5000)) {
                m_bus.kill();
                m_bus.waitForFinished(5000);
            }
        }
    }

    void jsonValue_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("value");

        QTest::newRow("string") << QByteArray("{\"k\":\"text\"}") << true << "text";
        QTest::newRow("number") << QByteArray("{\"k\":443}") << true << "443";
        QTest::newRow("boolean") << QByteArray("{\"k\":true}") << true << "true";
        QTest::newRow("object") << QByteArray("{\"k\":{\"a\":1}}") << true << "";
        QTest::newRow("null") << QByteArray("{\"k\":null}") << true << "";
        QTest::newRow("missing") << QByteArray("{\"other\":1}") << false << "unchanged";
    }

    void jsonValue()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, found);
        QFETCH(QString, value);
        QString out = QStringLiteral("unchanged");
        if (!found)
            QTest::ignoreMessage(QtWarningMsg, "\"caller\" can not get json key: \"k\"");
        QCOMPARE(BaseUtils::getJsonObjectValue<QString>(QJsonDocument::fromJson(json).object(),
                                                        QStringLiteral("k"), out,
                                                        QStringLiteral("caller")),
                 found);
        QCOMPARE(out, value);
    }

    void noLoginManager()
    {
        QTest::ignoreMessage(QtWarningMsg, "login1 service is not valid!");
        QCOMPARE(BaseUtils::getCurActiveUid(), 0u);
    }

    void listUsersFails()
    {
        startMock({kLogind, kLogindPath, QStringLiteral("org.freedesktop.login1.Manager")});
        QVERIFY(!QTest::currentTestFailed());
        QDBusMessage add = QDBusMessage::createMethodCall(kLogind, kLogindPath, kMockInterface,
                                                          QStringLiteral("AddMethod"));
        add << QStringLiteral("org.freedesktop.login1.Manager") << QStringLiteral("ListUsers")
            << QString() << QStringLiteral("a(uso)")
            << QStringLiteral("raise dbus.exceptions.DBusException('denied', "
                              "name='org.freedesktop.DBus.Error.AccessDenied')");
        QCOMPARE(QDBusConnection::systemBus().call(add).type(), QDBusMessage::ReplyMessage);

        QTest::ignoreMessage(QtWarningMsg, "get login ListUsers failed");
        QCOMPARE(BaseUtils::getCurActiveUid(), 0u);
        stopMock();
    }

    void activeUser_data()
    {
        QTest::addColumn<QList<User>>("users");
        QTest::addColumn<uint>("expected");

        QTest::newRow("second user active")
            << QList<User>{{1000, "alice", false}, {1001, "bob", true}} << 1001u;
        QTest::newRow("two active, lower id wins")
            << QList<User>{{1001, "bob", true}, {1000, "alice", true}} << 1000u;
        QTest::newRow("directory user active")
            << QList<User>{{120, "lightdm", false}, {20001, "dir.user", true}} << 20001u;
        QTest::newRow("only greeter online") << QList<User>{{120, "lightdm", false}} << 0u;
        QTest::newRow("nobody logged in") << QList<User>() << 0u;
    }

    void activeUser()
    {
        QFETCH(QList<User>, users);
        QFETCH(uint, expected);

        if (m_mock.state() == QProcess::NotRunning) {
            startMock({QStringLiteral("--template"), QStringLiteral("logind")});
            QVERIFY(!QTest::currentTestFailed());
        }
        for (uint uid : qAsConst(m_addedUsers)) {
            QDBusMessage remove = QDBusMessage::createMethodCall(
                kLogind, kLogindPath, kMockInterface, QStringLiteral("RemoveObject"));
            remove << QStringLiteral("/org/freedesktop/login1/user/%1").arg(uid);
            QCOMPARE(QDBusConnection::systemBus().call(remove).type(), QDBusMessage::ReplyMessage);
        }
        m_addedUsers.clear();
        for (const User& user : users) {
            QDBusMessage add = QDBusMessage::createMethodCall(kLogind, kLogindPath, kMockInterface,
                                                              QStringLiteral("AddUser"));
            add << user.uid << user.name << user.active;
            QCOMPARE(QDBusConnection::systemBus().call(add).type(), QDBusMessage::ReplyMessage);
            m_addedUsers << user.uid;
        }

        if (expected == 0)
            QTest::ignoreMessage(QtWarningMsg, "no active user");
        QCOMPARE(BaseUtils::getCurActiveUid(), expected);
    }

private:
    void startMock(const QStringList& arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        m_mock.setProcessEnvironment(env);
        m_mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_mock.start(QStringLiteral("/usr/bin/python3"),
                     QStringList{QStringLiteral("-m"), QStringLiteral("dbusmock"),
                                 QStringLiteral("--system")}
                         + arguments);
        QVERIFY(m_mock.waitForStarted(10000));
        QDBusConnectionInterface* bus = QDBusConnection::systemBus().interface();
        QTRY_VERIFY_WITH_TIMEOUT(bus->isServiceRegistered(kLogind), 20000);
    }

    void stopMock()
    {
        if (m_mock.state() == QProcess::NotRunning)
            return;
        m_mock.terminate();
        if (!m_mock.waitForFinished(5000)) {
            m_mock.kill();
            m_mock.waitForFinished(5000);
        }
        QDBusConnectionInterface* bus = QDBusConnection::systemBus().interface();
        QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(kLogind), 10000);
    }

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_mock;
    QString m_address;
    QList<uint> m_addedUsers;
};

QTEST_GUILESS_MAIN(TestBaseUtils)
#include "tst_baseutils.moc"
