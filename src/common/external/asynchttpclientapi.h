#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QScopedPointer>
#include <QString>

#include <functional>

class AsyncHttpClientApiPrivate;

// Asynchronous HTTPS client of the management server (libtarnhttp.so.1).
//
// Requests may be issued from any thread. Their callback always runs later on
// the thread that owns the QCoreApplication (the main thread), never inside
// the call that started the request.
//
// Result codes handed to callbacks:
//   0     no answer: connection refused or reset, TLS failure, network down,
//         unusable client certificate configuration
//   4003  no answer within the timeout
//   4013  the answer was larger than the size limit (kMaxBodyBytes); the
//         text of a download then says so: "... exceeds the size limit ..."
//   4030  redirect refused (only redirects to the same scheme, host and port
//         are followed)
//   4050  download could not be stored at the local path
//   100..599  the HTTP status the server answered with
// A download succeeded only when the code is 2xx; its text is then the local
// path. Otherwise the text describes the failure and the target is untouched.
// A getRequest that got no HTTP answer delivers no body: with code 0 its text
// is the reason (for a refused handshake, what the certificate checks found),
// with codes 4003, 4013 and 4030 it is empty. Timeouts are in seconds and
// cover the whole request.
//
// A download is written to its file as it arrives; neither it nor the
// network layer holds more than about a megabyte of it in memory. At most
// kMaxRunningDownloads downloads run at once; further ones wait in order of
// issue, and their timeout starts when they start. Plain requests never wait.
class AsyncHttpClientApi
{
public:
    enum Code {
        NoAnswer = 0,
        Timeout = 4003,
        BodyTooLarge = 4013,
        RedirectRefused = 4030,
        LocalFileError = 4050,
    };

    using Callback = std::function<void(QString, int)>;
    using HeaderList = QList<QPair<QByteArray, QByteArray>>;

    // The whole answer to a request, for callers that need its headers too.
    struct Response
    {
        QString body;
        int code = NoAnswer;
        // As the server sent them; empty when there was no HTTP answer.
        HeaderList headers;

        // The first header of that name (case-insensitive); empty when absent.
        QByteArray header(const QByteArray& name) const
        {
            for (const auto& h : headers) {
                if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                    return h.second;
            }
            return QByteArray();
        }
    };
    using ResponseCallback = std::function<void(const Response&)>;

    static constexpr qint64 kMaxBodyBytes = 64 * 1024 * 1024;
    static constexpr int kMaxRunningDownloads = 4;

    static AsyncHttpClientApi* getInstance();
    static bool isNoAnswer(int code) { return code == NoAnswer || code == Timeout; }

    // CA certificate, client certificate, client private key (PEM files).
    void setSSLConfig(const QString& caCertPath, const QString& certPath, const QString& keyPath);

    // HTTPS GET; the callback gets the body and the code. timeout in seconds.
    void getRequest(Callback callback, const QString& url, const QString& data, int timeout);

    // Same, handing the callback the answer's headers as well (Retry-After, ...).
    void getRequest(ResponseCallback callback, const QString& url, int timeout);

    // Stores the url's content at localPath (written beside it, renamed into
    // place on success). data and flag are unused and kept for compatibility.
    void downloadFile(Callback callback, const QString& localPath, const QString& url,
                      const QString& data, bool flag, const HeaderList& headers, int timeout);

    ~AsyncHttpClientApi();

private:
    AsyncHttpClientApi();
    AsyncHttpClientApi(const AsyncHttpClientApi&) = delete;
    AsyncHttpClientApi& operator=(const AsyncHttpClientApi&) = delete;

    QScopedPointer<AsyncHttpClientApiPrivate> d;
};
