// Parsing and result collection of large policy documents, and queue hand-over.
#include "lumo/policy/abstract_policy.h"
#include "lumo/policy/policy_queue.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtGlobal>

#include <benchmark/benchmark.h>

namespace {

class BenchPolicy : public AbstractPolicy
{
public:
    bool execPolicy(const PolicyInfo&) override { return true; }
    void callFunction(QString, QString) override {}
    using AbstractPolicy::beginDocument;
};

QByteArray makeDocument(int settings, int valueBytes)
{
    QJsonArray policys;
    const int perPolicy = 100;
    const QString value(valueBytes, QLatin1Char('v'));
    for (int p = 0; p * perPolicy < settings; ++p) {
        QJsonArray configs;
        for (int c = 0; c < perPolicy && p * perPolicy + c < settings; ++c)
            configs.append(QJsonObject{{QStringLiteral("config_key"), QStringLiteral("key%1").arg(c)},
                                       {QStringLiteral("config_value"), value}});
        policys.append(QJsonObject{{QStringLiteral("policy_key"), QStringLiteral("policy%1").arg(p)},
                                   {QStringLiteral("configs"), configs}});
    }
    QJsonObject data{{QStringLiteral("md5"), QStringLiteral("0123456789abcdef")},
                     {QStringLiteral("policys"), policys}};
    return QJsonDocument(QJsonObject{{QStringLiteral("code"), 0}, {QStringLiteral("data"), data}})
        .toJson(QJsonDocument::Compact);
}

void parseSettings(benchmark::State& state)
{
    const QByteArray doc = makeDocument(int(state.range(0)), 16);
    BenchPolicy policy;
    for (auto _ : state) {
        policy.parsePolicy(doc);
        benchmark::DoNotOptimize(policy.getPolicy().size());
    }
    state.SetComplexityN(state.range(0));
    state.counters["bytes"] = double(doc.size());
}
BENCHMARK(parseSettings)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

void parseOneMegabyte(benchmark::State& state)
{
    // About 1 MB: 2000 settings of 450-byte values.
    const QByteArray doc = makeDocument(2000, 450);
    BenchPolicy policy;
    for (auto _ : state)
        benchmark::DoNotOptimize(policy.parsePolicy(doc));
    state.counters["bytes"] = double(doc.size());
}
BENCHMARK(parseOneMegabyte)->Unit(benchmark::kMillisecond);

void collectResults(benchmark::State& state)
{
    BenchPolicy policy;
    for (auto _ : state) {
        policy.beginDocument();
        for (int i = 0; i < state.range(0); ++i)
            policy.appendExecResult(QStringLiteral("policy/key%1").arg(i), QStringLiteral("success"));
        benchmark::DoNotOptimize(policy.getExecResult());
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(collectResults)->RangeMultiplier(10)->Range(100, 10000)->Complexity(benchmark::oN);

void queueHandOver(benchmark::State& state)
{
    PolicyQueue queue;
    PolicyInfo info;
    info.cachePath = QStringLiteral("/root/.cache/vorn/cache_policy/7_3");
    for (auto _ : state) {
        queue.pushPolicy(info);
        PolicyInfo out;
        queue.popPolicy(out);
        benchmark::DoNotOptimize(out.cachePath.size());
    }
}
BENCHMARK(queueHandOver);

} // namespace

int main(int argc, char** argv)
{
    // The queue logs every push and pop; keep the benchmark output readable.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
