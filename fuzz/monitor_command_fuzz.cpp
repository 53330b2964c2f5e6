// Feeds arbitrary bytes to the monitor command's reader and checks what must hold for any
// input: reading never crashes, no negative length is taken, and what a command writes
// reads back, through its wire text, into a fresh command as exactly the same fields.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "records/monitor_command.h"

namespace {

using qav::fuzz::Check;

void CheckElement(qav::XmlElement element) {
    qav::MonitorCommand read;
    read.ReadXml(element);
    Check(read.m_dataSize >= 0 && read.m_payload == nullptr);
    const uint8_t** payload = nullptr;
    const uint32_t length = read.GetPayload(payload);
    Check(payload == nullptr
              ? length == 0
              : payload == &read.m_payload && length == static_cast<uint32_t>(read.m_dataSize));

    qav::MonitorCommand again;
    Check(qav::fuzz::ReadBackThroughText(read, again));
    Check(again == read);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qav::fuzz::CheckXmlElements(data, size, CheckElement);
}
