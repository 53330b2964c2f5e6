// Feeds arbitrary bytes to the device command's reader and checks what must hold for any
// input: reading never crashes, a command without a type is not written, and what a
// command writes reads back, through its wire text, into a fresh command as exactly the
// same fields (its doubles as they travel, "%g").
#include <cstddef>
#include <cstdint>

#include "core/text_utils.h"
#include "fuzz/fuzz_support.h"
#include "records/capture_device_command.h"

namespace {

using qav::fuzz::Check;

double AsTravelled(double value) {
    qav::WString text;
    qav::DoubleToWString(value, text);
    return qav::WStringToDouble(text);
}

void CheckElement(qav::XmlElement element) {
    qav::CaptureDeviceCommand read;
    read.ReadXml(element);
    Check(read.m_dataSize >= 0 && read.m_payload == nullptr);

    qav::CaptureDeviceCommand again;
    const bool written = qav::fuzz::ReadBackThroughText(read, again);
    if (read.m_type == 0) {
        Check(!written);
        return;
    }
    Check(written);

    qav::CaptureDeviceCommand expected = read;
    expected.m_playbackSpeed = AsTravelled(read.m_playbackSpeed);
    expected.m_doubleValue = AsTravelled(read.m_doubleValue);
    Check(again == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qav::fuzz::CheckXmlElements(data, size, CheckElement);
}
