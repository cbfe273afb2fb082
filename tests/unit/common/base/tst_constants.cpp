#include "common/base/constants.h"

#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

constexpr char kPrintArgument[] = "--print-constants";

QMap<QString, QString> constants()
{
    return {
        {"DefaultPullInterval", QString::number(vorn::DefaultPullInterval)},
        {"kSystemPolicyPath", vorn::kSystemPolicyPath},
        {"KTempSystemPolicyPath", vorn::KTempSystemPolicyPath},
        {"KSessionPolicyPath", vorn::KSessionPolicyPath},
        {"KTempSessionPolicyPath", vorn::KTempSessionPolicyPath},
        {"kUserinfoPath", vorn::kUserinfoPath},
        {"kMachineidPath", vorn::kMachineidPath},
        {"kAppBlackListPath", vorn::kAppBlackListPath},
        {"kScriptsPath", vorn::kScriptsPath},
        {"kServerCertPath", vorn::kServerCertPath},
        {"kPrivateKeyPath", vorn::kPrivateKeyPath},
        {"kPublicKeyPath", vorn::kPublicKeyPath},
        {"kQARGSoftwareListPath", vorn::kQARGSoftwareListPath},
        {"kWebpageLinkIconPath", vorn::kWebpageLinkIconPath},
        {"kBackupConfigPath", vorn::kBackupConfigPath},
        {"kScreensaverBackgroundPath", vorn::kScreensaverBackgroundPath},
        {"kUploadInfoLogUrl", vorn::kUploadInfoLogUrl},
        {"kSystemPolicyUrl", vorn::kSystemPolicyUrl},
        {"kSessionPolicyUrl", vorn::kSessionPolicyUrl},
        {"kUsbWhiteListCheckUrl", vorn::kUsbWhiteListCheckUrl},
        {"kUrlHead", vorn::kUrlHead},
        {"KControlCenterKeys", vorn::KControlCenterKeys},
        {"kQargLogDir", vorn::kQargLogDir},
        {"kLogindSessionsDir", vorn::kLogindSessionsDir},
        {"kUsbBindPath", vorn::kUsbBindPath},
        {"kUsbUnbindPath", vorn::kUsbUnbindPath},
        {"kInstallerMarkerPath", vorn::kInstallerMarkerPath},
    };
}

// Absolute paths that move below a sysroot; everything else never does.
const QStringList kRootedNames = {
    "kSystemPolicyPath", "KTempSystemPolicyPath", "kUserinfoPath", "kMachineidPath",
    "kAppBlackListPath", "kScriptsPath", "kServerCertPath", "kPrivateKeyPath", "kPublicKeyPath",
    "kQARGSoftwareListPath", "kBackupConfigPath", "kQargLogDir", "kLogindSessionsDir",
    "kUsbBindPath", "kUsbUnbindPath", "kInstallerMarkerPath",
};

// Runs this binary with the given sysroot (unset when empty) and reads the
// constants it was loaded with.
QMap<QString, QString> childConstants(const QString& sysroot)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VORN_SYSROOT"));
    if (!sysroot.isNull())
        env.insert(QStringLiteral("VORN_SYSROOT"), sysroot);
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kPrintArgument)});
    QMap<QString, QString> values;
    if (!child.waitForFinished(30000) || child.exitCode() != 0)
        return values;
    const QStringList lines = QString::fromUtf8(child.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const int eq = line.indexOf('=');
        values.insert(line.left(eq), line.mid(eq + 1));
    }
    return values;
}

} // namespace

class TestConstants : public QObject
{
    Q_OBJECT

private slots:
    void withoutSysroot_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        const QMap<QString, QString> expected = {
            {"DefaultPullInterval", "5"},
            {"kSystemPolicyPath", "/etc/vorn/system_policy.json"},
            {"KTempSystemPolicyPath", "/root/.cache/vorn/cache_policy"},
            {"KSessionPolicyPath", "%1/vorn/session_policy.json"},
            {"KTempSessionPolicyPath", "%1/vorn/cache_policy"},
            {"kUserinfoPath", "/etc/vorn/userinfo.json"},
            {"kMachineidPath", "/usr/share/vorn/machine.txt"},
            {"kAppBlackListPath", "/usr/share/vorn/appblacklist.txt"},
            {"kScriptsPath", "/usr/share/vorn/scripts/"},
            {"kServerCertPath", "/etc/vorn/clientapi_ca.crt"},
            {"kPrivateKeyPath", "/etc/vorn/.IRO_Vorn.key"},
            {"kPublicKeyPath", "/etc/vorn/IRO_Vorn.pem"},
            {"kQARGSoftwareListPath", "/var/lib/qarg/software_list.list"},
            {"kWebpageLinkIconPath", "%1/icons/webpageIcon/"},
            {"kBackupConfigPath", "/etc/vorn/config.ini"},
            {"kScreensaverBackgroundPath", "/.config/kestal/kestal-screensaver/saverpic/vorn"},
            {"kUploadInfoLogUrl", "https://%1:%2/uim/v3/client/upinfo_log"},
            {"kSystemPolicyUrl", "https://%1:%2/policy/v1/client/pc_policy_details?machine_id=%3&policy_level=system&md5=%4"},
            {"kSessionPolicyUrl", "https://%1:%2/policy/v1/client/pc_policy_details?machine_id=%3&policy_level=session&md5=%4"},
            {"kUsbWhiteListCheckUrl", "https://%1:%2/api/usb_whitelist_check?machine_id=%3&vendorId=%4&productId=%5&serialNumber=%6"},
            {"kUrlHead", "https://%1:%2/"},
            {"KControlCenterKeys", "https://%1:%2/policy/v1/client/all_control_center_info"},
            {"kQargLogDir", "/var/log/qarg/"},
            {"kLogindSessionsDir", "/run/systemd/sessions/"},
            {"kUsbBindPath", "/sys/bus/usb/drivers/usb/bind"},
            {"kUsbUnbindPath", "/sys/bus/usb/drivers/usb/unbind"},
            {"kInstallerMarkerPath", "/kestal-installer/lightdm-stop.sh"},
        };
        QCOMPARE(expected.keys(), constants().keys());
        for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
            QTest::newRow(qPrintable(it.key())) << it.key() << it.value();
    }

    void withoutSysroot()
    {
        QFETCH(QString, name);
        QFETCH(QString, value);
        static const QMap<QString, QString> unset = childConstants(QString());
        static const QMap<QString, QString> empty = childConstants(QStringLiteral(""));
        QCOMPARE(unset.value(name), value);
        QCOMPARE(empty.value(name), value);
    }

    void belowSysroot_data()
    {
        QTest::addColumn<QString>("name");
        for (const QString& name : constants().keys())
            QTest::newRow(qPrintable(name)) << name;
    }

    void belowSysroot()
    {
        QFETCH(QString, name);
        static QTemporaryDir root;
        static const QMap<QString, QString> plain = childConstants(QString());
        static const QMap<QString, QString> rooted = childConstants(root.path());
        QVERIFY(root.isValid());
        QVERIFY(!plain.value(name).isEmpty());
        if (kRootedNames.contains(name))
            QCOMPARE(rooted.value(name), root.path() + plain.value(name));
        else
            QCOMPARE(rooted.value(name), plain.value(name));
    }
};

int main(int argc, char** argv)
{
    if (argc == 2 && qstrcmp(argv[1], kPrintArgument) == 0) {
        const QMap<QString, QString> values = constants();
        for (auto it = values.constBegin(); it != values.constEnd(); ++it)
            std::printf("%s=%s\n", qPrintable(it.key()), it.value().toUtf8().constData());
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestConstants test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_constants.moc"
