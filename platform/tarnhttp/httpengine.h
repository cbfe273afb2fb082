#pragma once

#include "tlssetup.h"

#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSslConfiguration>

struct HttpJob;
class HttpTransfer;
class QNetworkAccessManager;

// Lives on the main thread and owns the one network access manager; every
// request is started here, whichever thread issued it. Downloads run a few at
// a time and wait in a queue beyond that; plain requests are never held back.
class HttpEngine : public QObject
{
    Q_OBJECT
public:
    explicit HttpEngine(QObject* parent = nullptr);
    ~HttpEngine() override;

    // generation changes whenever the TLS files were loaded again.
    void start(const HttpJob& job, const TlsSetup& tls, quint64 generation);

    int runningDownloads() const { return m_runningDownloads; }
    int waitingDownloads() const { return m_waiting.size(); }

private:
    Q_DISABLE_COPY(HttpEngine)

    struct Waiting
    {
        QPointer<HttpTransfer> transfer;
        QSslConfiguration ssl;
    };

    QNetworkAccessManager* manager();
    void keepAccessible();
    void startDownload(HttpTransfer* transfer, const QSslConfiguration& ssl);
    void onDownloadDone();
    void startWaiting();

    QNetworkAccessManager* m_manager = nullptr;
    quint64 m_generation = 0;
    int m_runningDownloads = 0;
    QQueue<Waiting> m_waiting;
};
