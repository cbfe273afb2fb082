// Payloads of server pushes as the core client service relays them.
#include "fuzz_support.h"

#include "lumo/policy/push_message.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString payload = QString::fromUtf8(fuzzsupport::bytes(data, size));
    PushMessage message;
    message.jobId = -7;
    if (!PushMessage::parse(payload, message)) {
        // A refused payload must leave the caller's message alone.
        if (message.jobId != -7 || !message.object.isEmpty())
            fuzzsupport::fail("a refused payload changed the message");
        return 0;
    }
    for (const char* key : {"action", "vendor_id", "product_id", "serial_number", "alias_name"})
        message.text(QString::fromLatin1(key)).size();
    return 0;
}
