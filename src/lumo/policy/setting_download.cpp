#include "setting_download.h"

#include "common/external/asynchttpclientapi.h"
#include "download_budget.h"

SettingDownload::SettingDownload(const void* executor, quint64 document, const QString& what,
                                 const QString& url)
    : m_executor(executor)
    , m_document(document)
    , m_what(what)
    , m_url(url)
{
}

bool SettingDownload::admit(QString* result, QString* reason) const
{
    QString refusal;
    if (DownloadBudget::shared().admit(m_executor, m_document, &refusal))
        return true;
    *result = DownloadBudget::refusedText(m_what, m_url, refusal);
    if (reason)
        *reason = refusal;
    return false;
}

void SettingDownload::start(const QString& localPath, int timeoutSeconds, Done done) const
{
    const SettingDownload download = *this;
    AsyncHttpClientApi::getInstance()->downloadFile(
        [download, localPath, done](QString text, int code) {
            QString result;
            const End end = download.ended(localPath, text, code, &result);
            done(end, result, text, code);
        },
        localPath, m_url, QString(), false, {}, timeoutSeconds);
}

SettingDownload::End SettingDownload::ended(const QString& localPath, const QString& text, int code,
                                            QString* result) const
{
    if (code < 200 || code >= 300) {
        *result = DownloadBudget::failedText(m_what, code, m_url, text);
        return End::Failed;
    }
    QString refusal;
    if (!DownloadBudget::shared().account(m_executor, m_document, localPath, &refusal)) {
        *result = DownloadBudget::refusedText(m_what, m_url, refusal);
        return End::Refused;
    }
    return End::Delivered;
}
