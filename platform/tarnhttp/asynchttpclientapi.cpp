#include "asynchttpclientapi.h"

#include "httpengine.h"
#include "httptransfer.h"
#include "tlssetup.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>
#include <QtDebug>

#include <utility>

class AsyncHttpClientApiPrivate
{
public:
    void post(HttpJob job);
    static void destroyEngine();

    static AsyncHttpClientApiPrivate* self;

    QMutex mutex;
    TlsSetup tls;
    quint64 tlsGeneration = 0;
    // Created on first use, owned by the main thread, deleted when the
    // application object goes.
    HttpEngine* engine = nullptr;
};

AsyncHttpClientApiPrivate* AsyncHttpClientApiPrivate::self = nullptr;

AsyncHttpClientApi* AsyncHttpClientApi::getInstance()
{
    static AsyncHttpClientApi instance;
    return &instance;
}

AsyncHttpClientApi::AsyncHttpClientApi()
    : d(new AsyncHttpClientApiPrivate)
{
    AsyncHttpClientApiPrivate::self = d.data();
}

AsyncHttpClientApi::~AsyncHttpClientApi()
{
    // Normally gone with the application object already; one that outlived it
    // belongs to a finished thread and is left to the end of the process.
    d->engine = nullptr;
    AsyncHttpClientApiPrivate::self = nullptr;
}

void AsyncHttpClientApiPrivate::destroyEngine()
{
    if (!self)
        return;
    QMutexLocker lock(&self->mutex);
    delete self->engine;
    self->engine = nullptr;
}

void AsyncHttpClientApiPrivate::post(HttpJob job)
{
    QMutexLocker lock(&mutex);
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        qWarning() << "tarnhttp: no application object, request dropped:" << job.url;
        return;
    }
    if (!engine) {
        engine = new HttpEngine;
        if (engine->thread() != app->thread())
            engine->moveToThread(app->thread());
        qAddPostRoutine(&AsyncHttpClientApiPrivate::destroyEngine);
    }
    // Queued even on the main thread: the callback must never run inside the
    // call that started the request.
    HttpEngine* target = engine;
    QMetaObject::invokeMethod(
        target,
        [target, job = std::move(job), tls = tls, generation = tlsGeneration]() {
            target->start(job, tls, generation);
        },
        Qt::QueuedConnection);
}

void AsyncHttpClientApi::setSSLConfig(const QString& caCertPath, const QString& certPath,
                                      const QString& keyPath)
{
    TlsSetup setup = TlsSetup::load(caCertPath, certPath, keyPath);
    if (setup.isUsable())
        qInfo() << "tarnhttp: TLS configured with CA" << caCertPath << "certificate" << certPath
                << "key" << keyPath;
    else
        qWarning().noquote() << "tarnhttp:" << setup.error()
                             << "(every HTTPS request fails until this is mended)";
    QMutexLocker lock(&d->mutex);
    d->tls = std::move(setup);
    ++d->tlsGeneration;
}

void AsyncHttpClientApi::getRequest(Callback callback, const QString& url, const QString& data, int timeout)
{
    if (!data.isEmpty())
        qDebug() << "tarnhttp: request data ignored for GET" << url;
    HttpJob job;
    job.callback = std::move(callback);
    job.url = url;
    job.timeoutSeconds = timeout;
    d->post(std::move(job));
}

void AsyncHttpClientApi::getRequest(ResponseCallback callback, const QString& url, int timeout)
{
    HttpJob job;
    job.responseCallback = std::move(callback);
    job.url = url;
    job.timeoutSeconds = timeout;
    d->post(std::move(job));
}

void AsyncHttpClientApi::downloadFile(Callback callback, const QString& localPath, const QString& url,
                                      const QString& data, bool flag, const HeaderList& headers,
                                      int timeout)
{
    Q_UNUSED(data)
    Q_UNUSED(flag)
    HttpJob job;
    job.download = true;
    job.callback = std::move(callback);
    job.url = url;
    job.localPath = localPath;
    job.headers = headers;
    job.timeoutSeconds = timeout;
    d->post(std::move(job));
}
