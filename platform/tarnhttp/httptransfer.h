#pragma once

#include "asynchttpclientapi.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QScopedPointer>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

class DownloadTarget;
class QNetworkAccessManager;
class QNetworkReply;
class QSslError;

// One request as the caller issued it.
struct HttpJob
{
    bool download = false;
    AsyncHttpClientApi::Callback callback;
    // Instead of callback: gets the answer's headers as well.
    AsyncHttpClientApi::ResponseCallback responseCallback;
    QString url;
    QString localPath;
    AsyncHttpClientApi::HeaderList headers;
    int timeoutSeconds = 0;
};

// Runs one request on the main thread: sends it, enforces the timeout, the
// body limit and the redirect rule, streams a download into its file and
// hands the outcome to the callback exactly once. Deletes itself afterwards.
class HttpTransfer : public QObject
{
    Q_OBJECT
public:
    HttpTransfer(HttpJob job, QObject* parent);
    ~HttpTransfer() override;

    void start(QNetworkAccessManager* manager, const QSslConfiguration& ssl);
    // Ends the request with a failure before anything was sent.
    void reject(const QString& reason);

signals:
    // The outcome is decided; emitted once, just before the callback runs.
    void done();

private:
    Q_DISABLE_COPY(HttpTransfer)

    void onMetaDataChanged();
    void onReadyRead();
    void onRedirected(const QUrl& url);
    void onSslErrors(const QList<QSslError>& errors);
    void onFinished();
    void onTimeout();

    bool consume();
    int statusCode() const;
    void abortWith(int code, const QString& reason);
    void fail(int code, const QString& reason);
    void complete(const QString& text, int code);
    void releaseReply();
    QString logUrl() const;

    HttpJob m_job;
    QUrl m_url;
    QPointer<QNetworkReply> m_reply;
    QScopedPointer<DownloadTarget> m_target;
    QByteArray m_body;
    AsyncHttpClientApi::HeaderList m_headers;
    qint64 m_received = 0;
    QTimer m_timer;
    QElapsedTimer m_clock;
    bool m_completed = false;
    // What the certificate checks found, for the text of a failed handshake.
    QString m_sslErrors;
};
