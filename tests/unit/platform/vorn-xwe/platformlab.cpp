#include "platformlab.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>

PlatformLab::PlatformLab(const QStringList& tools)
{
    if (!m_dir.isValid())
        return;
    const QString stub = qEnvironmentVariable("VORN_SOURCE_DIR") + QStringLiteral("/tools/lab/stubs/stub.py");
    const QString stubs = dir() + QStringLiteral("/stubs");
    QDir().mkpath(stubs);
    for (const QString& tool : tools) {
        if (!QFile::link(stub, stubs + QLatin1Char('/') + tool))
            return;
    }
    QDir().mkpath(root());
    QDir().mkpath(home());
    qputenv("VORN_XWE_BACKEND", "linux");
    qputenv("VORN_SYSROOT", QFile::encodeName(root()));
    qputenv("HOME", QFile::encodeName(home()));
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir() + QStringLiteral("/state")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir() + QStringLiteral("/config")));
    qputenv("GSETTINGS_BACKEND", "keyfile");
    qputenv("VORN_STUB_LOG", QFile::encodeName(dir() + QStringLiteral("/stub-calls.jsonl")));
    qputenv("VORN_STUB_CONFIG", QFile::encodeName(dir() + QStringLiteral("/stub-config.json")));
    qputenv("PATH", QFile::encodeName(stubs) + ':' + qgetenv("PATH"));
    // Root's children get a fixed PATH; the stand-ins go in front of it.
    qputenv("VORN_CHILD_PATH", QFile::encodeName(stubs) + ":/usr/sbin:/usr/bin:/sbin:/bin");
    qunsetenv("VORN_XWE_FAIL");
    m_valid = QFileInfo(stub).isExecutable();
}

bool PlatformLab::isValid() const
{
    return m_valid;
}

QString PlatformLab::dir() const
{
    return m_dir.path();
}

QString PlatformLab::root() const
{
    return dir() + QStringLiteral("/root");
}

QString PlatformLab::path(const QString& absolute) const
{
    return root() + absolute;
}

QString PlatformLab::home() const
{
    return dir() + QStringLiteral("/home/alice");
}

QList<QStringList> PlatformLab::calls() const
{
    QList<QStringList> result;
    for (const QByteArray& line : readAll(dir() + QStringLiteral("/stub-calls.jsonl")).split('\n')) {
        const QJsonArray argv = QJsonDocument::fromJson(line).object().value(QStringLiteral("argv")).toArray();
        QStringList words;
        for (const QJsonValue& word : argv)
            words.append(word.toString());
        if (!words.isEmpty())
            result.append(words);
    }
    return result;
}

bool PlatformLab::called(const QStringList& argv) const
{
    return calls().contains(argv);
}

void PlatformLab::clearCalls() const
{
    QFile::remove(dir() + QStringLiteral("/stub-calls.jsonl"));
}

bool PlatformLab::hideTool(const QString& name, bool hidden) const
{
    const QString shown = dir() + QStringLiteral("/stubs/") + name;
    const QString away = dir() + QStringLiteral("/") + name + QStringLiteral(".hidden");
    return hidden ? QFile::rename(shown, away) : QFile::rename(away, shown);
}

QByteArray PlatformLab::readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool PlatformLab::writeFile(const QString& path, const QByteArray& data, int mode)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

int PlatformLab::fileMode(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QByteArray PlatformLab::udevRulesCheck(const QString& rulesDir)
{
    // The machine's tools, not the stand-ins first on PATH.
    const QStringList system{QStringLiteral("/usr/bin"), QStringLiteral("/bin"), QStringLiteral("/usr/sbin")};
    const QString udevadm = QStandardPaths::findExecutable(QStringLiteral("udevadm"), system);
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"), system);
    if (udevadm.isEmpty() || unshare.isEmpty())
        return QByteArray();
    // A simulated event: udev reads every rules file; /run is private so nothing is kept.
    const QString script = QStringLiteral("mount -t tmpfs none /run && mount --bind \"$1\" /etc/udev/rules.d && "
                                          "\"$2\" test --action=add /sys/class/mem/null 2>&1");
    QProcess process;
    process.start(unshare, {QStringLiteral("-m"), QStringLiteral("/bin/sh"), QStringLiteral("-c"), script,
                            QStringLiteral("sh"), rulesDir, udevadm});
    if (!process.waitForFinished(60000))
        return QByteArray();
    return process.readAllStandardOutput();
}

QByteArray PlatformLab::run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        return QByteArray();
    QByteArray out = process.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}
