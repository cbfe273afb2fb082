#pragma once

#include <QString>

#include <functional>

// One file a policy setting downloads, within its document's download budget
// (DownloadBudget::shared()): asked for before it starts and accounted once it
// has ended, so that every download handler of both programs words a refused
// or failed download alike.
class SettingDownload
{
public:
    enum class End {
        Delivered, // a 2xx answer whose file fits the document's budget
        Failed,    // no 2xx answer; result: DownloadBudget::failedText
        Refused,   // the file would take the document over its budget and is gone
    };
    // `result` is the result text for Failed and Refused; `text` and `code`
    // are what the HTTPS client gave (text: the local path or its reason).
    using Done = std::function<void(End end, const QString& result, const QString& text, int code)>;

    // `what` names the file in result texts: "script", "icon", ...
    SettingDownload(const void* executor, quint64 document, const QString& what, const QString& url);

    const QString& what() const { return m_what; }
    const QString& url() const { return m_url; }

    // Before the download: false when the document has used up its budget,
    // with the result text in *result and the budget's reason in *reason.
    bool admit(QString* result, QString* reason = nullptr) const;

    // Stores the url's content at localPath; `done` runs later on the main
    // thread, after a delivered file was accounted. Any thread.
    void start(const QString& localPath, int timeoutSeconds, Done done) const;

    // How a download that ended with `code` counts; what start() hands on.
    End ended(const QString& localPath, const QString& text, int code, QString* result) const;

private:
    const void* m_executor;
    quint64 m_document;
    QString m_what;
    QString m_url;
};
