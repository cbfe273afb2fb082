#include "receipt_bounds.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtDebug>

namespace {

QString cutMark(qint64 cut)
{
    return QStringLiteral("... [%1 bytes cut]").arg(cut);
}

// Every text of the array cut to cap bytes.
QJsonArray capTexts(const QJsonArray& results, int cap)
{
    QJsonArray capped;
    for (const QJsonValue& value : results) {
        if (!value.isObject()) {
            capped.append(value);
            continue;
        }
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (it.value().isString())
                it.value() = ReceiptBounds::cutText(it.value().toString(), cap);
        }
        capped.append(object);
    }
    return capped;
}

int compactSize(const QJsonArray& array)
{
    return QJsonDocument(array).toJson(QJsonDocument::Compact).size();
}

// The first `count` results and a last entry naming how many are left out.
QJsonArray firstResults(const QJsonArray& results, int count)
{
    QJsonArray kept;
    for (int i = 0; i < count; ++i)
        kept.append(results.at(i));
    kept.append(QJsonObject{{QStringLiteral("receipt"),
                             QStringLiteral("... [%1 results cut]").arg(results.size() - count)}});
    return kept;
}

QJsonArray dropResults(const QJsonArray& results, int maxBytes)
{
    int low = 0;
    int high = results.size() - 1;
    while (low < high) {
        const int mid = (low + high + 1) / 2;
        if (compactSize(firstResults(results, mid)) <= maxBytes)
            low = mid;
        else
            high = mid - 1;
    }
    return firstResults(results, low);
}

} // namespace

QString ReceiptBounds::cutText(const QString& text, int maxBytes)
{
    // At most three bytes of UTF-8 per UTF-16 unit: shorter texts fit.
    if (text.size() <= maxBytes / 3)
        return text;
    const QByteArray utf8 = text.toUtf8();
    if (utf8.size() <= maxBytes)
        return text;
    // The mark's number is never longer than the whole size's.
    int keep = qMax(0, maxBytes - cutMark(utf8.size()).toUtf8().size());
    while (keep > 0 && (static_cast<uchar>(utf8.at(keep)) & 0xC0) == 0x80)
        --keep;
    return QString::fromUtf8(utf8.constData(), keep) + cutMark(utf8.size() - keep);
}

QString ReceiptBounds::cutReceipt(const QString& result, int maxBytes)
{
    if (result.size() <= maxBytes / 3)
        return result;
    const QByteArray utf8 = result.toUtf8();
    if (utf8.size() <= maxBytes)
        return result;
    const QJsonDocument doc = QJsonDocument::fromJson(utf8);
    if (!doc.isArray() || doc.array().isEmpty()) {
        qWarning() << "receipt of" << utf8.size() << "bytes cut to" << maxBytes;
        return cutText(result, maxBytes);
    }
    const QJsonArray results = doc.array();
    // The largest cap on every text that keeps the whole within the bound.
    int low = 0;
    int high = utf8.size();
    while (low < high) {
        const int mid = low + (high - low + 1) / 2;
        if (compactSize(capTexts(results, mid)) <= maxBytes)
            low = mid;
        else
            high = mid - 1;
    }
    QJsonArray bounded = capTexts(results, low);
    if (compactSize(bounded) > maxBytes)
        bounded = dropResults(bounded, maxBytes);
    qWarning() << "receipt of" << utf8.size() << "bytes cut to" << maxBytes << "with" << results.size()
               << "results, each text to at most" << low << "bytes";
    return QString::fromUtf8(QJsonDocument(bounded).toJson(QJsonDocument::Compact));
}
