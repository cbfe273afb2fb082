#pragma once

// A sysroot, a home and recording stand-ins for the platform tools, set up in the
// environment before the library's first Instance() picks the linux backend.

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class PlatformLab
{
public:
    // tools: names to put first on PATH as the lab's recording stub.
    explicit PlatformLab(const QStringList& tools);

    bool isValid() const;
    QString root() const;             // the sysroot
    QString path(const QString& absolute) const; // below the sysroot
    QString home() const;
    QString dir() const;

    // argv of every stub call so far, oldest first.
    QList<QStringList> calls() const;
    bool called(const QStringList& argv) const;
    void clearCalls() const;
    // Hides (or brings back) one stand-in, as if the tool were not installed.
    bool hideTool(const QString& name, bool hidden) const;

    static QByteArray readAll(const QString& path);
    static bool writeFile(const QString& path, const QByteArray& data, int mode = 0644);
    static int fileMode(const QString& path);
    // What udev's own parser says about the rules files in rulesDir, loaded in a private
    // mount namespace in place of /etc/udev/rules.d: its output, or a null array when the
    // machine has no udevadm or unshare (then nothing can be said).
    static QByteArray udevRulesCheck(const QString& rulesDir);
    // Runs a program found on PATH; its standard output, or a null array when it failed.
    static QByteArray run(const QString& program, const QStringList& arguments);

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};
