// The input and output port entries of a capture device's status: each port's value and
// name, and for an input port the recordings it starts (which video and audio channel,
// for how many seconds).
//
// Wire form (attributes of the entry's own element; an input port always carries its
// "qav:RecordingActions", also when it holds none):
//   <qav:InputPort qav:Name="Door" qav:Value="1"><qav:RecordingActions>
//   <qav:RecordingAction><qav:VideoChannel qav:Index="0"/><qav:AudioChannel qav:Index="1"/>
//   <qav:Time qav:NumberOfSeconds="30"/></qav:RecordingAction></qav:RecordingActions>
//   </qav:InputPort>
//   <qav:OutputPort qav:Name="Siren" qav:Value="0"/>
//
// Entries are plain values, copied whole; used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_element.h"

namespace qav {

struct RecordingAction {
    // A channel left out of the element is none rather than channel 0.
    int32_t m_videoChannel = -1;
    int32_t m_audioChannel = -1;
    int32_t m_numberOfSeconds = 0;

    bool operator==(const RecordingAction&) const = default;
};

// What input and output ports share.
struct PortStatus {
    int32_t m_value = 0;
    WString m_name;

    bool operator==(const PortStatus&) const = default;
};

struct InputPortStatus : PortStatus {
    std::vector<RecordingAction> m_recordingActions;

    bool operator==(const InputPortStatus&) const = default;
};

struct OutputPortStatus : PortStatus {
    bool operator==(const OutputPortStatus&) const = default;
};

// Body bindings on the entry's own element, kSyncWrite or kSyncRead. SyncPortBody binds
// the name and value of either kind of port.
void SyncPortBody(XmlElement element, uint32_t direction, PortStatus& port);
void SyncRecordingActionBody(XmlElement element, uint32_t direction, RecordingAction& action);

// List bindings: items "qav:InputPort", "qav:OutputPort" and "qav:RecordingAction" under
// `wrapper` (see SyncList).
void SyncInputPortList(XmlElement wrapper, uint32_t direction, std::vector<InputPortStatus>& ports);
void SyncOutputPortList(XmlElement wrapper, uint32_t direction,
                        std::vector<OutputPortStatus>& ports);
void SyncRecordingActionList(XmlElement wrapper, uint32_t direction,
                             std::vector<RecordingAction>& actions);

}  // namespace qav
