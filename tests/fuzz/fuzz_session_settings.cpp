// Desktop setting values that the session agent reads as JSON, applied to
// the adaption service's store in the sandbox.
//
// Input: byte 0 picks the setting, the rest is its value.
#include "fuzz_support.h"

#include "lumo/qars/session_config.h"

namespace {
// All modules as the server lists them.
const QStringList kModules = {QStringLiteral("display"),  QStringLiteral("network"),
                              QStringLiteral("sound"),    QStringLiteral("power"),
                              QStringLiteral("datetime"), QStringLiteral("update"),
                              QStringLiteral("accounts"), QStringLiteral("defapp")};
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzzsupport::prepare(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // Policy values reach the handlers as text taken from the document.
    const QString value = QString::fromUtf8(fuzzsupport::bytes(data + 1, size - 1));
    SessionConfig* config = SessionConfig::GetInstance();
    if (data[0] % 2 == 0)
        config->setPowerConfig(value);
    else if (config->setControlCenter(kModules, value).isEmpty())
        fuzzsupport::fail("control centre setting gave no result text");
    return 0;
}
