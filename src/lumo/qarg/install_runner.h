#pragma once

#include "common/shared/childprocess.h"

#include <QList>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

// Software installations run where a stop of qarg cannot reach them: dpkg
// cut off midway leaves packages half-configured, and qarg's own upgrade
// restarts qarg in the middle of the installation. With systemd as the
// service manager each one is a transient unit ("qarg-install-<id>", unloaded
// when it ends); without one it is a child of qarg, ended with qarg. Either
// way a small wrapper writes the command's output and, last, its exit status
// into the installation's own directory, and qarg reads the result from
// there, also a qarg started while the installation ran: it awaits the
// installation of the same id instead of starting it again. One starts only
// when none runs: two at once would have the second fail on dpkg's lock (an
// installation that outlasts its document's time limit while the next
// document installs, or one a stopped qarg left running). Main thread.
class InstallRunner : public QObject
{
    Q_OBJECT
public:
    using Done = std::function<void(const vorn::base::ChildResult&)>;

    // stateDir: where the installations' directories are kept.
    explicit InstallRunner(const QString& stateDir, QObject* parent = nullptr);

    // Runs `command` as installation `id`, or awaits the one of that id that
    // an earlier qarg started. `done` gets the result once, later.
    void run(const QString& id, const QString& command, Done done);

    // Whether installations become transient units.
    static bool serviceManagerRuns();

    static const char kUnitPrefix[];

private:
    Q_DISABLE_COPY(InstallRunner)

    struct Install
    {
        QString dir;
        QList<Done> done;
        QString command;
        // False while it waits for the one running: dpkg takes one at a time.
        bool started = true;
    };

    void launch(const QString& id, const QStringList& command);
    void launchUnit(const QString& id, const QStringList& wrapped);
    void launchChild(const QString& id, const QStringList& wrapped);
    void poll();
    void startQueued();
    bool running(const Install& install) const;
    void finish(const QString& id, const vorn::base::ChildResult& result);
    vorn::base::ChildResult collect(const QString& dir) const;

    QString m_stateDir;
    QHash<QString, Install> m_installs;
    QStringList m_queue;
    QTimer m_poll;
};
