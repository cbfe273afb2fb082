#include "bus_watch.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>
#include <QtDebug>

BusWatch::BusWatch(QObject* parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    // Asking whether the connection is up is a local call; no bus traffic.
    connect(m_timer, &QTimer::timeout, this, &BusWatch::check);
    m_timer->start(kCheckIntervalMs);
    check();
}

void BusWatch::check()
{
    if (QDBusConnection::systemBus().isConnected()) {
        m_seen = true;
        return;
    }
    // Only a connection that was up can be lost; without a bus from the
    // start (a test without one) there is nothing to start again for.
    if (m_lost || !m_seen)
        return;
    m_lost = true;
    m_timer->stop();
    qCritical() << "system bus connection lost, exiting with status" << kExitCode
                << "to be started again";
    QCoreApplication::exit(kExitCode);
}
