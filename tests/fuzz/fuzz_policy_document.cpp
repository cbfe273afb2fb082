// Policy documents from the management server, as both executors read them,
// and the result array built from their settings.
#include "fuzz_support.h"

#include "lumo/policy/abstract_policy.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {
class DocumentPolicy : public AbstractPolicy
{
public:
    bool execPolicy(const PolicyInfo&) override { return true; }
    void callFunction(QString, QString) override {}
    using AbstractPolicy::beginDocument;
};

// Enough results to cover several entries without growing with the input.
constexpr int kMaxResults = 8;
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzzsupport::prepare(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    DocumentPolicy policy;
    const quint64 document = policy.beginDocument();
    policy.parsePolicy(fuzzsupport::bytes(data, size));
    const QMap<QString, QString> settings = policy.getPolicy();

    // Each setting's value stands in for its result text: both come from outside.
    int recorded = 0;
    for (auto it = settings.cbegin(); it != settings.cend() && recorded < kMaxResults; ++it) {
        if (recorded % 2 == 0)
            policy.appendExecResult(it.key(), it.value());
        else if (!policy.appendExecResult(document, it.key(), it.value()))
            fuzzsupport::fail("result of the current document dropped");
        ++recorded;
    }
    if (policy.appendExecResult(document + 1, QStringLiteral("late"), QStringLiteral("late")))
        fuzzsupport::fail("result of another document recorded");

    // The server reads this text as a JSON array with one object per result.
    QJsonParseError error;
    const QJsonDocument results = QJsonDocument::fromJson(policy.getExecResult().toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !results.isArray()
        || results.array().size() != recorded) {
        fuzzsupport::fail("result array is not one JSON object per recorded result");
    }
    return 0;
}
