#include "records/port_status.h"

#include "records/record_fields.h"

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
    SyncList(wrapper, u"qav:InputPort", kQavNamespaceUri, direction, ports, SyncInputPortBody);
}

void SyncOutputPortList(XmlElement wrapper, uint32_t direction,
                        std::vector<OutputPortStatus>& ports) {
    SyncList(wrapper, u"qav:OutputPort", kQavNamespaceUri, direction, ports, SyncOutputPortBody);
}

void SyncRecordingActionList(XmlElement wrapper, uint32_t direction,
                             std::vector<RecordingAction>& actions) {
    SyncList(wrapper, u"qav:RecordingAction", kQavNamespaceUri, direction, actions,
             SyncRecordingActionBody);
}

}  // namespace qav
