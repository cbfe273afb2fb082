#pragma once

#include <QSslConfiguration>
#include <QString>

// TLS settings of the client, loaded from the three PEM files: the CA that
// must have signed the server certificate, the client certificate and its key.
class TlsSetup
{
public:
    // Not configured: every request fails until load() has succeeded.
    TlsSetup();

    static TlsSetup load(const QString& caCertPath, const QString& certPath, const QString& keyPath);

    bool isUsable() const { return m_usable; }
    // Why the setup cannot be used; empty when it can.
    QString error() const { return m_error; }
    QSslConfiguration configuration() const { return m_configuration; }

private:
    bool m_usable = false;
    QString m_error;
    QSslConfiguration m_configuration;
};
