#include "records/capture_device_rules.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ReadXmlText;
using test_support::WrittenXml;

CaptureDeviceRules FilledRules() {
    CaptureDeviceRules rules;
    rules.m_deviceId = 7;
    rules.m_mediaOutputStreams = {{true, u"Live", u"rtmp://a/b", u"user", u"out-secret", 0, 1, 1},
                                  {false, u"Spare", u"rtsp://c", u"", u"", -1, -1, 2}};
    rules.m_mediaInputStreams = {{true, u"Feed", u"rtsp://d", u"u", u"in-secret", 2, 0}};
    rules.m_portWakeupMinutes = 15;
    rules.m_cellularModemEnable = false;
    rules.m_forwardingRules = {{u"10.0.0.2", 80, 1}};
    rules.m_sendOnLocationEvent = true;
    rules.m_minimalTime = 30;
    rules.m_latitude = 52.5;
    rules.m_longitude = -1.25;
    rules.m_distance = 250;
    rules.m_centralLocationEnable = true;
    VMDChParams full{7, 100, 200, 2, 0, 1, 2, 3, 4};
    rules.m_vmdChannels = {full, VMDChParams{}};
    rules.m_videoChannelRules = {{1, 3, 1, 90}, {0, -1, 0, 180}};
    rules.m_hasMinPartialPower = true;
    rules.m_minPartialPower = 0.25;
    rules.m_temperatureLimits = {{3, u"Case", -10, 60}, {2, u"Battery", 0, 45}};
    rules.m_localControlEnable = true;
    rules.m_initialOperationMode = 4;
    rules.m_audioChannelsGrouping = 2;
    rules.m_synchronizationNtp = false;
    rules.m_synchronizationLocation = true;
    rules.m_ntpServerAddress = u"time.site.example";
    rules.m_zoneName = u"Europe/Lisbon";
    rules.m_zoneMinutes = 60;
    rules.m_zoneDst = true;
    return rules;
}

TEST(CaptureDeviceRules, FreshRecordWritesItsDefaults) {
    CaptureDeviceRules rules;
    EXPECT_EQ(WrittenXml(rules),
              "<qav:CaptureDeviceRules qav:DeviceID=\"0\" " QAV_TEST_NS
              "><qav:MediaStreams><qav:MediaOutputStreams/><qav:MediaInputStreams/>"
              "</qav:MediaStreams><qav:Ports><qav:PortWakeup qav:Minutes=\"-1\"><qav:CellularModem "
              "qav:Enable=\"True\"/></qav:PortWakeup></qav:Ports><qav:ForwardingRules/>"
              "<qav:PhoneTextMessages qav:MinimalTime=\"60\" qav:SendOnBatteryEvent=\"False\" "
              "qav:SendOnContactAlarm=\"True\" qav:SendOnLocationEvent=\"False\" "
              "qav:SendOnMotionDetection=\"True\" qav:SendOnTemperatureEvent=\"False\" "
              "qav:Storage=\"False\"/><qav:Location><qav:CentralLocation qav:Distance=\"1000\" "
              "qav:Enable=\"False\" qav:Latitude=\"0\" qav:Longitude=\"0\"/></qav:Location>"
              "<qav:MotionDetection><qav:VMDChParamsVec/></qav:MotionDetection>"
              "<qav:VideoChannelRules><qav:VideoChannels/></qav:VideoChannelRules><qav:Battery/>"
              "<qav:TemperatureLimits/><qav:LocalControl qav:Enable=\"False\"/>"
              "<qav:AudioChannelRules qav:AudioChannelsGrouping=\"Fixed\"/><qav:Time>"
              "<qav:Synchronization qav:NTP=\"True\"><qav:Location qav:Enable=\"False\"/>"
              "</qav:Synchronization><qav:NTP qav:Enable=\"True\" "
              "qav:ServerAddress=\"pool.ntp.org\"/><qav:Zone qav:DST=\"False\" qav:Minutes=\"0\" "
              "qav:Name=\"\"/></qav:Time></qav:CaptureDeviceRules>");
    const uint8_t* payload = nullptr;
    const uint8_t** reference = &payload;
    EXPECT_EQ(rules.GetPayload(reference), 0u);
    EXPECT_EQ(rules.GetTypeId(), 5);
}

// The full form reads back whole; the form for monitors carries neither the local part nor
// where the device takes its time from, and reads back as the rest alone.
TEST(CaptureDeviceRules, FilledRecordTravelsWholeOrReduced) {
    CaptureDeviceRules rules = FilledRules();
    const std::string full = WrittenXml(rules);
    CaptureDeviceRules read;
    ReadXmlText(read, full);
    EXPECT_TRUE(read == rules) << full << "\nread back as\n" << WrittenXml(read);

    XmlDocument document;
    XmlElement root = document.CreateRoot(u"Root", nullptr);
    rules.WriteXmlForMonitor(root);
    const std::string reduced = test_support::SavedXml(document);
    test_support::ExpectApproved("capture_device_rules_filled.txt", full + "\n" + reduced + "\n");
    for (const char* kept : {"qav:LocalControl", "InitialOperationMode", "qav:AudioChannelRules",
                             "qav:Synchronization", "qav:NTP", "time.site.example"}) {
        EXPECT_EQ(reduced.find(kept), std::string::npos) << kept << " reached the monitor";
    }
    CaptureDeviceRules monitor;
    monitor.ReadXml(root.FirstChild());
    CaptureDeviceRules expected = rules;
    const CaptureDeviceRules fresh;
    expected.m_localControlEnable = fresh.m_localControlEnable;
    expected.m_initialOperationMode = fresh.m_initialOperationMode;
    expected.m_audioChannelsGrouping = fresh.m_audioChannelsGrouping;
    expected.m_synchronizationNtp = fresh.m_synchronizationNtp;
    expected.m_synchronizationLocation = fresh.m_synchronizationLocation;
    expected.m_ntpEnable = fresh.m_ntpEnable;
    expected.m_ntpServerAddress = fresh.m_ntpServerAddress;
    EXPECT_TRUE(monitor == expected) << WrittenXml(monitor);
}

// Presence decides: the mode only under enabled local control, the battery limit and the
// entries' masks by what the text holds; unusable numbers keep the field.
TEST(CaptureDeviceRules, ReadingFollowsWhatIsPresent) {
    CaptureDeviceRules rules = FilledRules();
    ReadXmlText(rules,
                "<qav:CaptureDeviceRules><qav:LocalControl qav:Enable=\"False\" "
                "qav:InitialOperationMode=\"Offline\"/><qav:Location><qav:CentralLocation "
                "qav:Latitude=\"1e999\" qav:Longitude=\"-1e999\"/></qav:Location>"
                "<qav:MotionDetection><qav:VMDChParamsVec><qav:VMDChParams "
                "qav:MotionLightThreshold=\"9\"><qav:OutputPort qav:Index=\"1\"/></qav:VMDChParams>"
                "<qav:Other/><qav:VMDChParams><qav:RectZone qav:XEnd=\"5\"/></qav:VMDChParams>"
                "</qav:VMDChParamsVec></qav:MotionDetection><qav:VideoChannelRules>"
                "<qav:VideoChannels><qav:VideoChannel qav:PowerOnPortValue=\"1\"/>"
                "</qav:VideoChannels></qav:VideoChannelRules><qav:TemperatureLimits>"
                "<qav:TemperatureLimitsEntry qav:MaximumTemperature=\"70\" qav:Name=\"Cpu\"/>"
                "</qav:TemperatureLimits></qav:CaptureDeviceRules>");
    EXPECT_FALSE(rules.m_localControlEnable);
    EXPECT_EQ(rules.m_initialOperationMode, 4);
    EXPECT_FALSE(rules.m_hasMinPartialPower);
    EXPECT_TRUE(rules.m_latitude == 52.5 && rules.m_longitude == -1.25);
    EXPECT_EQ(rules.m_vmdChannels, (std::vector<VMDChParams>{{4, 5000, 9, 1, 1, 0, -1, 0, -1},
                                                             {1, 5000, 5000, -1, 1, 0, 5, 0, -1}}));
    EXPECT_EQ(rules.m_videoChannelRules, (std::vector<VideoChannelRule>{{1, -1, 1, 0}}));
    EXPECT_EQ(rules.m_temperatureLimits, (std::vector<TemperatureLimitsEntry>{{2, u"Cpu", 0, 70}}));
    EXPECT_TRUE(rules.m_mediaOutputStreams.empty() && rules.m_forwardingRules.empty());

    ReadXmlText(rules,
                "<qav:CaptureDeviceRules><qav:LocalControl qav:Enable=\"True\" "
                "qav:InitialOperationMode=\"Offline\"/><qav:Battery qav:MinPartialPower=\"0.5\"/>"
                "</qav:CaptureDeviceRules>");
    EXPECT_TRUE(rules.m_localControlEnable && rules.m_initialOperationMode == 1);
    EXPECT_TRUE(rules.m_hasMinPartialPower && rules.m_minPartialPower == 0.5);
    EXPECT_NE(WrittenXml(rules).find("qav:MinPartialPower=\"0.5\""), std::string::npos);
}

// Each event against the filled record: what it changes, and nothing for an index or a
// name the lists do not have.
TEST(CaptureDeviceRules, EventsChangeTheRulesTheyName) {
    struct Case {
        int32_t type;
        int32_t index;
        int32_t value;
        const WChar* name;
        std::function<void(CaptureDeviceRules&)> expect;
    };
    const auto same = [](CaptureDeviceRules&) {};
    const std::vector<Case> cases = {
        {20, -1, 0, u"", [](CaptureDeviceRules& r) { r.m_minPartialPower = 0.75; }},
        {21, -1, 0, u"", [](CaptureDeviceRules& r) { r.m_hasMinPartialPower = false; }},
        {31, -1, 0, u"", [](CaptureDeviceRules& r) { r.m_centralLocationEnable = false; }},
        {32, -1, 5, u"", [](CaptureDeviceRules& r) { r.m_distanceTriggerActive = true; }},
        {38, 0, 0, u"",
         [](CaptureDeviceRules& r) {
             r.m_mediaOutputStreams.erase(r.m_mediaOutputStreams.begin());
         }},
        {38, 2, 0, u"", same},
        {38, -1, 0, u"", same},
        {39, -1, 0, u"", [](CaptureDeviceRules& r) { r.m_mediaOutputStreams.clear(); }},
        {41, -1, 5, u"Battery",
         [](CaptureDeviceRules& r) {
             r.m_temperatureLimits[1] = {3, u"Battery", 5, 45};
         }},
        {41, -1, 5, u"battery", same},
        {42, -1, 0, u"Case", [](CaptureDeviceRules& r) { r.m_temperatureLimits[0].m_mask = 2; }},
        {43, -1, 50, u"Case",
         [](CaptureDeviceRules& r) { r.m_temperatureLimits[0].m_maximumTemperature = 50; }},
        {44, -1, 0, u"Battery", [](CaptureDeviceRules& r) { r.m_temperatureLimits[1].m_mask = 0; }},
        {55, -1, 120, u"", [](CaptureDeviceRules& r) { r.m_minimalTime = 120; }},
        {56, -1, 0, u"", [](CaptureDeviceRules& r) { r.m_sendOnContactAlarm = false; }},
        {58, -1, 0, u"", [](CaptureDeviceRules& r) { r.m_sendOnLocationEvent = false; }},
        {61, -1, 2, u"", [](CaptureDeviceRules& r) { r.m_storage = true; }},
        {73, 1, 270, u"", [](CaptureDeviceRules& r) { r.m_videoChannelRules[1].m_rotation = 270; }},
        {73, 2, 270, u"", same},
        {77, 1, 300, u"",
         [](CaptureDeviceRules& r) {
             r.m_vmdChannels[1].m_mask = 2;
             r.m_vmdChannels[1].m_motionSpacialThreshold = 300;
         }},
        {78, 0, -1, u"", [](CaptureDeviceRules& r) { r.m_vmdChannels[0].m_mask = 3; }},
        {78, -5, 10, u"", same},
        {78, 2, 10, u"", same},
        {19, 0, 1, u"", same},
    };
    for (const Case& c : cases) {
        CaptureDeviceRules rules = FilledRules();
        CaptureDeviceRules expected = FilledRules();
        c.expect(expected);
        CaptureDeviceEvent event;
        event.m_type = c.type;
        event.m_index = c.index;
        event.m_value = c.value;
        event.m_doubleValue = 0.75;
        event.m_name = c.name;
        rules.ApplyEvent(event);
        EXPECT_TRUE(rules == expected) << "type " << c.type << " index " << c.index << "\n"
                                       << WrittenXml(rules);
    }
    // A light threshold switched off is no longer written.
    CaptureDeviceRules rules = FilledRules();
    CaptureDeviceEvent event;
    ReadXmlText(event,
                "<qav:CaptureDeviceEvent qav:Type=\"VMD Light Threshold Change\" "
                "qav:Index=\"0\" qav:Value=\"-1\"/>");
    rules.ApplyEvent(event);
    EXPECT_EQ(WrittenXml(rules).find("MotionLightThreshold"), std::string::npos);
}

TEST(CaptureDeviceRules, LookupsAndSettersRefuseWhatIsNotThere) {
    CaptureDeviceRules rules = FilledRules();
    bool enable = false;
    WString name = u"kept", address, userName, password;
    int32_t video = 9, audio = 9, transport = 9;
    for (const int32_t index : {-1, 2}) {
        EXPECT_FALSE(rules.GetMediaStreamEntry(index, enable, name, address, userName, password,
                                               video, audio, transport));
        EXPECT_FALSE(rules.RemoveMediaOutputStream(index));
    }
    EXPECT_TRUE(name == u"kept" && video == 9 && rules.m_mediaOutputStreams.size() == 2);
    ASSERT_TRUE(rules.GetMediaStreamEntry(0, enable, name, address, userName, password, video,
                                          audio, transport));
    EXPECT_TRUE(enable && name == u"Live" && password == u"out-secret" && audio == 1 &&
                transport == 1);

    EXPECT_FALSE(rules.SetMinimumTemperatureLimit(u"Case", -10));  // already so
    EXPECT_TRUE(rules.SetMinimumTemperatureLimit(u"Battery", 0));  // bit was clear
    EXPECT_TRUE(rules.SetMaximumTemperatureLimit(u"Case", 61));
    EXPECT_FALSE(rules.SetMaximumTemperatureLimit(u"Missing", 1));
    EXPECT_EQ(rules.m_temperatureLimits.size(), 2u);
    EXPECT_EQ(rules.FindTemperatureLimitsEntry(u"Case")->m_maximumTemperature, 61);
    EXPECT_EQ(rules.FindTemperatureLimitsEntry(u"case"), nullptr);
}

}  // namespace
}  // namespace qav
