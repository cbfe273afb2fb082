#include "asynchttpclientapi.h"
#include "testserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

constexpr int kWaitMs = 30000;

struct Outcome
{
    bool done = false;
    int calls = 0;
    QString text;
    int code = -1;
    bool onMainThread = false;
};
using OutcomePtr = std::shared_ptr<Outcome>;

AsyncHttpClientApi::Callback recorder(const OutcomePtr& outcome)
{
    return [outcome](QString text, int code) {
        ++outcome->calls;
        outcome->done = true;
        outcome->text = text;
        outcome->code = code;
        outcome->onMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    };
}

QByteArray fileContent()
{
    // Same pattern as the test server's /file.
    QByteArray data(300 * 1024, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7 + 3) % 251);
    return data;
}

QStringList dirEntries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::Name);
}

} // namespace

class TstAsyncHttpClientApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void getRequest_data();
    void getRequest();
    void tlsFailure_data();
    void tlsFailure();
    void serverNameFromCertificate();
    void noAnswer_data();
    void noAnswer();
    void serverRequiresClientCertificate();
    void recoversAfterBadConfiguration();
    void callbackOnMainThreadFromWorker();
    void download_data();
    void download();
    void downloadMissingDirectory();

private:
    QString cert(const QString& name) const { return m_certs.filePath(name); }
    QString url(quint16 port, const QString& path) const
    {
        return QStringLiteral("https://127.0.0.1:%1%2").arg(port).arg(path);
    }
    quint16 startServer(QProcess* process, const QString& certName, const QString& keyName);
    void useGoodConfig();

    QTemporaryDir m_certs;
    QProcess m_server;
    QProcess m_expiredServer;
    QProcess m_wrongNameServer;
    QTcpServer m_silent;
    quint16 m_port = 0;
    quint16 m_expiredPort = 0;
    quint16 m_wrongNamePort = 0;
    quint16 m_closedPort = 0;
};

quint16 TstAsyncHttpClientApi::startServer(QProcess* process, const QString& certName, const QString& keyName)
{
    return tarntest::startServer(process, m_certs.path(), certName, keyName);
}

void TstAsyncHttpClientApi::initTestCase()
{
    QVERIFY(m_certs.isValid());
    QProcess certs;
    certs.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(LAB_CERTS_SCRIPT), m_certs.path()});
    QVERIFY(certs.waitForFinished(60000));
    QVERIFY2(certs.exitStatus() == QProcess::NormalExit && certs.exitCode() == 0,
             certs.readAllStandardError().constData());

    m_port = startServer(&m_server, QStringLiteral("server.crt"), QStringLiteral("server.key"));
    QVERIFY2(m_port != 0, m_server.readAllStandardError().constData());
    m_expiredPort = startServer(&m_expiredServer, QStringLiteral("server-expired.crt"),
                                QStringLiteral("server-expired.key"));
    QVERIFY2(m_expiredPort != 0, m_expiredServer.readAllStandardError().constData());
    m_wrongNamePort = startServer(&m_wrongNameServer, QStringLiteral("server-wrong-name.crt"),
                                  QStringLiteral("server-wrong-name.key"));
    QVERIFY2(m_wrongNamePort != 0, m_wrongNameServer.readAllStandardError().constData());

    // Listens (the kernel completes the TCP handshake) but never answers.
    QVERIFY(m_silent.listen(QHostAddress::LocalHost));
    m_silent.pauseAccepting();

    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    m_closedPort = closed.serverPort();
    closed.close();
}

void TstAsyncHttpClientApi::cleanupTestCase()
{
    for (QProcess* process : {&m_server, &m_expiredServer, &m_wrongNameServer}) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

void TstAsyncHttpClientApi::useGoodConfig()
{
    AsyncHttpClientApi::getInstance()->setSSLConfig(cert(QStringLiteral("ca.crt")), cert(QStringLiteral("client.crt")),
                                                    cert(QStringLiteral("client.key")));
}

void TstAsyncHttpClientApi::init()
{
    useGoodConfig();
}

void TstAsyncHttpClientApi::getRequest_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("body");

    const QString ok = QStringLiteral("{\"code\":0,\"msg\":\"ok\"}");
    QTest::newRow("ok") << "/ok" << 200 << ok;
    QTest::newRow("not found, body kept") << "/notfound" << 404 << "{\"error\":\"not found\"}";
    QTest::newRow("server error, body kept") << "/fail" << 500 << "{\"error\":\"server failure\"}";
    QTest::newRow("redirect on the same server") << "/redirect-same" << 200 << ok;
    QTest::newRow("redirect to another host") << "/redirect-other" << int(AsyncHttpClientApi::RedirectRefused)
                                              << QString();
    QTest::newRow("redirect to plain http") << "/redirect-http" << int(AsyncHttpClientApi::RedirectRefused)
                                            << QString();
    QTest::newRow("body over the limit") << "/big" << int(AsyncHttpClientApi::BodyTooLarge) << QString();
    QTest::newRow("body over the limit, no length") << "/bigstream" << int(AsyncHttpClientApi::BodyTooLarge)
                                                    << QString();
    QTest::newRow("connection closed mid-body") << "/truncated" << int(AsyncHttpClientApi::NoAnswer)
                                                << "Connection closed";
}

void TstAsyncHttpClientApi::getRequest()
{
    QFETCH(QString, path);
    QFETCH(int, code);
    QFETCH(QString, body);

    auto outcome = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->getRequest(recorder(outcome), url(m_port, path), QString(), 20);
    QVERIFY2(!outcome->done, "callback ran inside the call");
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, kWaitMs);
    QCOMPARE(outcome->code, code);
    QCOMPARE(outcome->text, body);
    QVERIFY(outcome->onMainThread);
    QCOMPARE(outcome->calls, 1);
}

void TstAsyncHttpClientApi::tlsFailure_data()
{
    QTest::addColumn<QString>("ca");
    QTest::addColumn<QString>("clientCert");
    QTest::addColumn<QString>("clientKey");
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("fast");

    const QString good = QStringLiteral("good");
    QTest::newRow("server not signed by our CA") << "other-ca.crt" << "client.crt" << "client.key" << good << false;
    QTest::newRow("client certificate from another CA") << "ca.crt" << "other-client.crt" << "other-client.key"
                                                        << good << false;
    QTest::newRow("expired server certificate") << "ca.crt" << "client.crt" << "client.key" << "expired" << false;
    QTest::newRow("server certificate for another name") << "ca.crt" << "client.crt" << "client.key" << "wrong-name"
                                                         << false;
    QTest::newRow("key does not match certificate") << "ca.crt" << "client.crt" << "other-client.key" << good
                                                    << false;
    QTest::newRow("missing CA file") << "absent.crt" << "client.crt" << "client.key" << good << true;
    QTest::newRow("missing certificate file") << "ca.crt" << "absent.crt" << "client.key" << good << true;
    QTest::newRow("missing key file") << "ca.crt" << "client.crt" << "absent.key" << good << true;
    QTest::newRow("no certificate file given") << "ca.crt" << "" << "client.key" << good << true;
    QTest::newRow("key file holds no key") << "ca.crt" << "client.crt" << "ca.crt" << good << true;
    QTest::newRow("certificate file holds no certificate") << "ca.crt" << "client.key" << "client.key" << good
                                                           << true;
}

void TstAsyncHttpClientApi::tlsFailure()
{
    QFETCH(QString, ca);
    QFETCH(QString, clientCert);
    QFETCH(QString, clientKey);
    QFETCH(QString, server);
    QFETCH(bool, fast);

    const quint16 port = server == QLatin1String("expired") ? m_expiredPort
        : server == QLatin1String("wrong-name")             ? m_wrongNamePort
                                                            : m_port;
    AsyncHttpClientApi::getInstance()->setSSLConfig(cert(ca), clientCert.isEmpty() ? QString() : cert(clientCert),
                                                    cert(clientKey));
    auto outcome = std::make_shared<Outcome>();
    QElapsedTimer clock;
    clock.start();
    AsyncHttpClientApi::getInstance()->getRequest(recorder(outcome), url(port, QStringLiteral("/ok")), QString(), 20);
    QVERIFY2(!outcome->done, "callback ran inside the call");
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, kWaitMs);
    QCOMPARE(outcome->code, int(AsyncHttpClientApi::NoAnswer));
    // The text names why; the caller puts it into its failure report.
    QVERIFY(!outcome->text.isEmpty());
    QVERIFY(outcome->onMainThread);
    if (fast)
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
}

void TstAsyncHttpClientApi::serverNameFromCertificate()
{
    // The certificate names 127.0.0.1 and localhost; both are accepted.
    auto outcome = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->getRequest(
        recorder(outcome), QStringLiteral("https://localhost:%1/ok").arg(m_port), QString(), 20);
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, kWaitMs);
    QCOMPARE(outcome->code, 200);
}

void TstAsyncHttpClientApi::noAnswer_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("timeout");

    QTest::newRow("request never answered") << url(m_port, QStringLiteral("/slow"))
                                            << int(AsyncHttpClientApi::Timeout) << 1;
    QTest::newRow("TLS handshake never answered") << url(m_silent.serverPort(), QStringLiteral("/ok"))
                                                  << int(AsyncHttpClientApi::Timeout) << 2;
    QTest::newRow("closed port") << url(m_closedPort, QStringLiteral("/ok")) << int(AsyncHttpClientApi::NoAnswer)
                                 << 20;
    QTest::newRow("not https") << QStringLiteral("http://127.0.0.1:%1/ok").arg(m_port)
                               << int(AsyncHttpClientApi::NoAnswer) << 20;
}

void TstAsyncHttpClientApi::noAnswer()
{
    QFETCH(QString, target);
    QFETCH(int, code);
    QFETCH(int, timeout);

    auto outcome = std::make_shared<Outcome>();
    QElapsedTimer clock;
    clock.start();
    AsyncHttpClientApi::getInstance()->getRequest(recorder(outcome), target, QString(), timeout);
    QVERIFY2(!outcome->done, "callback ran inside the call");
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, timeout * 1000 + 3000);
    QCOMPARE(outcome->code, code);
    QVERIFY(AsyncHttpClientApi::isNoAnswer(outcome->code));
    if (code == AsyncHttpClientApi::Timeout)
        QVERIFY(clock.elapsed() >= timeout * 1000 - 100);
}

void TstAsyncHttpClientApi::serverRequiresClientCertificate()
{
    // Guards the lab server: a client without a certificate gets no answer.
    QSslSocket socket;
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setCaCertificates(QSslCertificate::fromPath(cert(QStringLiteral("ca.crt"))));
    socket.setSslConfiguration(conf);
    QByteArray received;
    connect(&socket, &QSslSocket::encrypted, &socket,
            [&socket] { socket.write("GET /ok HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"); });
    connect(&socket, &QSslSocket::readyRead, &socket, [&] { received += socket.readAll(); });
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_port);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
    QVERIFY2(!received.contains("200"), received.constData());
}

void TstAsyncHttpClientApi::recoversAfterBadConfiguration()
{
    AsyncHttpClientApi::getInstance()->setSSLConfig(cert(QStringLiteral("ca.crt")), cert(QStringLiteral("absent.crt")),
                                                    cert(QStringLiteral("client.key")));
    auto failed = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->getRequest(recorder(failed), url(m_port, QStringLiteral("/ok")), QString(), 20);
    useGoodConfig();
    auto ok = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->getRequest(recorder(ok), url(m_port, QStringLiteral("/ok")), QString(), 20);
    QTRY_VERIFY_WITH_TIMEOUT(failed->done && ok->done, kWaitMs);
    QCOMPARE(failed->code, int(AsyncHttpClientApi::NoAnswer));
    QCOMPARE(ok->code, 200);
}

void TstAsyncHttpClientApi::callbackOnMainThreadFromWorker()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("worker.bin"));
    auto get = std::make_shared<Outcome>();
    auto download = std::make_shared<Outcome>();
    const QString getUrl = url(m_port, QStringLiteral("/ok"));
    const QString fileUrl = url(m_port, QStringLiteral("/file"));
    std::unique_ptr<QThread> worker(QThread::create([=] {
        AsyncHttpClientApi::getInstance()->getRequest(recorder(get), getUrl, QString(), 20);
        AsyncHttpClientApi::getInstance()->downloadFile(recorder(download), target, fileUrl, QString(), false, {},
                                                        20);
    }));
    worker->start();
    QVERIFY(worker->wait(kWaitMs));
    QTRY_VERIFY_WITH_TIMEOUT(get->done && download->done, kWaitMs);
    QCOMPARE(get->code, 200);
    QVERIFY(get->onMainThread);
    QCOMPARE(download->code, 200);
    QVERIFY(download->onMainThread);
    QCOMPARE(download->text, target);
}

void TstAsyncHttpClientApi::download_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<bool>("preexisting");
    QTest::addColumn<int>("code");

    for (bool pre : {false, true}) {
        const char* suffix = pre ? ", over an older file" : "";
        QTest::addRow("ok%s", suffix) << "/file" << 20 << pre << 200;
        QTest::addRow("not found%s", suffix) << "/notfound" << 20 << pre << 404;
        QTest::addRow("server error%s", suffix) << "/fail" << 20 << pre << 500;
        QTest::addRow("timeout%s", suffix) << "/slow" << 1 << pre << int(AsyncHttpClientApi::Timeout);
        QTest::addRow("connection closed mid-body%s", suffix) << "/truncated" << 20 << pre
                                                              << int(AsyncHttpClientApi::NoAnswer);
        QTest::addRow("over the limit%s", suffix) << "/bigstream" << 30 << pre
                                                  << int(AsyncHttpClientApi::BodyTooLarge);
        QTest::addRow("redirect to another host%s", suffix) << "/redirect-other" << 20 << pre
                                                            << int(AsyncHttpClientApi::RedirectRefused);
    }
}

void TstAsyncHttpClientApi::download()
{
    QFETCH(QString, path);
    QFETCH(int, timeout);
    QFETCH(bool, preexisting);
    QFETCH(int, code);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("picture.png"));
    const QByteArray older("older content");
    if (preexisting) {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(older), qint64(older.size()));
    }

    auto outcome = std::make_shared<Outcome>();
    AsyncHttpClientApi::getInstance()->downloadFile(recorder(outcome), target, url(m_port, path), QString(), false,
                                                    {}, timeout);
    QVERIFY2(!outcome->done, "callback ran inside the call");
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, timeout * 1000 + kWaitMs);
    QCOMPARE(outcome->code, code);
    QVERIFY(outcome->onMainThread);
    QCOMPARE(outcome->calls, 1);

    // Nothing but the target (if any) is left in the directory.
    const bool success = code >= 200 && code < 300;
    QCOMPARE(dirEntries(dir.path()), (success || preexisting) ? QStringList{QStringLiteral("picture.png")}
                                                              : QStringList{});
    if (success) {
        QCOMPARE(outcome->text, target);
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), fileContent());
        QCOMPARE(QFileInfo(target).permissions() & (QFile::ReadOther | QFile::WriteOther), QFile::ReadOther);
    } else {
        QVERIFY(!outcome->text.isEmpty());
        QVERIFY(outcome->text != target);
        if (preexisting) {
            QFile file(target);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), older);
        }
    }
}

void TstAsyncHttpClientApi::downloadMissingDirectory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("absent/picture.png"));
    auto outcome = std::make_shared<Outcome>();
    QElapsedTimer clock;
    clock.start();
    AsyncHttpClientApi::getInstance()->downloadFile(recorder(outcome), target, url(m_port, QStringLiteral("/file")),
                                                    QString(), false, {}, 20);
    QVERIFY2(!outcome->done, "callback ran inside the call");
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, kWaitMs);
    QCOMPARE(outcome->code, int(AsyncHttpClientApi::LocalFileError));
    QVERIFY(!outcome->text.isEmpty());
    QVERIFY(clock.elapsed() < 2000);
    QCOMPARE(dirEntries(dir.path()), QStringList{});
}

QTEST_GUILESS_MAIN(TstAsyncHttpClientApi)
#include "tst_asynchttpclientapi.moc"
