#pragma once

#include <QList>
#include <QString>

#include <memory>

// Machine-wide settings of the desktop platform (liblibvorn-xwe.so).
// Setters return 0 on success. Thread-safe.
class VornSystemInterface
{
public:
    static VornSystemInterface* Instance();

    int SetNTPServer(const QString& server);
    QString GetNTPServer();
    int SetBluetoothEnable(bool enable);
    int SetWirelessEnable(bool enable);
    // deviceClass 1: USB storage, 2: optical drives.
    int SetStorageGlobalPermPolicy(int deviceClass, int permission);
    // Package names joined by ",".
    int SetAppCtrlBlacklist(const QString& list);
    int SetBackgroundSourceFile(const QString& path);
    // allowed: local logins are permitted.
    int SetLocalUserLogoinLimit(bool allowed);
    QList<uint> GetLocalUIDList();
    // Gives the machine back as it was before any setting: local logins
    // allowed, no blacklist, storage and optical drives read and write, the
    // distribution's time servers, no boot background, radios unblocked.
    // Every step runs; returns 0, or the status of the first step that failed
    // (a step the platform does not support counts as done).
    int RestoreDefaults();

    ~VornSystemInterface();

private:
    VornSystemInterface();
    VornSystemInterface(const VornSystemInterface&) = delete;
    VornSystemInterface& operator=(const VornSystemInterface&) = delete;

    class Private;
    std::unique_ptr<Private> d;
};
