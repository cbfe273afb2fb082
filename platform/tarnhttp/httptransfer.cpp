#include "httptransfer.h"

#include "downloadtarget.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QStringList>
#include <QtDebug>

#include <utility>

namespace {

// Longest wait accepted from a caller, and the wait when none is given.
constexpr int kMaxTimeoutSeconds = 24 * 3600;
constexpr int kDefaultTimeoutSeconds = 60;
constexpr qint64 kReadChunk = 256 * 1024;
// What the network layer may hold for us before it stops reading from the
// socket: the server is slowed down instead of the body piling up in memory.
constexpr qint64 kReadBufferBytes = 1024 * 1024;

QString sizeLimitText(qint64 size)
{
    const qint64 mib = AsyncHttpClientApi::kMaxBodyBytes / (1024 * 1024);
    if (size > 0)
        return QStringLiteral("answer of %1 bytes exceeds the size limit of %2 MiB").arg(size).arg(mib);
    return QStringLiteral("answer exceeds the size limit of %1 MiB").arg(mib);
}

bool isTransportError(QNetworkReply::NetworkError error)
{
    // 1..99 connection, 101..199 proxy, 301..399 protocol; the content and
    // server ranges only mirror the HTTP status.
    const int e = static_cast<int>(error);
    return (e > 0 && e < 200) || (e >= 300 && e < 400);
}

} // namespace

HttpTransfer::HttpTransfer(HttpJob job, QObject* parent)
    : QObject(parent)
    , m_job(std::move(job))
    , m_url(m_job.url)
{
    m_clock.start();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HttpTransfer::onTimeout);
}

HttpTransfer::~HttpTransfer()
{
    releaseReply();
}

QString HttpTransfer::logUrl() const
{
    return m_url.toDisplayString(QUrl::RemoveUserInfo);
}

void HttpTransfer::reject(const QString& reason)
{
    fail(AsyncHttpClientApi::NoAnswer, reason);
}

void HttpTransfer::start(QNetworkAccessManager* manager, const QSslConfiguration& ssl)
{
    if (!m_url.isValid() || m_url.scheme() != QLatin1String("https") || m_url.host().isEmpty()) {
        fail(AsyncHttpClientApi::NoAnswer, QStringLiteral("not an https URL"));
        return;
    }
    if (m_job.download) {
        m_target.reset(new DownloadTarget(m_job.localPath));
        if (!m_target->open()) {
            fail(AsyncHttpClientApi::LocalFileError, m_target->error());
            return;
        }
    }

    QNetworkRequest request(m_url);
    request.setSslConfiguration(ssl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    for (const auto& header : qAsConst(m_job.headers))
        request.setRawHeader(header.first, header.second);

    // Every wait is bounded, whatever the caller passed.
    int timeout = m_job.timeoutSeconds;
    if (timeout <= 0 || timeout > kMaxTimeoutSeconds) {
        const int used = timeout <= 0 ? kDefaultTimeoutSeconds : kMaxTimeoutSeconds;
        qWarning() << "tarnhttp: unusable timeout" << timeout << "s for" << logUrl() << "using" << used << "s";
        timeout = used;
    }
    m_timer.start(timeout * 1000);

    qDebug() << "tarnhttp:" << (m_job.download ? "download" : "GET") << logUrl() << "timeout" << timeout;
    m_reply = manager->get(request);
    m_reply->setReadBufferSize(kReadBufferBytes);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &HttpTransfer::onMetaDataChanged);
    connect(m_reply, &QNetworkReply::readyRead, this, &HttpTransfer::onReadyRead);
    connect(m_reply, &QNetworkReply::redirected, this, &HttpTransfer::onRedirected);
    connect(m_reply, &QNetworkReply::sslErrors, this, &HttpTransfer::onSslErrors);
    connect(m_reply, &QNetworkReply::finished, this, &HttpTransfer::onFinished);
}

int HttpTransfer::statusCode() const
{
    return m_reply ? m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

void HttpTransfer::onMetaDataChanged()
{
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > AsyncHttpClientApi::kMaxBodyBytes) {
        abortWith(AsyncHttpClientApi::BodyTooLarge, sizeLimitText(length.toLongLong()));
    }
}

void HttpTransfer::onReadyRead()
{
    consume();
}

// Takes what has arrived; false when the transfer was ended because of it.
bool HttpTransfer::consume()
{
    if (!m_reply || m_completed)
        return false;
    const int status = statusCode();
    // Only a successful answer goes into a download's file.
    const bool store = m_job.download && status >= 200 && status < 300;
    while (m_reply->bytesAvailable() > 0) {
        const QByteArray chunk = m_reply->read(qMin(m_reply->bytesAvailable(), kReadChunk));
        m_received += chunk.size();
        if (m_received > AsyncHttpClientApi::kMaxBodyBytes) {
            abortWith(AsyncHttpClientApi::BodyTooLarge, sizeLimitText(0));
            return false;
        }
        if (store) {
            if (!m_target->write(chunk.constData(), chunk.size())) {
                abortWith(AsyncHttpClientApi::LocalFileError, m_target->error());
                return false;
            }
        } else if (!m_job.download) {
            m_body.append(chunk);
        }
    }
    return true;
}

void HttpTransfer::onRedirected(const QUrl& url)
{
    // Only where the request was meant to go: same scheme, host and port.
    // (The reply already carries the new URL here, so compare with our own.)
    if (url.scheme() == m_url.scheme() && url.host().compare(m_url.host(), Qt::CaseInsensitive) == 0
        && url.port(443) == m_url.port(443)) {
        qDebug() << "tarnhttp: following redirect" << logUrl() << "to"
                 << url.toDisplayString(QUrl::RemoveUserInfo);
        emit m_reply->redirectAllowed();
        return;
    }
    abortWith(AsyncHttpClientApi::RedirectRefused,
              QStringLiteral("redirect to \"%1\" refused").arg(url.toDisplayString(QUrl::RemoveUserInfo)));
}

void HttpTransfer::onSslErrors(const QList<QSslError>& errors)
{
    // Never ignored: the request fails with the handshake.
    QStringList texts;
    for (const QSslError& error : errors) {
        qWarning() << "tarnhttp: TLS error for" << logUrl() << ":" << error.errorString();
        texts.append(error.errorString());
    }
    m_sslErrors = texts.join(QStringLiteral("; "));
}

void HttpTransfer::onTimeout()
{
    abortWith(AsyncHttpClientApi::Timeout,
              QStringLiteral("no answer within %1 s").arg(m_timer.interval() / 1000));
}

void HttpTransfer::onFinished()
{
    if (m_completed || !m_reply)
        return;
    if (!consume())
        return;
    const QNetworkReply::NetworkError error = m_reply->error();
    const int status = statusCode();

    if (error == QNetworkReply::TooManyRedirectsError || error == QNetworkReply::InsecureRedirectError) {
        abortWith(AsyncHttpClientApi::RedirectRefused, m_reply->errorString());
        return;
    }
    if (isTransportError(error) || status <= 0) {
        QString reason = error == QNetworkReply::NoError ? QStringLiteral("no HTTP answer")
                                                         : m_reply->errorString();
        if (error == QNetworkReply::SslHandshakeFailedError && !m_sslErrors.isEmpty())
            reason += QStringLiteral(": ") + m_sslErrors;
        abortWith(AsyncHttpClientApi::NoAnswer, reason);
        return;
    }

    m_headers = m_reply->rawHeaderPairs();
    releaseReply();
    if (!m_job.download) {
        complete(QString::fromUtf8(m_body), status);
        return;
    }
    if (status < 200 || status >= 300) {
        fail(status, QStringLiteral("server answered HTTP %1").arg(status));
        return;
    }
    if (!m_target->commit()) {
        fail(AsyncHttpClientApi::LocalFileError, m_target->error());
        return;
    }
    complete(m_job.localPath, status);
}

void HttpTransfer::abortWith(int code, const QString& reason)
{
    releaseReply();
    fail(code, reason);
}

void HttpTransfer::fail(int code, const QString& reason)
{
    if (m_completed)
        return;
    qWarning() << "tarnhttp:" << (m_job.download ? "download" : "GET") << logUrl() << "failed, code"
               << code << ":" << reason;
    if (m_target)
        m_target->discard();
    // A download reports what went wrong, and so does a GET that got no
    // connection (refused, reset, TLS): the caller names the reason.
    complete(m_job.download || code == AsyncHttpClientApi::NoAnswer ? reason : QString(), code);
}

void HttpTransfer::releaseReply()
{
    m_timer.stop();
    if (!m_reply)
        return;
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    disconnect(reply, nullptr, this, nullptr);
    if (reply->isRunning())
        reply->abort();
    reply->deleteLater();
}

void HttpTransfer::complete(const QString& text, int code)
{
    if (m_completed)
        return;
    m_completed = true;
    releaseReply();
    qInfo() << "tarnhttp:" << (m_job.download ? "download" : "GET") << logUrl() << "code" << code
            << m_received << "bytes in" << m_clock.elapsed() << "ms";
    deleteLater();
    emit done();
    if (m_job.responseCallback)
        m_job.responseCallback(AsyncHttpClientApi::Response{text, code, m_headers});
    else if (m_job.callback)
        m_job.callback(text, code);
    else
        qWarning() << "tarnhttp: no callback for" << logUrl();
}
