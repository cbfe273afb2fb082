#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

// The lab certificates and the mutual-TLS test server (tls_server.py) for
// the client library's tests.
namespace tarntest {

// Makes the lab certificates in dir; empty on success, else why not.
inline QString makeCerts(const QString& dir)
{
    QProcess certs;
    certs.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(LAB_CERTS_SCRIPT), dir});
    if (!certs.waitForFinished(60000) || certs.exitStatus() != QProcess::NormalExit || certs.exitCode() != 0)
        return QString::fromLocal8Bit(certs.readAllStandardError()) + QStringLiteral(" (certs.py failed)");
    return QString();
}

// Starts the server with a certificate and key of dir; its port, 0 when it
// did not come up. The server ends when the process object closes its input.
inline quint16 startServer(QProcess* process, const QString& dir, const QString& certName,
                           const QString& keyName)
{
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setReadChannel(QProcess::StandardOutput);
    process->start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(TARN_TEST_SERVER), dir + QLatin1Char('/') + certName,
                    dir + QLatin1Char('/') + keyName, dir + QStringLiteral("/ca.crt")});
    if (!process->waitForStarted(10000))
        return 0;
    QElapsedTimer clock;
    clock.start();
    while (!process->canReadLine() && clock.elapsed() < 20000 && process->state() == QProcess::Running)
        process->waitForReadyRead(500);
    const QByteArray line = process->readLine().trimmed();
    if (!line.startsWith("PORT "))
        return 0;
    return static_cast<quint16>(line.mid(5).toUInt());
}

inline void stopServer(QProcess* process)
{
    if (process->state() == QProcess::NotRunning)
        return;
    process->closeWriteChannel();
    if (!process->waitForFinished(5000)) {
        process->kill();
        process->waitForFinished(5000);
    }
}

} // namespace tarntest
