#pragma once

#include <QObject>

class QTimer;

// Ends the program when its system bus connection is gone: the bus daemon
// drops a connection that sent something it refuses, or stops itself, and
// a program without its bus hears no push and delivers no receipt. Exiting
// non-zero lets the service manager start it again on a fresh connection.
// Lives on the main thread.
class BusWatch : public QObject
{
    Q_OBJECT
public:
    static constexpr int kExitCode = 3;
    static constexpr int kCheckIntervalMs = 2000;

    explicit BusWatch(QObject* parent = nullptr);

private:
    Q_DISABLE_COPY(BusWatch)
    void check();

    QTimer* m_timer = nullptr;
    bool m_seen = false;
    bool m_lost = false;
};
