#include "pull_schedule.h"

#include "common/external/asynchttpclientapi.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QLocale>
#include <QRandomGenerator>
#include <QTimeZone>
#include <QtDebug>

#include <algorithm>

namespace {
constexpr qint64 kMaxJitterMs = 10 * 1000;

bool isServerTrouble(int code)
{
    return AsyncHttpClientApi::isNoAnswer(code) || code == 429 || (code >= 500 && code <= 599);
}

// The three date forms HTTP allows; the first is the one servers send. The
// day's name is left out: it says nothing the date does not, and a two-digit
// year would be checked against it in the wrong century.
QDateTime httpDate(const QString& text)
{
    static const char* const formats[] = {
        "dd MMM yyyy HH:mm:ss 'GMT'", // IMF-fixdate, after "Sun, "
        "dd-MMM-yy HH:mm:ss 'GMT'",   // RFC 850, after "Sunday, "
        "MMM d HH:mm:ss yyyy",        // asctime, after "Sun "
    };
    const QString simplified = text.simplified();
    const int comma = simplified.indexOf(QLatin1Char(','));
    const QString dated = comma >= 0 ? simplified.mid(comma + 1).trimmed()
                                     : simplified.section(QLatin1Char(' '), 1);
    const QLocale c = QLocale::c();
    for (const char* format : formats) {
        QDateTime when = c.toDateTime(dated, QLatin1String(format));
        if (when.isValid()) {
            when.setTimeSpec(Qt::UTC);
            // Two-digit years are of this century.
            if (when.date().year() < 1970)
                when = when.addYears(100);
            return when;
        }
    }
    return QDateTime();
}

qint64 randomBelow(qint64 limit)
{
    return limit > 0 ? qint64(QRandomGenerator::global()->bounded(double(limit))) : 0;
}
} // namespace

PullSchedule::PullSchedule(Clock clock)
    : m_clock(std::move(clock))
{
}

qint64 PullSchedule::now() const
{
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

qint64 PullSchedule::phaseMs(const QString& machineId, qint64 intervalMs)
{
    if (intervalMs <= 0)
        return 0;
    // A digest rather than qHash: the same on every machine and in every release.
    const QByteArray digest =
        QCryptographicHash::hash(machineId.toUtf8(), QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | quint8(digest.at(i));
    return qint64(value % quint64(intervalMs));
}

qint64 PullSchedule::jitterLimitMs(qint64 intervalMs)
{
    return std::min(kMaxJitterMs, std::max<qint64>(0, intervalMs / 30));
}

qint64 PullSchedule::nextTickDelayMs(const QString& machineId, qint64 intervalMs) const
{
    if (intervalMs <= 0)
        return 0;
    const qint64 t = now();
    const qint64 earliest = t + intervalMs / 2;
    const qint64 phase = phaseMs(machineId, intervalMs);
    // The first point phase + k * interval at or after `earliest`.
    qint64 k = (earliest - phase) / intervalMs;
    qint64 point = phase + k * intervalMs;
    while (point < earliest)
        point += intervalMs;
    return point - t + randomBelow(jitterLimitMs(intervalMs));
}

bool PullSchedule::mayPull() const
{
    return m_heldUntil <= now();
}

qint64 PullSchedule::heldUntil() const
{
    return m_heldUntil > now() ? m_heldUntil : 0;
}

QString PullSchedule::holdReason() const
{
    return m_reason;
}

qint64 PullSchedule::backoffBaseMs(int failures, qint64 intervalMs)
{
    if (failures < 2 || intervalMs <= 0)
        return 0;
    qint64 wait = intervalMs;
    for (int i = 1; i < failures && wait < kMaxWaitMs; ++i)
        wait *= 2;
    return std::min(wait, kMaxWaitMs);
}

qint64 PullSchedule::retryAfterTime(const QByteArray& value, qint64 now)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return -1;
    bool isNumber = false;
    const qlonglong seconds = text.toLongLong(&isNumber);
    if (isNumber)
        return seconds < 0 ? -1 : now + std::min<qint64>(seconds, kMaxWaitMs / 1000) * 1000;
    const QDateTime when = httpDate(QString::fromLatin1(text));
    return when.isValid() ? when.toMSecsSinceEpoch() : -1;
}

void PullSchedule::pullAnswered(int code, const QByteArray& retryAfter, qint64 intervalMs)
{
    if (code >= 200 && code <= 299) {
        if (m_failures > 0 || m_heldUntil > 0)
            qInfo() << "policy server answers again after" << m_failures
                    << "failed pulls; timer pulls back to normal";
        m_failures = 0;
        m_heldUntil = 0;
        m_reason.clear();
        return;
    }
    if (!isServerTrouble(code))
        return;

    const qint64 t = now();
    ++m_failures;
    qint64 until = 0;
    QString reason;
    if ((code == 429 || code == 503) && !retryAfter.isEmpty()) {
        const qint64 asked = retryAfterTime(retryAfter, t);
        if (asked > t) {
            until = std::min(asked, t + kMaxWaitMs);
            reason = QStringLiteral("server answered %1 with Retry-After %2")
                         .arg(code)
                         .arg(QString::fromLatin1(retryAfter.trimmed().left(64)));
        } else if (asked < 0) {
            qWarning() << "unusable Retry-After ignored:" << retryAfter.left(64);
        }
    }
    const qint64 base = backoffBaseMs(m_failures, intervalMs);
    if (base > 0) {
        // 0.75 to 1.25 times the base, never past the hour.
        const qint64 wait = std::min(kMaxWaitMs, base * 3 / 4 + randomBelow(base / 2));
        if (t + wait > until) {
            until = t + wait;
            reason = QStringLiteral("%1 failed pulls in a row, last code %2")
                         .arg(m_failures)
                         .arg(code);
        }
    }
    // A later answer never brings the server's wish forward.
    if (until > m_heldUntil) {
        m_heldUntil = until;
        m_reason = reason;
        qWarning().noquote() << "timer pulls held back until"
                             << QDateTime::fromMSecsSinceEpoch(until, Qt::UTC).toString(Qt::ISODate)
                             << ":" << reason;
    }
}
