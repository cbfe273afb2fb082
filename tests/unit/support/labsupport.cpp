#include "labsupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <signal.h>

namespace vorn {
namespace test {

namespace {
constexpr int kStartTimeoutMs = 30000;
const QString kVorngService = QStringLiteral("com.kestal.vorn.vorng");
const QString kVorngPath = QStringLiteral("/com/kestal/vorn/vorng");
const QString kMockInterface = QStringLiteral("org.freedesktop.DBus.Mock");

std::atomic<LogCapture*> s_capture{nullptr};
} // namespace

QString sourceDir()
{
    const QString fromEnv = qEnvironmentVariable("VORN_SOURCE_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(VORN_TEST_SOURCE_DIR) : fromEnv;
}

QString python()
{
    return QStringLiteral("/usr/bin/python3");
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

// ---- LogCapture ----------------------------------------------------------

LogCapture::LogCapture()
{
    s_capture.store(this);
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    s_capture.store(nullptr);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    LogCapture* self = s_capture.load();
    if (!self)
        return;
    {
        QMutexLocker locker(&self->m_mutex);
        self->m_lines.append(message);
    }
    if (self->m_previous)
        self->m_previous(type, context, message);
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&m_mutex);
    return m_lines;
}

QStringList LogCapture::linesWith(const QString& text) const
{
    QMutexLocker locker(&m_mutex);
    return m_lines.filter(text);
}

int LogCapture::count(const QString& text) const
{
    return linesWith(text).size();
}

void LogCapture::clear()
{
    QMutexLocker locker(&m_mutex);
    m_lines.clear();
}

// ---- processes -------------------------------------------------------------

void endProcess(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGCONT); // a paused child cannot handle SIGTERM
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

// ---- PrivateSystemBus ------------------------------------------------------

PrivateSystemBus::PrivateSystemBus(const QString& workDir)
    : m_dir(workDir)
{
}

PrivateSystemBus::~PrivateSystemBus()
{
    stop();
}

bool PrivateSystemBus::start()
{
    QDir().mkpath(m_dir);
    const QString socket = QDir(m_dir).absoluteFilePath(QStringLiteral("system_bus_socket"));
    const QString config = QDir(m_dir).absoluteFilePath(QStringLiteral("system-bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = file.errorString();
        return false;
    }
    file.write(QStringLiteral(
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                   " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n"
                   "  <type>system</type>\n"
                   "  <listen>unix:path=%1</listen>\n"
                   "  <auth>EXTERNAL</auth>\n"
                   "  <policy context=\"default\">\n"
                   "    <allow user=\"*\"/>\n"
                   "    <allow own=\"*\"/>\n"
                   "    <allow send_type=\"method_call\"/>\n"
                   "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                   "    <allow receive_sender=\"*\"/>\n"
                   "    <allow eavesdrop=\"true\"/>\n"
                   "  </policy>\n"
                   "</busconfig>\n")
                   .arg(socket)
                   .toUtf8());
    file.close();

    m_process.setProgram(QStringLiteral("dbus-daemon"));
    m_process.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                            QStringLiteral("--print-address")});
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start();
    if (!m_process.waitForStarted(kStartTimeoutMs)) {
        m_error = m_process.errorString();
        return false;
    }
    QByteArray line;
    QDeadlineTimer deadline(kStartTimeoutMs);
    while (!line.contains('\n') && !deadline.hasExpired()) {
        if (!m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        line += m_process.readAllStandardOutput();
    }
    m_address = QString::fromUtf8(line.trimmed());
    if (m_address.isEmpty()) {
        m_error = QStringLiteral("dbus-daemon printed no address: ")
                  + QString::fromUtf8(m_process.readAllStandardError());
        stop();
        return false;
    }
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
    return true;
}

void PrivateSystemBus::stop()
{
    endProcess(m_process);
}

// ---- VorngMock -------------------------------------------------------------

VorngMock::VorngMock(const QString& workDir)
    : m_dir(workDir)
    , m_callsFile(QDir(workDir).absoluteFilePath(QStringLiteral("vorng-calls.jsonl")))
{
}

VorngMock::~VorngMock()
{
    stop();
}

bool VorngMock::start(const QVariantMap& parameters)
{
    QDir().mkpath(m_dir);
    QVariantMap params = parameters;
    params.insert(QStringLiteral("calls_file"), m_callsFile);
    const QByteArray json = QJsonDocument(QJsonObject::fromVariantMap(params)).toJson(QJsonDocument::Compact);
    m_process.setProgram(python());
    m_process.setArguments({QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                            QStringLiteral("--template"),
                            sourceDir() + QStringLiteral("/tools/lab/vorng_template.py"),
                            QStringLiteral("-p"), QString::fromUtf8(json)});
    // The mock logs every call; keep that out of the test output.
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(QDir(m_dir).absoluteFilePath(QStringLiteral("mock.log")));
    m_process.start();
    if (!m_process.waitForStarted(kStartTimeoutMs)) {
        m_error = m_process.errorString();
        return false;
    }
    QDBusConnectionInterface* bus = QDBusConnection::systemBus().interface();
    const bool up = waitFor(
        [&] {
            return m_process.state() != QProcess::Running
                   || (bus && bus->isServiceRegistered(kVorngService).value());
        },
        kStartTimeoutMs);
    if (!up || m_process.state() != QProcess::Running) {
        QFile log(QDir(m_dir).absoluteFilePath(QStringLiteral("mock.log")));
        log.open(QIODevice::ReadOnly);
        m_error = QStringLiteral("the core client service mock did not come up: ")
                  + QString::fromUtf8(log.readAll());
        stop();
        return false;
    }
    return true;
}

void VorngMock::stop()
{
    endProcess(m_process);
    QDBusConnectionInterface* bus = QDBusConnection::systemBus().interface();
    if (bus)
        waitFor([&] { return !bus->isServiceRegistered(kVorngService).value(); }, 5000);
}

QList<QVariantList> VorngMock::calls(const QString& method) const
{
    QList<QVariantList> result;
    QFile file(m_callsFile);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    while (!file.atEnd()) {
        const QJsonObject call = QJsonDocument::fromJson(file.readLine()).object();
        if (call.value(QStringLiteral("method")).toString() == method)
            result.append(call.value(QStringLiteral("args")).toArray().toVariantList());
    }
    return result;
}

void VorngMock::clearCalls()
{
    QFile file(m_callsFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.close();
}

bool VorngMock::control(const QString& method, const QVariantList& args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kVorngService, kVorngPath, kMockInterface, method);
    call.setArguments(args);
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        m_error = reply.errorMessage();
        return false;
    }
    return true;
}

bool VorngMock::emitSignal(const QString& name, const QString& signature, const QVariantList& args)
{
    QVariantList wrapped;
    for (const QVariant& arg : args)
        wrapped.append(QVariant::fromValue(QDBusVariant(arg)));
    return control(QStringLiteral("EmitSignal"),
                   {QString(), name, signature, QVariant::fromValue(wrapped)});
}

bool VorngMock::setProperty(const QString& name, const QVariant& value)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kVorngService, kVorngPath,
                                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Set"));
    call.setArguments({kVorngService, name, QVariant::fromValue(QDBusVariant(value))});
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        m_error = reply.errorMessage();
        return false;
    }
    return true;
}

// ---- LabServer -------------------------------------------------------------

LabServer::LabServer(const QString& workDir)
    : m_dir(workDir)
{
}

LabServer::~LabServer()
{
    stop();
}

bool LabServer::start(const QStringList& arguments)
{
    QDir().mkpath(m_dir);
    m_process.setProgram(python());
    m_process.setArguments(QStringList{sourceDir() + QStringLiteral("/tools/lab/server.py"),
                                       QStringLiteral("--dir"), m_dir}
                           + arguments);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setReadChannel(QProcess::StandardOutput);
    m_process.start();
    if (!m_process.waitForStarted(kStartTimeoutMs)) {
        m_error = m_process.errorString();
        return false;
    }
    // Certificates are made on first start, which takes a few seconds.
    QByteArray line;
    QDeadlineTimer deadline(60000);
    while (!line.contains('\n') && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        line += m_process.readAllStandardOutput();
    }
    const QJsonObject info = QJsonDocument::fromJson(line.trimmed()).object();
    m_port = info.value(QStringLiteral("port")).toInt();
    m_adminPort = info.value(QStringLiteral("admin_port")).toInt();
    if (m_port <= 0) {
        m_error = QStringLiteral("lab server did not start: ")
                  + QString::fromUtf8(m_process.readAllStandardError());
        stop();
        return false;
    }
    return true;
}

void LabServer::stop()
{
    endProcess(m_process);
}

QString LabServer::certPath(const QString& name) const
{
    return QDir(m_dir).absoluteFilePath(QStringLiteral("certs/") + name);
}

QString LabServer::filesDir() const
{
    return QDir(m_dir).absoluteFilePath(QStringLiteral("files"));
}

QJsonArray LabServer::requests() const
{
    QJsonArray result;
    QFile file(QDir(m_dir).absoluteFilePath(QStringLiteral("requests.jsonl")));
    if (!file.open(QIODevice::ReadOnly))
        return result;
    while (!file.atEnd()) {
        const QJsonDocument line = QJsonDocument::fromJson(file.readLine());
        if (line.isObject())
            result.append(line.object());
    }
    return result;
}

QByteArray LabServer::admin(const QByteArray& verb, const QString& path, const QByteArray& body)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_adminPort).arg(path)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply* reply = manager.sendCustomRequest(request, verb, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    QByteArray answer;
    if (reply->isFinished() && reply->error() == QNetworkReply::NoError)
        answer = reply->readAll();
    else
        m_error = reply->errorString();
    reply->abort();
    delete reply;
    return answer;
}

} // namespace test
} // namespace vorn
