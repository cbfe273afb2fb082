#include "server_endpoint.h"

#include "common/base/constants.h"
#include "common/base/filecontent.h"
#include "common/external/asynchttpclientapi.h"

#include <QFile>
#include <QMutexLocker>
#include <QtDebug>

#include <sys/stat.h>

namespace {
qint64 nanoseconds(const struct timespec& t)
{
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}
} // namespace

bool ServerEndpoint::Stamp::operator==(const Stamp& o) const
{
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size
        && mtimeNs == o.mtimeNs && ctimeNs == o.ctimeNs;
}

ServerEndpoint* ServerEndpoint::instance()
{
    static ServerEndpoint endpoint;
    return &endpoint;
}

ServerEndpoint::Stamp ServerEndpoint::stampOf(const QString& path)
{
    Stamp stamp;
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtimeNs = nanoseconds(st.st_mtim);
    stamp.ctimeNs = nanoseconds(st.st_ctim);
    return stamp;
}

void ServerEndpoint::setTlsFiles(const QString& caCertPath, const QString& certPath,
                                 const QString& keyPath)
{
    QMutexLocker lock(&m_mutex);
    m_tlsPaths[0] = caCertPath;
    m_tlsPaths[1] = certPath;
    m_tlsPaths[2] = keyPath;
    m_tlsSet = true;
    // Loaded now even when a file is missing: the HTTPS client then knows why
    // its requests fail, and the next change of the files is picked up.
    m_tlsLoaded = false;
    refreshTls();
}

ServerEndpoint::Snapshot ServerEndpoint::current()
{
    QMutexLocker lock(&m_mutex);
    refreshServer();
    refreshMachineId();
    if (m_tlsSet)
        refreshTls();
    return m_snapshot;
}

QString ServerEndpoint::url(const QString& urlTemplate)
{
    const Snapshot now = current();
    return urlTemplate.arg(now.host, now.port);
}

// What was known stays when the file is gone or half written: its next
// change is read again.
void ServerEndpoint::refreshServer()
{
    const Stamp stamp = stampOf(vorn::kUserinfoPath);
    if (m_read && stamp == m_userinfo)
        return;
    m_userinfo = stamp;
    QString host;
    QString port;
    if (!vorn::base::FileContent::getHostAndPort(host, port) || host.isEmpty())
        return;
    if (host != m_snapshot.host || port != m_snapshot.port) {
        qInfo() << "policy server now:" << host << port;
        m_snapshot.host = host;
        m_snapshot.port = port;
    }
}

void ServerEndpoint::refreshMachineId()
{
    const Stamp stamp = stampOf(vorn::kMachineidPath);
    if (m_read && stamp == m_machine)
        return;
    m_machine = stamp;
    m_read = true;
    bool ok = false;
    const QString id = vorn::base::FileContent::instace()->getMachineID(&ok, true);
    if (ok && !id.isEmpty() && id != m_snapshot.machineId) {
        qInfo() << "machine id now:" << id;
        m_snapshot.machineId = id;
    }
}

void ServerEndpoint::refreshTls()
{
    bool changed = false;
    for (int i = 0; i < 3; ++i) {
        const Stamp stamp = stampOf(m_tlsPaths[i]);
        if (stamp != m_tls[i]) {
            m_tls[i] = stamp;
            changed = true;
        }
    }
    if (m_tlsLoaded && !changed)
        return;
    if (m_tlsLoaded)
        qInfo() << "client TLS files changed, loading them again";
    m_tlsLoaded = true;
    AsyncHttpClientApi::getInstance()->setSSLConfig(m_tlsPaths[0], m_tlsPaths[1], m_tlsPaths[2]);
}
