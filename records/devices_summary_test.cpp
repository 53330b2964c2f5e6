#include "records/devices_summary.h"

#include "core/test_support.h"
#include "records/capture_device_config.h"
#include "records/capture_device_status.h"
#include "records/capture_device_status_extension.h"
#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ReadXmlText;
using test_support::WrittenXml;

DevicesSummary::DeviceEntry FilledEntry() {
    DevicesSummary::DeviceEntry entry;
    entry.m_deviceId = 7;
    entry.m_name = u"Van <3>";
    entry.m_videoChannels = {{0, u"Front", true, 2}, {2, u"Rear", false, 0}};
    entry.m_audioChannels = {{1, u"Mic", true, 0}};
    entry.m_inputPorts = {{0, u"Door", 1, 0}};
    entry.m_outputPorts = {{0, u"Siren", 0}};
    entry.m_partialPower = 0.75;
    entry.m_chargingState = 2;
    return entry;
}

// Unknown signal state, battery level and charging state are left out; the rest reads
// back whole.
TEST(DevicesSummary, WritesApprovedTextAndReadsBack) {
    DevicesSummary summary;
    summary.m_devices = {{}};
    EXPECT_EQ(WrittenXml(summary),
              "<qav:DevicesSummary " QAV_TEST_NS
              "><qav:CaptureDevices>"
              "<qav:CaptureDevice qav:DeviceID=\"0\"><qav:Name/><qav:VideoChannels/>"
              "<qav:AudioChannels/><qav:InputPorts/><qav:OutputPorts/><qav:Battery/>"
              "</qav:CaptureDevice></qav:CaptureDevices></qav:DevicesSummary>");
    summary.m_devices = {FilledEntry(), {}};
    const std::string text = WrittenXml(summary);
    test_support::ExpectApproved("devices_summary_filled.txt", text + "\n");
    DevicesSummary again;
    again.m_devices = {{}};
    ReadXmlText(again, text);
    EXPECT_EQ(again, summary);
    EXPECT_EQ(summary.GetTypeId(), 12);

    // Items lacking their children start from the entry defaults; an infinite level or
    // an unknown state text is refused.
    ReadXmlText(again,
                "<qav:DevicesSummary " QAV_TEST_NS
                "><qav:CaptureDevices><qav:CaptureDevice>"
                "<qav:InputPorts><qav:InputPort/></qav:InputPorts><qav:Battery "
                "qav:PartialPower=\"1e999\" qav:ChargingState=\"charging\"/></qav:CaptureDevice>"
                "</qav:CaptureDevices></qav:DevicesSummary>");
    ASSERT_EQ(again.m_devices.size(), 1u);
    EXPECT_EQ(again.m_devices[0].m_inputPorts, std::vector<DevicesSummary::InputPortEntry>{{}});
    EXPECT_EQ(again.m_devices[0].m_inputPorts[0].m_defaultValue, -1);
    EXPECT_EQ(again.m_devices[0].m_partialPower, -1.0);
    EXPECT_EQ(again.m_devices[0].m_chargingState, 0);
    ReadXmlText(again, "<qav:DevicesSummary " QAV_TEST_NS "/>");
    EXPECT_TRUE(again.m_devices.empty());
}

TEST(CaptureDeviceStatusExtension, WritesGoldenTextAndReadsBack) {
    CaptureDeviceStatusExtension fresh;
    EXPECT_EQ(WrittenXml(fresh),
              "<qav:CaptureDeviceStatusExtension qav:DeviceID=\"0\" " QAV_TEST_NS
              "><qav:DynamicInputPorts/><qav:DynamicOutputPorts/><qav:Battery "
              "qav:ChargingState=\"Unknown\" qav:PartialPower=\"-1\"/><qav:Temperatures/>"
              "<qav:GPS qav:HasGlobalTime=\"False\"/><qav:Time/><qav:Connection "
              "qav:Type=\"Unknown\"/><qav:Storage qav:FunctionalState=\"Unknown\" "
              "qav:Size=\"0\"/></qav:CaptureDeviceStatusExtension>");
    EXPECT_EQ(fresh.GetTypeId(), 14);

    CaptureDeviceStatusExtension filled;
    filled.m_deviceId = 9;
    filled.m_partialPower = 0.5;
    filled.m_chargingState = 3;
    filled.m_dynamicInputPorts = {{1, 0, u"Alarm"}, {-1, -1, u"Gate \"B\""}};
    filled.m_dynamicOutputPorts = {{1, u"Siren"}};
    filled.m_temperatures = {{u"Engine", 87}};
    filled.m_hasGlobalTime = filled.m_hasTimestampSync = true;
    filled.m_ntpTime = 3913056000000000000;
    filled.m_timestamp = -5;
    filled.m_connectionType = 7;
    filled.m_storageSize = 64LL << 30;
    filled.m_storageFunctionalState = 1;
    const std::string text = WrittenXml(filled);
    test_support::ExpectApproved("capture_device_status_extension_filled.txt", text + "\n");

    CaptureDeviceStatusExtension again;
    ReadXmlText(again, text);
    EXPECT_EQ(again, filled);
    // Without "qav:TimestampSync" the flag drops and the two numbers stay.
    ReadXmlText(again, WrittenXml(fresh));
    EXPECT_FALSE(again.m_hasTimestampSync);
    EXPECT_EQ(again.m_ntpTime, filled.m_ntpTime);
    EXPECT_EQ(again.m_dynamicInputPorts.size(), 0u);
    EXPECT_EQ(again.CountChangedDynamicInputPorts(), 0);
    EXPECT_EQ(filled.CountChangedDynamicInputPorts(), 1);

    // Writing into an element that held a synchronisation removes it.
    XmlDocument document;
    const XmlElement element = test_support::ParseXml(document, text);
    Serialize(fresh, element, kSyncWrite);
    CaptureDeviceStatusExtension reread;
    reread.ReadXml(element);
    EXPECT_FALSE(reread.m_hasTimestampSync);
}

MonitorCommand Command(int32_t type, int32_t index, const WString& name, int32_t value = 0,
                       int32_t defaultValue = 0) {
    MonitorCommand command;
    command.m_type = type;
    command.m_index = index;
    command.m_name = name;
    command.m_value = value;
    command.m_defaultValue = defaultValue;
    return command;
}

std::u16string InputNames(const CaptureDeviceStatusExtension& extension) {
    std::u16string names;
    for (const DynamicInputPort& port : extension.m_dynamicInputPorts) {
        names += port.m_name + u",";
    }
    return names;
}

TEST(CaptureDeviceStatusExtension, AppliesPortDefinitionsAndRemovals) {
    struct Case {
        const char* what;
        MonitorCommand command;
        bool changed;
        std::u16string names;  // input ports afterwards
    };
    const Case cases[] = {
        {"index beyond the list inserts in name order", Command(17, 5, u"Door", 1, 0), true,
         u"Alarm,Door,Gate,"},
        {"index naming another port inserts there", Command(17, 0, u"Door", 1, 0), true,
         u"Door,Alarm,Gate,"},
        {"same definition again", Command(17, 1, u"Gate", 0, 0), false, u"Alarm,Gate,"},
        {"new default value", Command(17, 9, u"Gate", 0, 1), true, u"Alarm,Gate,"},
        {"empty name", Command(17, 0, u"", 3, 3), false, u"Alarm,Gate,"},
        {"removal by name", Command(19, 0, u"Gate"), true, u"Alarm,"},
        {"removal of an absent name", Command(19, 0, u"Door"), true, u"Alarm,Gate,"},
        {"removal with an empty name", Command(19, 0, u""), true, u"Alarm,Gate,"},
        {"another type", Command(16, 0, u"Alarm"), false, u"Alarm,Gate,"},
    };
    for (const Case& c : cases) {
        CaptureDeviceStatusExtension extension;
        extension.m_dynamicInputPorts = {{1, 0, u"Alarm"}, {0, 0, u"Gate"}};
        EXPECT_EQ(extension.ApplyMonitorCommand(c.command), c.changed) << c.what;
        EXPECT_EQ(InputNames(extension), c.names) << c.what;
    }

    CaptureDeviceStatusExtension extension;
    extension.m_temperatures = {{u"Cab", 20}, {u"Engine", 80}, {u"Cab", 21}};
    EXPECT_TRUE(extension.ApplyMonitorCommand(Command(22, 1, u"Cab")));
    EXPECT_EQ(extension.m_temperatures,
              (std::vector<TemperatureReading>{{u"Engine", 80}, {u"Cab", 21}}));
    EXPECT_FALSE(extension.ApplyMonitorCommand(Command(21, 0, u"Engine", 80)));
    EXPECT_TRUE(extension.ApplyMonitorCommand(Command(21, -1, u"Air", 0)));
    EXPECT_EQ(extension.FindTemperature(u"Air"), 0);
    EXPECT_TRUE(extension.ApplyMonitorCommand(Command(18, 0, u"")));
    EXPECT_TRUE(extension.ApplyMonitorCommand(Command(18, 0, u"Lamp", 1)));
    EXPECT_EQ(extension.m_dynamicOutputPorts, (std::vector<DynamicOutputPort>{{1, u"Lamp"}}));
    EXPECT_TRUE(extension.ApplyMonitorCommand(Command(20, 7, u"Lamp")));
    EXPECT_EQ(extension.FindDynamicOutputPort(u"Lamp"), -1);
}

// Each dynamic list stops at its limit: a new name beyond it is refused and logged (an
// entry already defined still takes new values), and a record read keeps the first
// entries only. Names are found wherever the list put them.
TEST(CaptureDeviceStatusExtension, CapsEachDynamicListAndRefusesMore) {
    constexpr size_t kMax = CaptureDeviceStatusExtension::kMaxListEntries;
    const struct {
        int32_t define;
        const char* what;
        size_t (*size)(const CaptureDeviceStatusExtension&);
        int32_t (CaptureDeviceStatusExtension::*find)(WStringView) const;
    } lists[] = {
        {17, "dynamic input port", [](const auto& e) { return e.m_dynamicInputPorts.size(); },
         &CaptureDeviceStatusExtension::FindDynamicInputPort},
        {18, "dynamic output port", [](const auto& e) { return e.m_dynamicOutputPorts.size(); },
         &CaptureDeviceStatusExtension::FindDynamicOutputPort},
        {21, "temperature reading", [](const auto& e) { return e.m_temperatures.size(); },
         &CaptureDeviceStatusExtension::FindTemperature},
    };
    for (const auto& list : lists) {
        test_support::CapturingTextLogger log(kSeverityWarning);
        CaptureDeviceStatusExtension extension;
        extension.m_deviceId = 3;
        // Names given in descending order, so each goes in front: positions keep moving.
        for (size_t i = 0; i < kMax; ++i) {
            const std::string digits = std::to_string(kMax - i);
            const std::string ascii = "N" + std::string(4 - digits.size(), '0') + digits;
            const WString name(ascii.begin(), ascii.end());
            ASSERT_TRUE(extension.ApplyMonitorCommand(Command(list.define, -1, name, 1)))
                << list.what << " " << i;
        }
        EXPECT_EQ((extension.*list.find)(u"N0001"), 0) << list.what;
        EXPECT_EQ((extension.*list.find)(u"N1024"), static_cast<int32_t>(kMax) - 1) << list.what;
        EXPECT_TRUE(log.Lines().empty()) << list.what;

        EXPECT_FALSE(extension.ApplyMonitorCommand(Command(list.define, 0, u"One more", 1)))
            << list.what;
        EXPECT_EQ(list.size(extension), kMax) << list.what;
        EXPECT_EQ((extension.*list.find)(u"One more"), -1) << list.what;
        ASSERT_EQ(log.Lines().size(), 1u) << list.what;
        EXPECT_EQ(log.Lines()[0], std::string("2 Device 3: ") + list.what +
                                      " \"One more\" refused, 1024 are defined already");
        EXPECT_TRUE(extension.ApplyMonitorCommand(Command(list.define, -1, u"N0500", 2)))
            << list.what << ": a defined entry takes a new value at the limit";

        // A removal makes room again, and the names after it are still found.
        const int32_t remove = list.define == 17 ? 19 : list.define == 18 ? 20 : 22;
        EXPECT_TRUE(extension.ApplyMonitorCommand(Command(remove, -1, u"N0002")));
        EXPECT_EQ((extension.*list.find)(u"N0003"), 1) << list.what;
        EXPECT_TRUE(extension.ApplyMonitorCommand(Command(list.define, -1, u"One more", 1)))
            << list.what;
    }

    // A record read holds the first entries of a longer list, and says so.
    test_support::CapturingTextLogger log(kSeverityWarning);
    std::string text =
        "<qav:CaptureDeviceStatusExtension qav:DeviceID=\"5\" " QAV_TEST_NS "><qav:Temperatures>";
    for (size_t i = 0; i < kMax + 6; ++i) {
        text += "<qav:Temperature qav:Name=\"T" + std::to_string(i) + "\" qav:Value=\"1\"/>";
    }
    text += "</qav:Temperatures></qav:CaptureDeviceStatusExtension>";
    CaptureDeviceStatusExtension read;
    ReadXmlText(read, text);
    EXPECT_EQ(read.m_temperatures.size(), kMax);
    EXPECT_EQ(read.FindTemperature(u"T1023"), 1023);
    EXPECT_EQ(read.FindTemperature(u"T1024"), -1);
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{
                  "2 Device 5: 1030 temperature readings read, only the first 1024 kept"});
}

TEST(CaptureDeviceStatus, AddsItsEntryToDevicesSummary) {
    CaptureDeviceStatus status;
    status.m_deviceId = 4;
    status.m_name = u"Cam";
    status.m_videoChannels.resize(3);
    status.m_videoChannels[0].m_enable = false;
    status.m_videoChannels[1].m_name = u"Side";
    status.m_videoChannels[1].m_signalState = 1;
    status.m_videoChannels[2].m_streaming = true;
    status.m_audioChannels.resize(2);
    status.m_audioChannels[1].m_enable = false;
    status.m_audioOutChannels.resize(1);
    status.m_inputPorts.resize(3);
    status.m_inputPorts[1].m_value = 1;
    status.m_inputPorts[1].m_name = u"Door";
    status.m_outputPorts.resize(1);
    CaptureDeviceConfig config;
    config.m_inputPorts = {{0, -1, -1}, {1, -1, -1}};
    CaptureDeviceStatusExtension extension;
    extension.m_partialPower = 0.25;
    extension.m_chargingState = 1;

    DevicesSummary summary;
    summary.m_devices.resize(1);
    status.AddToDevicesSummary(config, extension, summary);
    ASSERT_EQ(summary.m_devices.size(), 2u);
    DevicesSummary::DeviceEntry expected;
    expected.m_deviceId = 4;
    expected.m_name = u"Cam";
    expected.m_videoChannels = {{1, u"Side", false, 1}, {2, u"", true, 0}};
    expected.m_audioChannels = {{0, u"", false, 0}};
    expected.m_inputPorts = {{0, u"", 0, 0}, {1, u"Door", 1, 1}};
    expected.m_outputPorts = {{0, u"", 0}};
    expected.m_partialPower = 0.25;
    expected.m_chargingState = 1;
    EXPECT_EQ(summary.m_devices[1], expected);
    summary.ClearDevices();
    EXPECT_TRUE(summary.m_devices.empty());
}

}  // namespace
}  // namespace qav
