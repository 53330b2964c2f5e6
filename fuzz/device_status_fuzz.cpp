// Feeds arbitrary bytes to the capture-device status's reader and to its event and command
// appliers, and checks what must hold for any input: nothing crashes or writes outside a
// list, and what the record writes reads back, through its saved and reparsed text, into a
// fresh record as exactly the same fields — before and after the changes are applied.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/xml_document.h"
#include "fuzz/fuzz_support.h"
#include "records/capture_device_status.h"

namespace {

using qav::CaptureDeviceStatus;
using qav::fuzz::Check;

// The wire part of `record` through its text into a fresh record must equal `record`.
void CheckThroughText(const CaptureDeviceStatus& record) {
    CaptureDeviceStatus source = record;
    qav::XmlDocument document;
    qav::XmlElement root = document.CreateRoot(u"Root", nullptr);
    source.WriteXml(root);
    std::string text;
    document.SaveToString(text);
    root = document.LoadFromText(text.data(), static_cast<int>(text.size()));
    Check(root.IsValid());
    CaptureDeviceStatus again;
    again.ReadXml(root.FirstChild());
    again.m_audioDefaultChannel = record.m_audioDefaultChannel;  // never on the wire
    Check(again == record);
}

// Each element of the input read as a status, then as an event and as a command applied to
// the last status element met (with no channels to name, an index can only be refused).
class StatusChecker {
  public:
    void operator()(qav::XmlElement element) {
        CaptureDeviceStatus read;
        read.ReadXml(element);
        CheckThroughText(read);
        qav::WString name;
        if (element.GetName(name) && name == u"qav:CaptureDeviceStatus") {
            m_status = read;
        }

        qav::CaptureDeviceEvent event;
        event.ReadXml(element);
        const size_t phoneEntries = m_status.m_phoneEntries.size();
        const size_t videoChannels = m_status.m_videoChannels.size();
        m_status.ApplyEvent(event);
        Check(m_status.m_videoChannels.size() == videoChannels);
        Check(m_status.m_phoneEntries.size() + 1 >= phoneEntries);

        qav::MonitorCommand command;
        command.ReadXml(element);
        m_status.ApplyMonitorCommand(command);
        Check(!m_status.ApplyMonitorCommand(command));  // a second time finds nothing to change
        Check(m_status.m_videoChannels.size() == videoChannels);
        CheckThroughText(m_status);
    }

  private:
    CaptureDeviceStatus m_status;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StatusChecker checker;
    return qav::fuzz::CheckXmlElements(data, size,
                                       [&checker](qav::XmlElement element) { checker(element); });
}
