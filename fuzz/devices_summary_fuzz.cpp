// Feeds arbitrary bytes to the readers of the devices summary and the status extension, to
// the extension's command applier and to the building of a summary entry from a status, and
// checks what must hold for any input: nothing crashes, and what each record writes reads
// back, through its saved and reparsed text, into a fresh record as exactly the same fields
// (its battery level as it travels, "%g", and left out when unknown).
#include <cstddef>
#include <cstdint>

#include "core/text_utils.h"
#include "fuzz/fuzz_support.h"
#include "records/capture_device_config.h"
#include "records/capture_device_status.h"
#include "records/capture_device_status_extension.h"
#include "records/devices_summary.h"

namespace {

using qav::fuzz::Check;

double AsTravelled(double value) {
    qav::WString text;
    qav::DoubleToWString(value, text);
    return qav::WStringToDouble(text);
}

void CheckSummary(qav::DevicesSummary& summary) {
    qav::DevicesSummary expected = summary;
    for (qav::DevicesSummary::DeviceEntry& entry : expected.m_devices) {
        entry.m_partialPower =
            entry.m_partialPower >= 0.0 ? AsTravelled(entry.m_partialPower) : -1.0;
    }
    qav::DevicesSummary again;
    Check(qav::fuzz::ReadBackThroughText(summary, again));
    Check(again == expected);
}

void CheckExtension(qav::CaptureDeviceStatusExtension& extension) {
    constexpr size_t kMax = qav::CaptureDeviceStatusExtension::kMaxListEntries;
    Check(extension.m_dynamicInputPorts.size() <= kMax &&
          extension.m_dynamicOutputPorts.size() <= kMax && extension.m_temperatures.size() <= kMax);
    for (const qav::TemperatureReading& reading : extension.m_temperatures) {
        const int32_t found = extension.FindTemperature(reading.m_name);
        Check(found >= 0 &&
              extension.m_temperatures[static_cast<size_t>(found)].m_name == reading.m_name);
    }
    qav::CaptureDeviceStatusExtension expected = extension;
    expected.m_partialPower = AsTravelled(extension.m_partialPower);
    qav::CaptureDeviceStatusExtension again;
    Check(qav::fuzz::ReadBackThroughText(extension, again));
    if (!extension.m_hasTimestampSync) {  // the numbers travel only with the flag
        expected.m_ntpTime = again.m_ntpTime;
        expected.m_timestamp = again.m_timestamp;
    }
    Check(again == expected);
}

// Each element of the input read as every record; the command is applied to, and the
// summary entry built from, the last extension, status and configuration elements met.
class SummaryChecker {
  public:
    void operator()(qav::XmlElement element) {
        qav::WString name;
        element.GetName(name);
        qav::DevicesSummary summary;
        summary.ReadXml(element);
        CheckSummary(summary);

        qav::CaptureDeviceStatusExtension extension;
        extension.ReadXml(element);
        CheckExtension(extension);
        if (name == u"qav:CaptureDeviceStatusExtension") {
            m_extension = extension;
        }
        if (name == u"qav:CaptureDeviceStatus") {
            m_status.ReadXml(element);
        }
        if (name == u"qav:CaptureDeviceConfig") {
            m_config.ReadXml(element);
        }

        qav::MonitorCommand command;
        command.ReadXml(element);
        const size_t ports = m_extension.m_dynamicInputPorts.size();
        m_extension.ApplyMonitorCommand(command);
        Check(m_extension.m_dynamicInputPorts.size() + 1 >= ports &&
              m_extension.m_dynamicInputPorts.size() <= ports + 1);
        Check(m_extension.CountChangedDynamicInputPorts() >= 0);
        CheckExtension(m_extension);

        summary.ClearDevices();
        m_status.AddToDevicesSummary(m_config, m_extension, summary);
        Check(summary.m_devices.size() == 1 &&
              summary.m_devices[0].m_inputPorts.size() <= m_status.m_inputPorts.size());
        CheckSummary(summary);
    }

  private:
    qav::CaptureDeviceStatusExtension m_extension;
    qav::CaptureDeviceStatus m_status;
    qav::CaptureDeviceConfig m_config;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SummaryChecker checker;
    return qav::fuzz::CheckXmlElements(data, size,
                                       [&checker](qav::XmlElement element) { checker(element); });
}
