#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

class StatusBoard;

namespace vorn {
namespace base {
class ServiceNotifier;
}
} // namespace vorn

// What the service manager is told about a program once its objects exist:
// ready when the system bus has answered a call made after the core client
// service's signals were subscribed (the bus handles a connection's messages
// in order, so its match rules are in place by then), and a status line that
// follows the status board. Lives on the main thread.
class ServiceManagerLink : public QObject
{
    Q_OBJECT
public:
    enum Usb { WithoutUsb, WithUsb };

    ServiceManagerLink(vorn::base::ServiceNotifier* notifier, StatusBoard* board, Usb usb,
                       QObject* parent = nullptr);

    // Call after the signals are subscribed; READY=1 follows the bus's answer.
    void announceWhenReady();

    // "policy <md5> applied <time>; last pull <time>: <outcome>; receipts
    // owed: N; USB control on" from the board's overview.
    static QString statusLine(const QJsonObject& overview, Usb usb);

    static constexpr int kBusTimeoutMs = 5000;
    static constexpr int kRetryMs = 1000;
    static constexpr int kMaxOutcomeChars = 120;

private:
    Q_DISABLE_COPY(ServiceManagerLink)
    void askBus();
    void updateStatus();

    vorn::base::ServiceNotifier* m_notifier;
    StatusBoard* m_board;
    Usb m_usb;
};
