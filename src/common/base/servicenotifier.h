#pragma once

#include <QObject>
#include <QString>

class QTimer;

namespace vorn {
namespace base {

// What the service manager hears from the program: that it is ready, a
// one-line status, that it is stopping, and watchdog pings. Run without
// NOTIFY_SOCKET (by hand, in most tests) every call does nothing. The pings
// come from a timer of the thread this object lives in, the main thread, so
// they stop when its event loop is stuck and the manager restarts the program.
class ServiceNotifier : public QObject
{
    Q_OBJECT
public:
    explicit ServiceNotifier(QObject* parent = nullptr);
    ~ServiceNotifier() override;

    // How often the watchdog is pinged (half the period the manager asks
    // for), or 0 when it asks for none.
    int pingIntervalMs() const;

    void ready();
    // Sent only when the text changed; one line, control characters blanked.
    void setStatus(const QString& text);
    void stopping();

    static constexpr int kMaxStatusChars = 400;

private:
    Q_DISABLE_COPY(ServiceNotifier)
    void send(const QByteArray& state);

    QTimer* m_watchdog = nullptr;
    QString m_status;
    bool m_failureLogged = false;
};

} // namespace base
} // namespace vorn
