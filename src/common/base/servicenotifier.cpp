#include "servicenotifier.h"

#include <QTimer>
#include <QtDebug>

#include <cstdint>
#include <cstring>
#include <systemd/sd-daemon.h>

namespace vorn {
namespace base {

ServiceNotifier::ServiceNotifier(QObject* parent)
    : QObject(parent)
{
    // Nobody to ping: no timer waking the program up for nothing.
    if (qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
        return;
    uint64_t periodUs = 0;
    // The variables stay: sd_notify needs NOTIFY_SOCKET at every call, and a
    // child that finds WATCHDOG_PID naming another process pings nothing.
    if (sd_watchdog_enabled(0, &periodUs) <= 0 || periodUs == 0)
        return;
    const uint64_t intervalMs = qBound<uint64_t>(1, periodUs / 2000, INT32_MAX);
    m_watchdog = new QTimer(this);
    m_watchdog->setInterval(static_cast<int>(intervalMs));
    connect(m_watchdog, &QTimer::timeout, this, [this] { send(QByteArrayLiteral("WATCHDOG=1")); });
    m_watchdog->start();
    qInfo() << "service manager watchdog every" << periodUs / 1000 << "ms, pinged every"
            << intervalMs << "ms";
}

ServiceNotifier::~ServiceNotifier() = default;

int ServiceNotifier::pingIntervalMs() const
{
    return m_watchdog ? m_watchdog->interval() : 0;
}

void ServiceNotifier::ready()
{
    send(QByteArrayLiteral("READY=1"));
}

void ServiceNotifier::setStatus(const QString& text)
{
    QString line = text.left(kMaxStatusChars);
    // A new line would end the status and start another assignment.
    for (QChar& c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    if (line == m_status)
        return;
    m_status = line;
    send("STATUS=" + line.toUtf8());
}

void ServiceNotifier::stopping()
{
    // The loop that pings does not run any more; the manager stops watching.
    if (m_watchdog)
        m_watchdog->stop();
    send(QByteArrayLiteral("STOPPING=1"));
}

void ServiceNotifier::send(const QByteArray& state)
{
    const int sent = sd_notify(0, state.constData());
    if (sent >= 0 || m_failureLogged)
        return;
    // Once: a watchdog ping that fails fails again every period.
    m_failureLogged = true;
    qWarning() << "cannot notify the service manager:" << std::strerror(-sent);
}

} // namespace base
} // namespace vorn
