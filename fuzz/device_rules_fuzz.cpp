// Feeds arbitrary bytes to the capture-device rules' reader and event applier, and checks
// what must hold for any input: nothing crashes or reaches outside a list; what the record
// writes reads back, through its saved and reparsed text, as the same fields (the numbers
// as "%g" gives them); the form for monitors carries nothing of the local part or the
// clock's sources and changes nothing else; an event never adds an entry.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/xml_document.h"
#include "fuzz/fuzz_support.h"
#include "records/capture_device_rules.h"

namespace {

using qav::CaptureDeviceRules;
using qav::fuzz::Check;

// `record` written by `write` under a fresh root, through the wire text, and read back
// from the parsed text into `into`.
void ThroughText(CaptureDeviceRules& record, void (CaptureDeviceRules::*write)(qav::XmlElement),
                 CaptureDeviceRules& into) {
    qav::fuzz::ThroughText([&](qav::XmlElement root) { (record.*write)(root); },
                           [&](qav::XmlElement root) { into.ReadXml(root.FirstChild()); });
}

// Equal to the six significant digits that "%g" keeps; then `written` takes `read`'s place.
void CheckRounded(double read, double& written) {
    Check(std::fabs(read - written) <= 1e-5 * std::fabs(read) + 1e-300);
    written = read;
}

// What no form writes: a value whose mask bit is clear, and the output port of a VMD
// entry that has none. `written` takes these from `record`.
void KeepHidden(const CaptureDeviceRules& record, CaptureDeviceRules& written) {
    Check(written.m_vmdChannels.size() == record.m_vmdChannels.size() &&
          written.m_temperatureLimits.size() == record.m_temperatureLimits.size() &&
          written.m_videoChannelRules.size() == record.m_videoChannelRules.size());
    for (size_t i = 0; i < record.m_vmdChannels.size(); ++i) {
        const qav::VMDChParams& from = record.m_vmdChannels[i];
        qav::VMDChParams& to = written.m_vmdChannels[i];
        if ((from.m_mask & qav::VMDChParams::kSpacialThreshold) == 0) {
            to.m_motionSpacialThreshold = from.m_motionSpacialThreshold;
        }
        if ((from.m_mask & qav::VMDChParams::kLightThreshold) == 0) {
            to.m_motionLightThreshold = from.m_motionLightThreshold;
        }
        if ((from.m_mask & qav::VMDChParams::kRectangle) == 0) {
            to.m_xStart = from.m_xStart;
            to.m_xEnd = from.m_xEnd;
            to.m_yStart = from.m_yStart;
            to.m_yEnd = from.m_yEnd;
        }
        if (from.m_outputPortIndex < 0) {  // any negative index: no port
            to.m_outputPortIndex = from.m_outputPortIndex;
            to.m_detectionValue = from.m_detectionValue;
        }
    }
    for (size_t i = 0; i < record.m_temperatureLimits.size(); ++i) {
        const qav::TemperatureLimitsEntry& from = record.m_temperatureLimits[i];
        qav::TemperatureLimitsEntry& to = written.m_temperatureLimits[i];
        if ((from.m_mask & qav::TemperatureLimitsEntry::kMinimum) == 0) {
            to.m_minimumTemperature = from.m_minimumTemperature;
        }
        if ((from.m_mask & qav::TemperatureLimitsEntry::kMaximum) == 0) {
            to.m_maximumTemperature = from.m_maximumTemperature;
        }
    }
    for (size_t i = 0; i < record.m_videoChannelRules.size(); ++i) {
        if ((record.m_videoChannelRules[i].m_mask & qav::VideoChannelRule::kCameraPowerPort) == 0) {
            written.m_videoChannelRules[i].m_cameraPowerPortIndex =
                record.m_videoChannelRules[i].m_cameraPowerPortIndex;
            written.m_videoChannelRules[i].m_powerOnPortValue =
                record.m_videoChannelRules[i].m_powerOnPortValue;
        }
    }
    if (!record.m_hasMinPartialPower) {
        written.m_minPartialPower = record.m_minPartialPower;
    }
    if (!record.m_localControlEnable) {
        written.m_initialOperationMode = record.m_initialOperationMode;
    }
}

// `record` through its text into a fresh record: the same fields, but for the rounding of
// the numbers and what no form writes.
void CheckThroughText(const CaptureDeviceRules& record) {
    CaptureDeviceRules source = record;
    CaptureDeviceRules again;
    ThroughText(source, &CaptureDeviceRules::WriteXml, again);
    CaptureDeviceRules written = again;
    again.m_distanceTriggerActive = record.m_distanceTriggerActive;  // never on the wire
    KeepHidden(record, again);
    CheckRounded(record.m_latitude, again.m_latitude);
    CheckRounded(record.m_longitude, again.m_longitude);
    CheckRounded(record.m_minPartialPower, again.m_minPartialPower);
    Check(again == record);

    CaptureDeviceRules monitor;
    ThroughText(source, &CaptureDeviceRules::WriteXmlForMonitor, monitor);
    const CaptureDeviceRules fresh;
    Check(monitor.m_localControlEnable == fresh.m_localControlEnable &&
          monitor.m_initialOperationMode == fresh.m_initialOperationMode &&
          monitor.m_audioChannelsGrouping == fresh.m_audioChannelsGrouping &&
          monitor.m_synchronizationNtp == fresh.m_synchronizationNtp &&
          monitor.m_synchronizationLocation == fresh.m_synchronizationLocation &&
          monitor.m_ntpEnable == fresh.m_ntpEnable &&
          monitor.m_ntpServerAddress == fresh.m_ntpServerAddress);
    // Over the record read from its full form, the form for monitors changes nothing.
    CaptureDeviceRules overlaid = written;
    ThroughText(written, &CaptureDeviceRules::WriteXmlForMonitor, overlaid);
    Check(overlaid == written);
}

// Each element read as rules, then as an event applied to the last rules element met.
class RulesChecker {
  public:
    void operator()(qav::XmlElement element) {
        CaptureDeviceRules read;
        read.ReadXml(element);
        CheckThroughText(read);
        qav::WString name;
        if (element.GetName(name) && name == u"qav:CaptureDeviceRules") {
            m_rules = read;
        }

        qav::CaptureDeviceEvent event;
        event.ReadXml(element);
        const size_t outputs = m_rules.m_mediaOutputStreams.size();
        const CaptureDeviceRules before = m_rules;
        m_rules.ApplyEvent(event);
        Check(m_rules.m_mediaOutputStreams.size() <= outputs &&
              m_rules.m_vmdChannels.size() == before.m_vmdChannels.size() &&
              m_rules.m_videoChannelRules.size() == before.m_videoChannelRules.size() &&
              m_rules.m_temperatureLimits.size() == before.m_temperatureLimits.size());
        if (event.m_type < 20 || event.m_type > 78) {
            Check(m_rules == before);
        }
        CheckThroughText(m_rules);
    }

  private:
    CaptureDeviceRules m_rules;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RulesChecker checker;
    return qav::fuzz::CheckXmlElements(data, size,
                                       [&checker](qav::XmlElement element) { checker(element); });
}
