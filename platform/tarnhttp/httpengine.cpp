#include "httpengine.h"

#include "httptransfer.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QStringList>
#include <QtDebug>

HttpEngine::HttpEngine(QObject* parent)
    : QObject(parent)
{
}

HttpEngine::~HttpEngine()
{
    // Transfers first: they drop their replies and temporary files while the
    // manager still exists.
    const auto transfers = findChildren<HttpTransfer*>(QString(), Qt::FindDirectChildrenOnly);
    for (HttpTransfer* transfer : transfers)
        delete transfer;
    delete m_manager;
}

QNetworkAccessManager* HttpEngine::manager()
{
    if (!m_manager) {
        // The manager loads the bearer plugins once, when it is created. They
        // would poll the network interfaces every few seconds for as long as
        // the program runs, waking an otherwise idle daemon; without them the
        // manager simply tries every request. The plugin path is empty only
        // for that moment, on the main thread, before anything else loads.
        const QStringList pluginPaths = QCoreApplication::libraryPaths();
        QCoreApplication::setLibraryPaths(QStringList());
        m_manager = new QNetworkAccessManager(this);
        QCoreApplication::setLibraryPaths(pluginPaths);
        m_manager->setRedirectPolicy(QNetworkRequest::UserVerifiedRedirectPolicy);
        keepAccessible();
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        connect(m_manager, &QNetworkAccessManager::networkAccessibleChanged, this,
                [this](QNetworkAccessManager::NetworkAccessibility accessible) {
                    if (accessible != QNetworkAccessManager::Accessible) {
                        qInfo() << "tarnhttp: network reported inaccessible; requests go out anyway";
                        keepAccessible();
                    }
                });
        QT_WARNING_POP
    }
    return m_manager;
}

// The bearer layer may declare the network inaccessible (for instance when
// the connection manager knows no active connection, or after a suspend) and
// the manager would then refuse every request until restarted. Whether the
// server answers is decided by the connection attempt itself instead.
void HttpEngine::keepAccessible()
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    if (m_manager->networkAccessible() != QNetworkAccessManager::Accessible)
        m_manager->setNetworkAccessible(QNetworkAccessManager::Accessible);
    QT_WARNING_POP
}

void HttpEngine::start(const HttpJob& job, const TlsSetup& tls, quint64 generation)
{
    auto* transfer = new HttpTransfer(job, this);
    if (!tls.isUsable()) {
        transfer->reject(tls.error());
        return;
    }
    QNetworkAccessManager* nam = manager();
    if (generation != m_generation) {
        // Open connections were authenticated with the old certificates.
        m_generation = generation;
        nam->clearConnectionCache();
    }
    keepAccessible();
    if (!job.download) {
        transfer->start(nam, tls.configuration());
        return;
    }
    if (m_runningDownloads >= AsyncHttpClientApi::kMaxRunningDownloads) {
        qDebug() << "tarnhttp: download waits for a free slot:" << job.url << "waiting"
                 << m_waiting.size() + 1;
        m_waiting.enqueue({transfer, tls.configuration()});
        return;
    }
    startDownload(transfer, tls.configuration());
}

void HttpEngine::startDownload(HttpTransfer* transfer, const QSslConfiguration& ssl)
{
    ++m_runningDownloads;
    connect(transfer, &HttpTransfer::done, this, &HttpEngine::onDownloadDone);
    transfer->start(manager(), ssl);
}

void HttpEngine::onDownloadDone()
{
    --m_runningDownloads;
    // Later, not inside the finishing transfer's own call chain.
    QMetaObject::invokeMethod(this, &HttpEngine::startWaiting, Qt::QueuedConnection);
}

void HttpEngine::startWaiting()
{
    while (m_runningDownloads < AsyncHttpClientApi::kMaxRunningDownloads && !m_waiting.isEmpty()) {
        const Waiting next = m_waiting.dequeue();
        if (next.transfer)
            startDownload(next.transfer, next.ssl);
    }
}
