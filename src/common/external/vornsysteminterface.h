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

    ~VornSystemInterface();

private:
    VornSystemInterface();
    VornSystemInterface(const VornSystemInterface&) = delete;
    VornSystemInterface& operator=(const VornSystemInterface&) = delete;

    class Private;
    std::unique_ptr<Private> d;
};
