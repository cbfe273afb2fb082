#include "tlssetup.h"

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QtDebug>

namespace {

// Larger files are not PEM certificates or keys we could use.
constexpr qint64 kMaxPemBytes = 1024 * 1024;

bool readPem(const QString& path, const char* what, QByteArray* data, QString* error)
{
    if (path.isEmpty()) {
        *error = QStringLiteral("no %1 file given").arg(QLatin1String(what));
        return false;
    }
    // The session agent runs as the desktop user: a key kept for root alone
    // fails here, and the text must say which file and why.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1 not readable: %2: %3").arg(QLatin1String(what), path, file.errorString());
        return false;
    }
    if (file.size() > kMaxPemBytes) {
        *error = QStringLiteral("%1 file \"%2\" is too large").arg(QLatin1String(what), path);
        return false;
    }
    *data = file.readAll();
    return true;
}

void warnIfNotCurrent(const QSslCertificate& cert, const QString& path)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (cert.expiryDate() < now || cert.effectiveDate() > now) {
        qWarning() << "tarnhttp: certificate is not valid now" << path << "valid from"
                   << cert.effectiveDate().toString(Qt::ISODate) << "until"
                   << cert.expiryDate().toString(Qt::ISODate);
    }
}

} // namespace

TlsSetup::TlsSetup()
    : m_error(QStringLiteral("TLS client certificate not configured"))
{
}

TlsSetup TlsSetup::load(const QString& caCertPath, const QString& certPath, const QString& keyPath)
{
    TlsSetup setup;
    QByteArray caData;
    QByteArray certData;
    QByteArray keyData;
    if (!readPem(caCertPath, "CA certificate", &caData, &setup.m_error)
        || !readPem(certPath, "client certificate", &certData, &setup.m_error)
        || !readPem(keyPath, "client key", &keyData, &setup.m_error)) {
        return setup;
    }

    const QList<QSslCertificate> caCerts = QSslCertificate::fromData(caData, QSsl::Pem);
    if (caCerts.isEmpty()) {
        setup.m_error = QStringLiteral("no PEM certificate in CA certificate file \"%1\"").arg(caCertPath);
        return setup;
    }
    for (const QSslCertificate& cert : caCerts)
        warnIfNotCurrent(cert, caCertPath);

    // The first certificate is ours, any further ones are its chain.
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certData, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        setup.m_error = QStringLiteral("no PEM certificate in client certificate file \"%1\"").arg(certPath);
        return setup;
    }
    warnIfNotCurrent(chain.first(), certPath);

    QSslKey key(keyData, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    if (key.isNull())
        key = QSslKey(keyData, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    if (key.isNull()) {
        setup.m_error = QStringLiteral("no unencrypted RSA or EC private key in client key file \"%1\"").arg(keyPath);
        return setup;
    }

    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    // Only our CA: the system's trust store must not vouch for the server.
    conf.setCaCertificates(caCerts);
    conf.setLocalCertificateChain(chain);
    conf.setPrivateKey(key);
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    setup.m_configuration = conf;
    setup.m_usable = true;
    setup.m_error.clear();
    return setup;
}
