#pragma once

#include "common/base/codes.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

// Machine settings applied by the system policy handlers: a thin layer over
// the platform adaption service, systemctl and logind's session files.
// Stateless; its methods run on the calling thread.
class SystemConfig : public QObject
{
    Q_OBJECT
public:
    enum SessionType {
        AllSshSessions = 0,
        LocalUserSshSessions = 1, // the users the login limit refuses
    };
    // Whom refused local logins refuse: accounts of the machine's own passwd
    // file with a uid in this range; root, system and directory accounts
    // still log in.
    static constexpr int kFirstLocalUid = 1000;
    static constexpr int kLastLocalUid = 9999;
    static bool isRefusedLocalUser(int uid, const QSet<int>& passwdUids);

    // A child process that has not ended by then is killed.
    static constexpr int kCommandTimeoutMs = 30000;
    // Returned by setLoginLimit when the SSH sessions of local users were ended.
    static constexpr int kLocalSessionsEnded = vorn::code::kLocalSessionsEnded;

    static SystemConfig* GetInstance();

    QString setNTPServer(const QString& server);
    // "setSSHLogin false" when a step of the sequence failed.
    QString setSSHLogin(int state);
    // The same for a repeated policy: the sequence runs only when the
    // service is not started and enabled (state 1), or stopped and disabled.
    QString keepSSHLogin(int state);
    // Whether systemctl reports the SSH service started and enabled (on) or
    // stopped and disabled or masked (off).
    bool sshServiceIs(bool on);
    QString setBluetooth(int state);
    QString setWireless(int state);
    QString setDeviceConfig(int deviceClass, int permission);
    QString setAppBlacklist(const QString& json);
    // Refusing also ends the SSH sessions of local users; the id of a session
    // that could not be ended goes to failedSession.
    int setLoginLimit(bool allowed, QString* failedSession = nullptr);
    bool stopCurrentSshSession(SessionType type, QString* failedSession = nullptr);
    QString setLaunchBG(const QString& path);

private:
    SystemConfig() = default;
    Q_DISABLE_COPY(SystemConfig)
};
