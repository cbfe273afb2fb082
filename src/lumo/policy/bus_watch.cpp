#include "bus_watch.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QtDebug>

namespace {
// The bus library sends this signal to its own connection, from no sender,
// once the connection has been closed.
const QString kLocalPath = QStringLiteral("/org/freedesktop/DBus/Local");
const QString kLocalInterface = QStringLiteral("org.freedesktop.DBus.Local");
const QString kDisconnected = QStringLiteral("Disconnected");
} // namespace

BusWatch::BusWatch(QObject* parent)
    : QObject(parent)
{
    // Without a bus from the start (a test without one) there is nothing to
    // start again for, and nothing to listen on.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    if (!bus.connect(QString(), kLocalPath, kLocalInterface, kDisconnected, this,
                     SLOT(onDisconnected())))
        qWarning() << "cannot listen for the end of the system bus connection:"
                   << bus.lastError().message();
}

void BusWatch::onDisconnected()
{
    if (m_lost)
        return;
    m_lost = true;
    qCritical() << "system bus connection lost, exiting with status" << kExitCode
                << "to be started again";
    QCoreApplication::exit(kExitCode);
}
