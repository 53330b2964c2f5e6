// Feeds arbitrary bytes to the capture-device configuration's reader and checks what must
// hold for any input: reading never crashes, what the record writes reads back into a
// fresh record as exactly the same fields, and the reduced form for monitors carries every
// field it shares with the full one and none of the device's secrets.
#include <cstddef>
#include <cstdint>

#include "core/xml_document.h"
#include "fuzz/fuzz_support.h"
#include "records/capture_device_config.h"

namespace {

using qav::CaptureDeviceConfig;
using qav::fuzz::Check;

// `write` applied to `record` under a fresh root, through the wire text, and read back
// from the parsed text into `into`.
template <typename Write>
void ThroughText(CaptureDeviceConfig& record, Write write, CaptureDeviceConfig& into) {
    qav::fuzz::ThroughText([&](qav::XmlElement root) { (record.*write)(root); },
                           [&](qav::XmlElement root) { into.ReadXml(root.FirstChild()); });
}

void CheckElement(qav::XmlElement element) {
    CaptureDeviceConfig read;
    read.ReadXml(element);

    CaptureDeviceConfig again;
    ThroughText(read, &CaptureDeviceConfig::WriteXml, again);
    Check(again == read);

    CaptureDeviceConfig monitor;
    ThroughText(read, &CaptureDeviceConfig::WriteXmlForMonitor, monitor);
    Check(monitor.m_password.empty() && monitor.m_configPassword.empty() &&
          monitor.m_smsCommandAuthCode.empty() && monitor.m_ptzProtocols.empty());
    // Over the full record, the reduced form changes nothing but the list it lacks.
    CaptureDeviceConfig overlaid = read;
    ThroughText(read, &CaptureDeviceConfig::WriteXmlForMonitor, overlaid);
    overlaid.m_ptzProtocols = read.m_ptzProtocols;
    Check(overlaid == read);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qav::fuzz::CheckXmlElements(data, size, CheckElement);
}
