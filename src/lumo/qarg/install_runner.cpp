#include "install_runner.h"

#include "common/base/constants.h"
#include "common/base/filecontent.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtDebug>

using vorn::base::ChildOptions;
using vorn::base::ChildProcess;
using vorn::base::ChildResult;

namespace {

// The installation's files: what it runs (written first: it marks the
// installation as started), the wrapper's process id, the command's output
// and error output, and last its exit status.
const QString kCommandFile = QStringLiteral("/command");
const QString kPidFile = QStringLiteral("/pid");
const QString kOutputFile = QStringLiteral("/output");
const QString kErrorsFile = QStringLiteral("/errors");
const QString kStatusFile = QStringLiteral("/status");

// $1 the installation's directory, then the command and its arguments. The
// status appears whole or not at all.
const QString kWrapper = QStringLiteral(
    "dir=$1; shift\n"
    "echo $$ >\"$dir/pid\"\n"
    "\"$@\" >\"$dir/output\" 2>\"$dir/errors\" </dev/null\n"
    "echo $? >\"$dir/status.new\" && mv -f \"$dir/status.new\" \"$dir/status\"\n");
const QString kWrapperName = QStringLiteral("qarg-install");

const int kPollMs = 1000;
// Between the start and the wrapper's first line the installation has no
// process id to look at yet.
const int kStartGraceSecs = 60;
const int kSystemdRunLimitMs = 60000;
const int kOutputLimit = 1 << 20;

QByteArray readCapped(const QString& path, bool* truncated)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray data = file.read(kOutputLimit);
    if (!file.atEnd())
        *truncated = true;
    return data;
}

} // namespace

const char InstallRunner::kUnitPrefix[] = "qarg-install-";

InstallRunner::InstallRunner(const QString& stateDir, QObject* parent)
    : QObject(parent)
    , m_stateDir(stateDir)
{
    m_poll.setInterval(kPollMs);
    connect(&m_poll, &QTimer::timeout, this, &InstallRunner::poll);
}

bool InstallRunner::serviceManagerRuns()
{
    return QFileInfo(vorn::kServiceManagerPath).isDir()
           && !QStandardPaths::findExecutable(QStringLiteral("systemd-run"),
                                              ChildProcess::childPath().split(QLatin1Char(':'),
                                                                              Qt::SkipEmptyParts))
                   .isEmpty();
}

void InstallRunner::run(const QString& id, const QString& command, Done done)
{
    const QString dir = m_stateDir + QLatin1Char('/') + id;
    auto known = m_installs.find(id);
    if (known != m_installs.end()) {
        // Asked for again while it runs (its document queued once more).
        qInfo() << "installation already running, awaited once more:" << id;
        known->done.append(std::move(done));
        return;
    }
    const bool busy = !m_installs.isEmpty();
    m_installs.insert(id, Install{dir, {std::move(done)}, command});
    if (QFileInfo::exists(dir + kCommandFile)) {
        // Started by an earlier qarg: its result is awaited, never run twice.
        qInfo() << "installation started before this qarg, awaited instead of run again:" << id
                << "status there:" << QFileInfo::exists(dir + kStatusFile);
        QTimer::singleShot(0, this, &InstallRunner::poll);
    } else if (busy) {
        qInfo() << "installation waits for the one running:" << id;
        m_installs[id].started = false;
        m_queue.append(id);
    } else {
        launch(id, ChildProcess::splitCommand(command));
    }
    m_poll.start();
}

void InstallRunner::startQueued()
{
    for (const Install& install : qAsConst(m_installs)) {
        if (install.started)
            return;
    }
    QString id;
    while (!m_queue.isEmpty() && !m_installs.contains(id))
        id = m_queue.takeFirst();
    if (!m_installs.contains(id))
        return;
    m_installs[id].started = true;
    launch(id, ChildProcess::splitCommand(m_installs.value(id).command));
    m_poll.start();
}

void InstallRunner::launch(const QString& id, const QStringList& command)
{
    const QString dir = m_installs.value(id).dir;
    ChildResult failed;
    if (command.isEmpty())
        failed.error = QStringLiteral("empty command");
    else if (!QDir().mkpath(dir)
             || !QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                | QFileDevice::ExeOwner)
             || !vorn::base::FileContent::writeAtomic(dir + kCommandFile,
                                                      command.join(QLatin1Char(' ')).toUtf8() + '\n'))
        failed.error = QStringLiteral("installation state not writable: ") + dir;
    if (!failed.error.isEmpty()) {
        qWarning() << "installation not started:" << id << failed.error;
        QTimer::singleShot(0, this, [this, id, failed] { finish(id, failed); });
        return;
    }
    const QStringList wrapped =
        QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c"), kWrapper, kWrapperName, dir}
        + command;
    if (serviceManagerRuns())
        launchUnit(id, wrapped);
    else
        launchChild(id, wrapped);
}

void InstallRunner::launchUnit(const QString& id, const QStringList& wrapped)
{
    const QString unit = QLatin1String(kUnitPrefix) + id;
    qInfo() << "installation starts as the transient unit" << unit << wrapped.mid(5);
    QStringList arguments =
        QStringList{QStringLiteral("--unit=") + unit, QStringLiteral("--collect"),
                    QStringLiteral("--quiet"), QStringLiteral("--service-type=exec"),
                    QStringLiteral("--description=qarg software installation"),
                    QStringLiteral("--setenv=LC_ALL=C"), QStringLiteral("--")};
    // The service manager expands "$$" and "${NAME}" in a unit's command line
    // (the wrapper's "$$" became "$", its pid file useless); doubled, every
    // "$" reaches the command as written.
    for (const QString& argument : wrapped)
        arguments.append(QString(argument).replace(QLatin1Char('$'), QStringLiteral("$$")));
    ChildOptions options;
    options.errorOutput = ChildOptions::ErrorOutput::Merge;
    ChildProcess* child =
        ChildProcess::start(QStringLiteral("systemd-run"), arguments, kSystemdRunLimitMs, this, options);
    connect(child, &ChildProcess::finished, this, [this, id, unit](const ChildResult& result) {
        if (result.succeeded())
            return;
        ChildResult failed;
        failed.error = QStringLiteral("systemd-run %1: %2")
                           .arg(unit, result.started ? result.outputText().trimmed() : result.error);
        qWarning() << "installation not started:" << failed.error;
        finish(id, failed);
    });
}

void InstallRunner::launchChild(const QString& id, const QStringList& wrapped)
{
    // No service manager: nothing would stop the installation but whoever
    // stops qarg, and that ends it with qarg.
    qInfo() << "installation starts as a child, no service manager runs:" << id << wrapped.mid(5);
    ChildProcess* child = ChildProcess::start(wrapped.first(), wrapped.mid(1), 0, this);
    connect(child, &ChildProcess::finished, this, [this, id](const ChildResult& result) {
        if (!result.started)
            finish(id, result);
        else
            poll();
    });
}

bool InstallRunner::running(const Install& install) const
{
    const QByteArray pid = vorn::base::FileContent::readAll(install.dir + kPidFile).trimmed();
    if (pid.isEmpty()) {
        const QDateTime started = QFileInfo(install.dir + kCommandFile).lastModified();
        return started.isValid() && started.secsTo(QDateTime::currentDateTime()) < kStartGraceSecs;
    }
    // The wrapper's command line names the directory: a process id used
    // again by another program is not taken for it.
    QFile cmdline(QStringLiteral("/proc/") + QString::fromLatin1(pid) + QStringLiteral("/cmdline"));
    return cmdline.open(QIODevice::ReadOnly)
           && cmdline.readAll().split('\0').contains(QFile::encodeName(install.dir));
}

void InstallRunner::poll()
{
    const QStringList ids = m_installs.keys();
    for (const QString& id : ids) {
        const auto it = m_installs.constFind(id);
        if (it == m_installs.constEnd())
            continue;
        if (!it->started)
            continue;
        const QString dir = it->dir;
        // The status is written before the wrapper ends, so what collect()
        // reads after the process is found gone is all there will be.
        if (QFileInfo::exists(dir + kStatusFile) || !running(*it))
            finish(id, collect(dir));
    }
    if (m_installs.isEmpty())
        m_poll.stop();
}

ChildResult InstallRunner::collect(const QString& dir) const
{
    ChildResult result;
    result.started = true;
    result.output = readCapped(dir + kOutputFile, &result.truncated);
    result.errorOutput = readCapped(dir + kErrorsFile, &result.truncated);
    bool ok = false;
    const int status = vorn::base::FileContent::readAll(dir + kStatusFile).trimmed().toInt(&ok);
    if (ok) {
        result.exitCode = status;
    } else {
        result.crashed = true;
        result.errorOutput += "installation ended without an exit status: stopped from outside\n";
    }
    return result;
}

void InstallRunner::finish(const QString& id, const ChildResult& result)
{
    const auto it = m_installs.find(id);
    if (it == m_installs.end())
        return;
    const Install install = it.value();
    m_installs.erase(it);
    qInfo() << "installation ended:" << id << "exit code" << result.exitCode
            << (result.started ? "" : "not started:") << result.error;
    // The result goes to the document now; a later one runs it afresh.
    if (QFileInfo::exists(install.dir) && !QDir(install.dir).removeRecursively())
        qWarning() << "installation state not removed:" << install.dir;
    startQueued();
    for (const Done& done : install.done)
        done(result);
}
