// Answers to the policy pull: the receiver's check, the cache and policy
// files it writes, and its fallback to the last accepted document.
#include "fuzz_support.h"

#include "common/base/constants.h"
#include "lumo/policy/policy_receiver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace {
PolicyReceiver* g_receiver = nullptr;

const QByteArray kAccepted = QByteArrayLiteral(
    "{\"code\":0,\"msg\":\"ok\",\"data\":{\"md5\":\"a1\",\"policys\":[{\"policy_key\":\"ntp\","
    "\"configs\":[{\"config_key\":\"ntpServer\",\"config_value\":\"ntp.lab.internal\"}]}]}}");

// Below the sandbox, one per process: libFuzzer's workers share the sandbox.
QString g_workDir;

QString cacheDir()
{
    return fuzzsupport::root() + QLatin1Char('/') + g_workDir + QStringLiteral("/cache");
}

QString policyPath()
{
    return fuzzsupport::root() + QLatin1Char('/') + g_workDir + QStringLiteral("/system_policy.json");
}

void writeAccepted()
{
    fuzzsupport::writeFile(g_workDir + QStringLiteral("/system_policy.json"), kAccepted);
}

// Whatever the answer was, the files the executor reads hold whole JSON documents.
void checkWrittenFiles()
{
    const QFileInfoList files =
        QDir(cacheDir()).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& info : files) {
        if (info.fileName().startsWith(QLatin1Char('.')))
            fuzzsupport::fail("unfinished write left in the cache directory");
        QFile file(info.absoluteFilePath());
        if (!file.open(QIODevice::ReadOnly) || QJsonDocument::fromJson(file.readAll()).isNull())
            fuzzsupport::fail("cache file is not a JSON document");
        file.remove();
    }
    QFile policy(policyPath());
    if (!policy.open(QIODevice::ReadOnly) || QJsonDocument::fromJson(policy.readAll()).isNull())
        fuzzsupport::fail("policy file is not a JSON document");
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzzsupport::prepare(argc, argv);
    g_workDir = QStringLiteral("receiver-") + QString::number(QCoreApplication::applicationPid());
    QDir().mkpath(cacheDir());

    PolicyInfo info;
    info.ip = QStringLiteral("127.0.0.1");
    info.port = QStringLiteral("9");
    info.url = vorn::kSystemPolicyUrl;
    info.machineId = QStringLiteral("fuzz");
    info.policyPath = policyPath();
    info.cachePath = cacheDir();
    // No queue: an accepted answer is only logged as not queued.
    g_receiver = new PolicyReceiver(info);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = fuzzsupport::bytes(data, size);
    // The same last accepted document for every input keeps runs repeatable.
    writeAccepted();

    g_receiver->parsePolicy(cacheDir() + QStringLiteral("/check"), policyPath(), input);
    checkWrittenFiles();

    // The HTTPS client hands the body over as text.
    writeAccepted();
    g_receiver->completePull(-1, -1, QString::fromUtf8(input), 200);
    checkWrittenFiles();
    return 0;
}
