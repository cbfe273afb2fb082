#pragma once

#include <QJsonObject>
#include <QScopedPointer>
#include <QString>

namespace lumoctl {

// What went wrong, as the command's exit status says it.
enum ExitCode {
    ExitOk = 0,
    ExitUsage = 1,
    ExitNoPermission = 2,
    ExitNotRunning = 3,
    ExitFailure = 4,
};

class StatusViewPrivate;

// The status one program publishes (qarg or qars): read from its file,
// checked, and shown as tables for people or as JSON for scripts.
class StatusView
{
public:
    enum Part { Overview, Policy, UsbDevices };

    StatusView();
    ~StatusView();

    // Reads the status `program` keeps in `path`. False when it cannot be
    // read, is not a status of that program or the program has ended; then
    // exitCode() and error() say why. No symbolic link is followed below
    // `trusted` (a directory `path` lies in; empty: the directory of `path`).
    bool load(const QString& path, const QString& program, const QString& trusted = QString());
    // The same checks on a status text already read (origin names it).
    bool parse(const QByteArray& text, const QString& origin, const QString& program);

    int exitCode() const;
    QString error() const;
    QJsonObject object() const;

    QString table(Part part) const;
    QByteArray json(Part part) const;

    // qarg's status file.
    static QString systemStatusPath();
    // The same with the whole result texts of root's scripts, firewall
    // commands and installs, readable by root alone.
    static QString systemDetailPath();
    // The status file of the session agent of `user`, or of the caller when
    // `user` is empty; empty with `error` set when the user is unknown.
    // `trusted` receives the directory below which the user controls the
    // names (the home of a named user), empty for the caller's own file.
    static QString sessionStatusPath(const QString& user, QString* error, QString* trusted = nullptr);
    // Whether `pid` is a live process that may be `program`.
    static bool processAlive(qint64 pid, const QString& program);

private:
    Q_DISABLE_COPY(StatusView)
    QScopedPointer<StatusViewPrivate> d;
};

} // namespace lumoctl
