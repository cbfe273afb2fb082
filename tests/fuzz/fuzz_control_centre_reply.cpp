// The server's list of control-centre modules, as the session executor reads it.
#include "fuzz_support.h"

#include "lumo/qars/session_policy_executor.h"

namespace {
SessionPolicyExecutor* g_executor = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzzsupport::prepare(argc, argv);
    // Never started: only the completion of the list request is exercised.
    g_executor = new SessionPolicyExecutor(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The HTTPS client hands the body over as text.
    g_executor->controlCenterList(QString::fromUtf8(fuzzsupport::bytes(data, size)), 200);
    // Every answer replaces the previous list, an unusable one with an empty list.
    const QStringList modules = g_executor->controlCenterModules();
    if (modules.size() > int(size))
        fuzzsupport::fail("more modules than the answer could hold");
    return 0;
}
