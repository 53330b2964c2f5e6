#include "records/capture_device_event.h"

#include <array>
#include <cmath>
#include <initializer_list>

#include "core/xml_fields.h"
#include "records/list_index.h"
#include "records/record_fields.h"

namespace qav {

// Each value and each text stands once, so neither lookup depends on the row order.
const EnumTextRow kCaptureDeviceEventTypeTable[84] = {
    {1, u"Active Location Existence"},
    {2, u"Audio Bitrate Change"},
    {3, u"Audio Channel Enabled"},
    {4, u"Audio Channel Name Change"},
    {5, u"Audio Channel Open"},
    {6, u"Audio Channel Restart"},
    {7, u"Audio Sample Rate Change"},
    {8, u"Audio Encoded Sample Rate Change"},
    {9, u"Audio Number of Channels Change"},
    {10, u"Audio to Video Channel Attachment"},
    {11, u"Audio Default Channel Change"},
    {12, u"Audio Out Bitrate Change"},
    {13, u"Audio Out Channel Enabled"},
    {14, u"Audio Out Channel Name Change"},
    {15, u"Audio Out Channel Open"},
    {16, u"Audio Out Channel Restart"},
    {17, u"Audio Out Sample Rate Change"},
    {18, u"Audio Out Number of Channels Change"},
    {19, u"Audio Out Default Channel Change"},
    {20, u"Minimal Partial Battery Power Change"},
    {21, u"Minimal Partial Battery Power Disabled"},
    {22, u"Battery power too low"},
    {23, u"Connection Technology Change"},
    {24, u"Connection Provider Name"},
    {25, u"Device Connected"},
    {26, u"Device Disconnected"},
    {27, u"Device Oversleep"},
    {28, u"Device Rename"},
    {29, u"Device Time Set"},
    {30, u"Device Storage Functional State"},
    {31, u"Distance Trigger Disabled"},
    {32, u"Distance Trigger Active"},
    {33, u"Global time support"},
    {34, u"Input Port Rename"},
    {35, u"Input Port Value Set"},
    {36, u"Input Port Wakeup"},
    {37, u"Machine Restart"},
    {38, u"Media Output Stream Removed"},
    {39, u"Media Output Streams Removed"},
    {40, u"Max Packet Data Size Change"},
    {41, u"Minimal Temperature Change"},
    {42, u"Minimal Temperature Removed"},
    {43, u"Maximal Temperature Change"},
    {44, u"Maximal Temperature Removed"},
    {45, u"Temperature Too Low"},
    {46, u"Temperature Too High"},
    {47, u"Phone Text Message Change"},
    {48, u"Phone Text Sending Enable"},
    {49, u"Phone Text Sending Possible"},
    {50, u"Public Text Message"},
    {51, u"Serial port enable"},
    {52, u"Serial port open"},
    {53, u"Serial port name change"},
    {54, u"Serial port baud rate change"},
    {55, u"Text phone minimal time"},
    {56, u"Text phone on contact alarm"},
    {57, u"Text phone on motion detection"},
    {58, u"Text phone on location event"},
    {59, u"Text phone on low battery"},
    {60, u"Text phone on bad temperature"},
    {61, u"Text phone on storage event"},
    {62, u"Recordable Storage Existence"},
    {63, u"Restart Period Change"},
    {64, u"Target Phone Text Entry Removed"},
    {65, u"Video Channel Enabled"},
    {66, u"Video Channel Name Change"},
    {67, u"Video Channel Open"},
    {68, u"Video Channel Restart"},
    {69, u"Video Bitrate Change"},
    {70, u"Video Framerate Change"},
    {71, u"Video Image Size Change"},
    {72, u"Video Signal State"},
    {73, u"Video Frame Rotation Change"},
    {74, u"Visual Motion Detected"},
    {75, u"Visual Motion Detection Enabled"},
    {76, u"Video Default Channel Change"},
    {77, u"VMD Spacial Threshold Change"},
    {78, u"VMD Light Threshold Change"},
    {79, u"Output Port Rename"},
    {80, u"Output Port Value Set"},
    {81, u"ECG Heart Rate"},
    {82, u"Zone Entry"},
    {83, u"Zone Exit"},
    {84, u"User Event"},
};

namespace {

constexpr WChar kIndex[] = u"qav:Index";
constexpr WChar kValue[] = u"qav:Value";
constexpr WChar kName[] = u"qav:Name";

// What each kind carries besides its type, device and comment.
enum class Attributes : uint8_t {
    kNone,
    kValue,
    kIndexValue,
    kIndexName,
    kIndex,
    kDoubleValue,
    kName,
    kNameValue,
};

constexpr auto kAttributesByType = [] {
    std::array<Attributes, 85> byType{};  // kNone: 16, 21, 25, 26, 27, 31, 36, 37, 39
    const auto set = [&byType](Attributes attributes, std::initializer_list<int> types) {
        for (const int type : types) {
            byType[static_cast<size_t>(type)] = attributes;
        }
    };
    set(Attributes::kValue, {1, 32, 33, 40, 48, 49, 55, 56, 57, 58, 59, 60, 61, 62, 63, 81});
    set(Attributes::kIndexValue, {2,  3,  5,  7,  8,  9,  10, 12, 13, 15, 17, 18, 35, 51,
                                  52, 54, 65, 67, 69, 70, 71, 73, 74, 75, 77, 78, 80});
    set(Attributes::kIndexName, {4, 14, 34, 53, 66, 72, 79});
    set(Attributes::kIndex, {6, 11, 19, 38, 64, 68, 76, 82, 83});
    set(Attributes::kDoubleValue, {20, 22});
    set(Attributes::kName, {23, 24, 28, 29, 30, 42, 44, 47, 50, 84});
    set(Attributes::kNameValue, {41, 43, 45, 46});
    return byType;
}();

Attributes AttributesOf(int32_t type) {
    const Attributes* attributes = EntryAt(kAttributesByType, type);
    return attributes != nullptr ? *attributes : Attributes::kNone;
}

}  // namespace

void Serialize(CaptureDeviceEvent& record, XmlElement element, uint32_t direction) {
    SyncEnumAttribute(element, u"qav:Type", kQavNamespaceUri, kCaptureDeviceEventTypeTable,
                      direction, record.m_type);
    SyncIntAttribute(element, u"qav:DeviceID", kQavNamespaceUri, direction, record.m_deviceId);

    switch (AttributesOf(record.m_type)) {
        case Attributes::kValue:
            SyncIntAttribute(element, kValue, kQavNamespaceUri, direction, record.m_value);
            break;
        case Attributes::kIndexValue:
            SyncIntAttribute(element, kIndex, kQavNamespaceUri, direction, record.m_index);
            SyncIntAttribute(element, kValue, kQavNamespaceUri, direction, record.m_value);
            break;
        case Attributes::kIndexName:
            SyncIntAttribute(element, kIndex, kQavNamespaceUri, direction, record.m_index);
            SyncTextAttribute(element, kName, kQavNamespaceUri, direction, record.m_name);
            break;
        case Attributes::kIndex:
            SyncIntAttribute(element, kIndex, kQavNamespaceUri, direction, record.m_index);
            break;
        case Attributes::kDoubleValue:
            SyncFiniteDoubleAttribute(element, kValue, kQavNamespaceUri, direction,
                                      record.m_doubleValue);
            break;
        case Attributes::kName:
            SyncTextAttribute(element, kName, kQavNamespaceUri, direction, record.m_name);
            break;
        case Attributes::kNameValue:
            SyncTextAttribute(element, kName, kQavNamespaceUri, direction, record.m_name);
            SyncIntAttribute(element, kValue, kQavNamespaceUri, direction, record.m_value);
            break;
        case Attributes::kNone:
            break;
    }

    if (direction == kSyncRead || !record.m_comment.empty()) {
        SyncTextAttribute(element, u"qav:Comment", kQavNamespaceUri, direction, record.m_comment);
    }
}

void CaptureDeviceEvent::WriteXml(XmlElement parent) {
    if (m_type != 0) {
        Serialize(*this, parent.CreateChild(u"qav:CaptureDeviceEvent", kQavNamespaceUri),
                  kSyncWrite);
    }
}

void CaptureDeviceEvent::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t CaptureDeviceEvent::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t CaptureDeviceEvent::GetTypeId() const {
    return kTypeId;
}

}  // namespace qav
