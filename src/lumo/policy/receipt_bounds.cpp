#include "receipt_bounds.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtDebug>

#include <algorithm>
#include <climits>

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

// UTF-8 size of every text of the array, in order.
QList<int> textSizes(const QJsonArray& results)
{
    QList<int> sizes;
    for (const QJsonValue& value : results) {
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (it.value().isString())
                sizes.append(it.value().toString().toUtf8().size());
        }
    }
    return sizes;
}

// The largest cap that keeps the texts, each cut to it, within budget bytes.
int largestCap(const QList<int>& sizes, int budget)
{
    const int mark = cutMark(INT_MAX).size();
    auto total = [&sizes, mark](int cap) {
        qint64 sum = 0;
        for (int size : sizes)
            sum += size <= cap ? size : qMax(cap, mark);
        return sum;
    };
    int low = 0;
    if (sizes.isEmpty())
        return 0;
    int high = *std::max_element(sizes.cbegin(), sizes.cend());
    while (low < high) {
        const int mid = low + (high - low + 1) / 2;
        if (total(mid) <= budget)
            low = mid;
        else
            high = mid - 1;
    }
    return low;
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
    // The largest cap on every text that keeps the whole within the bound,
    // found on the texts' sizes alone; serialised once to confirm, and
    // lowered when escaping made it larger than reckoned.
    const QList<int> sizes = textSizes(results);
    int cap = largestCap(sizes, maxBytes - compactSize(capTexts(results, 0)));
    QJsonArray bounded = capTexts(results, cap);
    int size = compactSize(bounded);
    while (size > maxBytes && cap > 0) {
        cap = int(qint64(cap) * maxBytes / size * 9 / 10);
        bounded = capTexts(results, cap);
        size = compactSize(bounded);
    }
    if (size > maxBytes)
        bounded = dropResults(bounded, maxBytes);
    qWarning() << "receipt of" << utf8.size() << "bytes cut to" << maxBytes << "with" << results.size()
               << "results, each text to at most" << cap << "bytes";
    return QString::fromUtf8(QJsonDocument(bounded).toJson(QJsonDocument::Compact));
}
