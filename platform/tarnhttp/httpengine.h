#pragma once

#include "tlssetup.h"

#include <QObject>

struct HttpJob;
class QNetworkAccessManager;

// Lives on the main thread and owns the one network access manager; every
// request is started here, whichever thread issued it.
class HttpEngine : public QObject
{
    Q_OBJECT
public:
    explicit HttpEngine(QObject* parent = nullptr);
    ~HttpEngine() override;

    // generation changes whenever the TLS files were loaded again.
    void start(const HttpJob& job, const TlsSetup& tls, quint64 generation);

private:
    Q_DISABLE_COPY(HttpEngine)

    QNetworkAccessManager* manager();
    void keepAccessible();

    QNetworkAccessManager* m_manager = nullptr;
    quint64 m_generation = 0;
};
