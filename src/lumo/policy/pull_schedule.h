#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// When the interval timer pulls, and whether its pull may go to the server.
//
// Spread: a machine's ticks lie at a fixed phase within the interval, taken
// from a digest of its machine id and counted on the wall clock from the
// epoch, plus a small random jitter per tick. Machines started in the same
// second therefore pull at different moments of every interval, and a
// machine keeps its moment across restarts.
//
// Back-off: a server that answered 429 or 503 with Retry-After is not asked
// by the timer before that time; from the second server error or time-out in
// a row on, the timer asks only after a growing, jittered wait; each wait is
// at most an hour, and the first successful answer ends it.
//
// Main thread; the clock is the wall clock unless one is given.
class PullSchedule
{
public:
    using Clock = std::function<qint64()>; // milliseconds since the epoch, UTC
    static constexpr qint64 kMaxWaitMs = 3600 * 1000;

    explicit PullSchedule(Clock clock = Clock());

    qint64 now() const;

    // Where in each interval the ticks of `machineId` lie: 0 <= phase < interval.
    static qint64 phaseMs(const QString& machineId, qint64 intervalMs);
    // Ticks come up to this much after their phase point.
    static qint64 jitterLimitMs(qint64 intervalMs);
    // From now to the next tick: the first phase point at least half an
    // interval ahead (so a tick that fires a little early or late never
    // brings a second pull right after it), plus the jitter.
    qint64 nextTickDelayMs(const QString& machineId, qint64 intervalMs) const;

    // Whether a timer pull may go to the server now.
    bool mayPull() const;
    // Until when timer pulls are held back (ms since the epoch); 0 when they are not.
    qint64 heldUntil() const;
    // Why they are held back.
    QString holdReason() const;
    // Server errors and time-outs in a row.
    int failures() const { return m_failures; }

    // The outcome of a pull, timer or pushed, as the HTTP client gave it:
    // a 2xx answer ends any hold; no answer, a time-out, 429 or 5xx counts as
    // server trouble; other codes change nothing.
    void pullAnswered(int code, const QByteArray& retryAfter, qint64 intervalMs);

    // A Retry-After value (seconds, or an HTTP date) as ms since the epoch;
    // -1 when it is not one.
    static qint64 retryAfterTime(const QByteArray& value, qint64 now);
    // The wait after `failures` server troubles in a row, before its jitter
    // (0 for the first): twice the interval, doubling with each, up to an hour.
    static qint64 backoffBaseMs(int failures, qint64 intervalMs);

private:
    Clock m_clock;
    qint64 m_heldUntil = 0;
    int m_failures = 0;
    QString m_reason;
};
