#pragma once

// Shared start-up of the real outside parts for the unit tests: a private
// system bus, the lab's core client service on it, the lab's management
// server, and a capture of the process's log messages.
//
//   QString sourceDir()              top of the source tree (VORN_SOURCE_DIR or the
//                                    directory this library was built from)
//   QString python()                 "/usr/bin/python3", the interpreter that sees dbusmock
//   bool waitFor(cond, timeoutMs)    polls cond while processing events; false on timeout
//
//   LogCapture                       records every Qt message of every thread while it lives
//                                    (and still prints them); lines(), count(text),
//                                    contains(text), linesWith(text), clear()
//
//   PrivateSystemBus bus(dir)        bus.start(): dbus-daemon child with a permissive policy
//                                    listening in dir; exports DBUS_SYSTEM_BUS_ADDRESS. Start it
//                                    before the first QDBusConnection::systemBus() of the process.
//                                    address(), stop() (also in the destructor)
//
//   VorngMock mock(dir)              mock.start(params): tools/lab/vorng_template.py under
//                                    python-dbusmock on the system bus, waits for its name; params
//                                    are the template's (TimeInterval, MachineID, ...).
//                                    calls(method): the args of each call, oldest first (from the
//                                    template's calls file); clearCalls();
//                                    control(method, args): a lab control method on
//                                    org.freedesktop.DBus.Mock (SetReplyFailures, SetReplyDelay,
//                                    SetTimeInterval, EmitSignal); setProperty(name, value);
//                                    stop(), pid()
//
//   LabServer server(dir)            server.start(args): tools/lab/server.py with its own
//                                    certificates in dir/certs; port(), adminPort(),
//                                    certPath("ca.crt" | "client.crt" | "client.key" | ...),
//                                    filesDir() (served as https://127.0.0.1:port/<name>),
//                                    requests() (the request log, oldest first),
//                                    admin(verb, path, body) (the control port), stop()
//
// Every child is ended by its own process id when its owner goes.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

namespace vorn {
namespace test {

QString sourceDir();
QString python();
bool waitFor(const std::function<bool()>& condition, int timeoutMs);

class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    QStringList linesWith(const QString& text) const;
    int count(const QString& text) const;
    bool contains(const QString& text) const { return count(text) > 0; }
    void clear();

private:
    Q_DISABLE_COPY(LogCapture)
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};

// Ends a child: SIGTERM, then SIGKILL after a short grace time.
void endProcess(QProcess& process);

class PrivateSystemBus
{
public:
    explicit PrivateSystemBus(const QString& workDir);
    ~PrivateSystemBus();

    bool start();
    void stop();
    QString address() const { return m_address; }
    QString errorString() const { return m_error; }

private:
    Q_DISABLE_COPY(PrivateSystemBus)
    QString m_dir;
    QString m_address;
    QString m_error;
    QProcess m_process;
};

class VorngMock
{
public:
    explicit VorngMock(const QString& workDir);
    ~VorngMock();

    bool start(const QVariantMap& parameters = {});
    void stop();
    qint64 pid() const { return m_process.processId(); }
    QString errorString() const { return m_error; }

    // Arguments of each call of method, oldest first.
    QList<QVariantList> calls(const QString& method) const;
    void clearCalls();
    // Calls a method of org.freedesktop.DBus.Mock on the service; true on a reply.
    bool control(const QString& method, const QVariantList& args = {});
    bool emitSignal(const QString& name, const QString& signature, const QVariantList& args);
    bool setProperty(const QString& name, const QVariant& value);

private:
    Q_DISABLE_COPY(VorngMock)
    QString m_dir;
    QString m_callsFile;
    QString m_error;
    QProcess m_process;
};

class LabServer
{
public:
    explicit LabServer(const QString& workDir);
    ~LabServer();

    bool start(const QStringList& arguments = {});
    void stop();
    int port() const { return m_port; }
    int adminPort() const { return m_adminPort; }
    QString certPath(const QString& name) const;
    QString filesDir() const;
    QJsonArray requests() const;
    // One request to the control port; the answer's body, or a null array on failure.
    QByteArray admin(const QByteArray& verb, const QString& path, const QByteArray& body = {});
    QString errorString() const { return m_error; }

private:
    Q_DISABLE_COPY(LabServer)
    QString m_dir;
    QString m_error;
    int m_port = 0;
    int m_adminPort = 0;
    QProcess m_process;
};

} // namespace test
} // namespace vorn
