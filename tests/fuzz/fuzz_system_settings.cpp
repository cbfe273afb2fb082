// Machine setting values that the daemon reads as JSON, applied to the
// adaption service's store below the sandbox's sysroot.
#include "fuzz_support.h"

#include "lumo/qarg/system_config.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzzsupport::prepare(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Policy values reach the handlers as text taken from the document.
    const QString value = QString::fromUtf8(fuzzsupport::bytes(data, size));
    if (SystemConfig::GetInstance()->setAppBlacklist(value).isEmpty())
        fuzzsupport::fail("application blacklist setting gave no result text");
    return 0;
}
