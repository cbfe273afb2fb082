#pragma once

#include <QObject>

// Ends the program when its system bus connection is gone: the bus daemon
// drops a connection that sent something it refuses, or stops itself, and
// a program without its bus hears no push and delivers no receipt. Exiting
// non-zero lets the service manager start it again on a fresh connection.
// The connection announces its own end, so nothing here wakes while idle.
// Lives on the main thread.
class BusWatch : public QObject
{
    Q_OBJECT
public:
    static constexpr int kExitCode = 3;

    explicit BusWatch(QObject* parent = nullptr);

private slots:
    void onDisconnected();

private:
    Q_DISABLE_COPY(BusWatch)

    bool m_lost = false;
};
