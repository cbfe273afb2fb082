#pragma once

#include <QMutex>
#include <QString>

#include <sys/types.h>

// Where the management server is and who this machine is to it: the server's
// host and port and the machine id from the core client service's state
// files, and the client's TLS files handed to the HTTPS client. The service
// writes them at enrolment, which may come after the programs started, and
// again when the server moves or the certificate is renewed; so every user
// asks here for each request, and a file is read again only when its
// identity, size or times changed since it was last read. Any thread.
class ServerEndpoint
{
public:
    struct Snapshot
    {
        QString host;
        QString port;
        QString machineId;
    };

    static ServerEndpoint* instance();

    // The three PEM files of the client; from then on the HTTPS client is
    // configured again whenever one of them changes.
    void setTlsFiles(const QString& caCertPath, const QString& certPath, const QString& keyPath);
    // The current server and machine id, with the TLS files brought up to date.
    Snapshot current();
    // urlTemplate with %1 the current host and %2 the current port.
    QString url(const QString& urlTemplate);

private:
    ServerEndpoint() = default;
    Q_DISABLE_COPY(ServerEndpoint)

    struct Stamp
    {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        qint64 mtimeNs = 0;
        qint64 ctimeNs = 0;
        bool operator==(const Stamp& o) const;
        bool operator!=(const Stamp& o) const { return !(*this == o); }
    };
    static Stamp stampOf(const QString& path);
    void refreshServer();
    void refreshMachineId();
    void refreshTls();

    QMutex m_mutex;
    Snapshot m_snapshot;
    bool m_read = false;
    Stamp m_userinfo;
    Stamp m_machine;
    QString m_tlsPaths[3];
    Stamp m_tls[3];
    bool m_tlsSet = false;
    bool m_tlsLoaded = false;
};
