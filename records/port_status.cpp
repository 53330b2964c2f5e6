#include "records/port_status.h"

#include "records/entry_fields.h"

namespace qav {
namespace {

void SyncInputPortBody(XmlElement element, uint32_t direction, InputPortStatus& port) {
    SyncPortBody(element, direction, port);
    SyncRecordingActionList(element.FindOrCreateChild(u"qav:RecordingActions", kQavNamespaceUri,
                                                      direction != kSyncRead),
                            direction, port.m_recordingActions);
}

void SyncOutputPortBody(XmlElement element, uint32_t direction, OutputPortStatus& port) {
    SyncPortBody(element, direction, port);
}

}  // namespace

void SyncPortBody(XmlElement element, uint32_t direction, PortStatus& port) {
    SyncTextAttribute(element, u"qav:Name", kQavNamespaceUri, direction, port.m_name);
    SyncIntAttribute(element, u"qav:Value", kQavNamespaceUri, direction, port.m_value);
}

void SyncRecordingActionBody(XmlElement element, uint32_t direction, RecordingAction& action) {
    // Each number sits in an attribute of a child of its own.
    SyncChildIntAttribute(element, u"qav:VideoChannel", u"qav:Index", kQavNamespaceUri, direction,
                          action.m_videoChannel);
    SyncChildIntAttribute(element, u"qav:AudioChannel", u"qav:Index", kQavNamespaceUri, direction,
                          action.m_audioChannel);
    SyncChildIntAttribute(element, u"qav:Time", u"qav:NumberOfSeconds", kQavNamespaceUri, direction,
                          action.m_numberOfSeconds);
}

void SyncInputPortList(XmlElement wrapper, uint32_t direction,
                       std::vector<InputPortStatus>& ports) {
    SyncEntryList(wrapper, u"qav:InputPort", direction, ports, SyncInputPortBody);
}

void SyncOutputPortList(XmlElement wrapper, uint32_t direction,
                        std::vector<OutputPortStatus>& ports) {
    SyncEntryList(wrapper, u"qav:OutputPort", direction, ports, SyncOutputPortBody);
}

void SyncRecordingActionList(XmlElement wrapper, uint32_t direction,
                             std::vector<RecordingAction>& actions) {
    SyncEntryList(wrapper, u"qav:RecordingAction", direction, actions, SyncRecordingActionBody);
}

}  // namespace qav
