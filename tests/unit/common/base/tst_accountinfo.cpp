#include "common/base/accountinfo.h"

#include <QtTest>

#include <pwd.h>

using vorn::base::AccountInfo;

class TestAccountInfo : public QObject
{
    Q_OBJECT

private slots:
    void isLdap_data()
    {
        QTest::addColumn<uint>("uid");
        QTest::addColumn<bool>("ldap");
        QTest::newRow("root") << 0u << false;
        QTest::newRow("local user") << 1000u << false;
        QTest::newRow("last local id") << 9999u << false;
        QTest::newRow("first directory id") << 10000u << true;
        QTest::newRow("large directory id") << 1234567u << true;
    }

    void isLdap()
    {
        QFETCH(uint, uid);
        QFETCH(bool, ldap);
        QCOMPARE(AccountInfo::isLdap(uid), ldap);
    }

    void realNameIsLoginName()
    {
        QCOMPARE(AccountInfo::realName(QStringLiteral("alice")), QStringLiteral("alice"));
    }

    void knownAccount()
    {
        const passwd* entry = getpwuid(0);
        QVERIFY(entry);
        AccountInfo root(0);
        QCOMPARE(root.uid(), 0u);
        QCOMPARE(root.gid(), uint(entry->pw_gid));
        QCOMPARE(root.name(), QString::fromUtf8(entry->pw_name));
        QCOMPARE(root.home(), QString::fromUtf8(entry->pw_dir));
    }

    void unknownAccount()
    {
        QVERIFY(!getpwuid(4242));
        QTest::ignoreMessage(QtWarningMsg, "not found uid 4242");
        AccountInfo info(4242);
        QCOMPARE(info.uid(), 0u);
        QCOMPARE(info.gid(), 0u);
        QVERIFY(info.name().isEmpty());
        QVERIFY(info.home().isEmpty());
    }

    void reinitClearsEarlierAccount()
    {
        AccountInfo info(0);
        QVERIFY(!info.name().isEmpty());
        QTest::ignoreMessage(QtWarningMsg, "not found uid 4242");
        info.init(4242);
        QVERIFY(info.name().isEmpty());
        QVERIFY(info.home().isEmpty());
    }

    void doInitCopiesEntry()
    {
        QByteArray name("dir.user");
        QByteArray home("/home/dir.user");
        passwd entry{};
        entry.pw_uid = 12345;
        entry.pw_gid = 54321;
        entry.pw_name = name.data();
        entry.pw_dir = home.data();
        QTest::ignoreMessage(QtWarningMsg, "not found uid 4242");
        AccountInfo info(4242);
        info.doInit(entry);
        QCOMPARE(info.uid(), 12345u);
        QCOMPARE(info.gid(), 54321u);
        QCOMPARE(info.name(), QStringLiteral("dir.user"));
        QCOMPARE(info.home(), QStringLiteral("/home/dir.user"));
    }
};

QTEST_GUILESS_MAIN(TestAccountInfo)
#include "tst_accountinfo.moc"
