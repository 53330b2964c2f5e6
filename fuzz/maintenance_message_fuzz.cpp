// Feeds arbitrary bytes to the maintenance message's reader and checks what must hold for
// any input: reading never crashes, a message read holds no reference to bytes and no
// length or size below 0, a message without a type is not written, and what a message
// writes reads back, through its wire text, into a fresh message as exactly the same fields.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "records/maintenance_message.h"

namespace {

using qav::fuzz::Check;

bool IsPort(int32_t port) {
    return port >= 0 && port <= 65535;
}

void CheckElement(qav::XmlElement element) {
    qav::MaintenanceMessage read;
    read.ReadXml(element);
    Check(read.m_payload == nullptr && read.m_dataSize >= 0);
    Check(read.m_size >= 0 && read.m_offset >= 0 && IsPort(read.m_portNumber));
    for (const qav::NetworkAppAddress& address : read.m_networkAppAddresses) {
        Check(IsPort(address.m_portNumber));
    }

    qav::MaintenanceMessage again;
    const bool written = qav::fuzz::ReadBackThroughText(read, again);
    if (read.m_type == 0) {
        Check(!written);
        return;
    }
    Check(written);
    Check(again == read);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qav::fuzz::CheckXmlElements(data, size, CheckElement);
}
