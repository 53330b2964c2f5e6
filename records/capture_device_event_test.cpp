#include "records/capture_device_event.h"

#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ReadXmlText;
using test_support::WrittenXml;

TEST(CaptureDeviceEvent, BatteryLevelTravelsAsADoubleValue) {
    CaptureDeviceEvent event;
    event.m_type = 22;  // "Battery power too low"
    event.m_deviceId = 7;
    event.m_doubleValue = 12.5;
    event.m_comment = u"c";
    const std::string wire = WrittenXml(event);
    EXPECT_EQ(wire,
              "<qav:CaptureDeviceEvent qav:Comment=\"c\" qav:DeviceID=\"7\" "
              "qav:Type=\"Battery power too low\" qav:Value=\"12.5\" " QAV_TEST_NS "/>");
    CaptureDeviceEvent read;
    read.m_value = 9;
    ReadXmlText(read, wire);
    EXPECT_EQ(read.m_doubleValue, 12.5);
    EXPECT_EQ(read.m_value, 9);
    // A number too big for a double would travel on as "inf": it is refused.
    ReadXmlText(read, "<qav:CaptureDeviceEvent qav:Value=\"-1e999\"/>");
    EXPECT_EQ(read.m_doubleValue, 12.5);
}

TEST(CaptureDeviceEvent, WithoutAKnownTypeOnlyDeviceAndCommentTravel) {
    CaptureDeviceEvent event;
    event.m_deviceId = 4;
    EXPECT_EQ(WrittenXml(event), "") << "type 0 is not written";
    ReadXmlText(event,
                "<qav:CaptureDeviceEvent qav:Type=\"device connected\" qav:DeviceID=\"5\" "
                "qav:Index=\"2\" qav:Value=\"5\" qav:Name=\"n\" qav:Comment=\"c\"/>");
    EXPECT_TRUE(event.m_deviceId == 5 && event.m_comment == u"c");
    EXPECT_TRUE(event.m_type == 0 && event.m_index == -1 && event.m_value == 0 &&
                event.m_name.empty());
}

// Every kind's text and attributes (an empty name is written too, an empty comment not),
// and that each reads back into the same event.
TEST(CaptureDeviceEvent, EveryKindRoundTrips) {
    std::string sweep;
    for (int32_t type = 1; type <= 84; ++type) {
        CaptureDeviceEvent event;
        event.m_type = type;
        event.m_deviceId = 7;
        event.m_index = 2;
        event.m_value = 3;
        event.m_doubleValue = 4.5;
        const std::string wire = WrittenXml(event);
        CaptureDeviceEvent read;
        ReadXmlText(read, wire);
        EXPECT_EQ(WrittenXml(read), wire);
        sweep += wire + "\n";
    }
    test_support::ExpectApproved("capture_device_event_kinds.txt", sweep);
}

}  // namespace
}  // namespace qav
