#include "records/capture_device_config.h"

#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ReadXmlText;
using test_support::WrittenXml;

// Every field away from its default, every list with an entry of each shape.
CaptureDeviceConfig FilledConfig() {
    CaptureDeviceConfig config;
    config.m_deviceModel = u"Cam<1>";
    config.m_softwareVersion = u"2.1";
    config.m_password = u"dev-secret";
    config.m_hardwareId = u"hw";
    config.m_smsCommandAuthCode = u"sms-secret";
    config.m_configPassword = u"cfg-secret";
    config.m_productName = u"Product";
    config.m_deviceId = 7;
    config.m_videoChannelQuantity = 2;
    config.m_audioChannelQuantity = 1;
    config.m_audioOutChannelQuantity = 1;
    config.m_audioSubChannels = 1;
    config.m_serialPortQuantity = 1;
    config.m_defaultImageSize = {u"VGA", 640, 480, 30};
    config.m_imageSizes = {{u"VGA", 640, 480, 30}, {u"", 1280, 720, 25}};
    config.m_videoCompressionAlgorithms = {1};
    config.m_audioCompressionAlgorithms = {2, 4};
    config.m_defaultVideoCompressionAlgorithm = 1;
    config.m_defaultAudioCompressionAlgorithm = 2;
    config.m_maxVideoBitrate = 4000;
    config.m_defaultAudioSampleRate = 16000;
    config.m_inputPortsBaseAddress = 16;
    config.m_outputPortsBaseAddress = 32;
    config.m_resetIndex = 1;
    config.m_customizationCode = 5;
    config.m_defaultBaudRate = 9600;
    config.m_hasVideoFrameText = true;
    config.m_gpsEnabled = true;
    config.m_canDisableConsole = true;
    config.m_standaloneGpsEnabled = true;
    config.m_videoRotation = 2;
    config.m_cellularGpsMode = 2;
    config.m_audioSampleRates = {8000, 16000};
    config.m_outputPorts = {{1, 500}};
    config.m_inputPorts = {{0, 1, -1}};
    config.m_probeTime = 3;
    config.m_ptzProtocols = {u"Pelco-D", u"Visca"};
    config.m_ptzPortNumber = 1;
    config.m_ptzProtocolIndex = 1;
    config.m_ptzEngines = {{3, 0, 1}};
    config.m_diagnosticTypes = {u"Angle"};
    config.m_videoControls = {{u"Mode", 2, u"Auto", {u"Auto", u"Night"}}, {u"Gain", 1, u"5", {}}};
    config.m_deviceControls = {{u"Led", 3, u"True", {}}};
    config.m_webInterfaces = {{u"Setup", 8}};
    config.m_diagnosticChannels = {{u"Tilt", 1, 4, 3, 100}};
    config.m_timestamp = 1700000000;
    return config;
}

TEST(CaptureDeviceConfig, FreshRecordWritesDefaultsInOrder) {
    CaptureDeviceConfig config = FilledConfig();
    config.Reset();
    EXPECT_EQ(
        WrittenXml(config),
        "<qav:CaptureDeviceConfig qav:CanDisableConsole=\"False\" qav:ConfigPassword=\"\" "
        "qav:CustomizationCode=\"0\" qav:DeviceID=\"0\" qav:DeviceModel=\"\" qav:HardwareID=\"\" "
        "qav:Password=\"\" qav:ProductName=\"\" qav:SMSCommandAuthCode=\"\" "
        "qav:SoftwareVersion=\"\" qav:VideoRotation=\"No\" " QAV_TEST_NS
        "><qav:VideoChannels qav:NumEncodersPerChannel=\"1\" qav:Quantity=\"0\"/>"
        "<qav:AudioChannels qav:Quantity=\"0\" qav:SubChannels=\"2\"/><qav:PtzEngines "
        "qav:MaxNumberOfPtzStoredLocations=\"0\" qav:PortNumber=\"0\" "
        "qav:SerialComBaudRate=\"0\"/><qav:InputPorts qav:BaseAddress=\"0\" qav:ProbeTime=\"0\"/>"
        "<qav:OutputPorts qav:BaseAddress=\"0\" qav:PowerIndex=\"-1\" qav:ResetIndex=\"-1\"/>"
        "<qav:DiagnosticTypes/><qav:AudioOutChannels qav:Quantity=\"0\" qav:SubChannels=\"2\"/>"
        "<qav:DefaultImageSize qav:Height=\"0\" qav:MaxVideoFrameRate=\"0\" qav:Name=\"\" "
        "qav:Width=\"0\"/><qav:ImageSizes/><qav:AudioSampleRates/>"
        "<qav:VideoCompressionAlgorithms/><qav:AudioCompressionAlgorithms/>"
        "<qav:DefaultVideoCompressionAlgorithm>Undefined</qav:DefaultVideoCompressionAlgorithm>"
        "<qav:DefaultAudioCompressionAlgorithm>Undefined</qav:DefaultAudioCompressionAlgorithm>"
        "<qav:MaxVideoBitrate>0</qav:MaxVideoBitrate><qav:MinAudioBitrate>0</qav:MinAudioBitrate>"
        "<qav:MaxAudioBitrate>0</qav:MaxAudioBitrate><qav:DefaultVideoBitrate>"
        "0</qav:DefaultVideoBitrate><qav:DefaultAudioBitrate>0</qav:DefaultAudioBitrate>"
        "<qav:MaxVideoFrameRate>0</qav:MaxVideoFrameRate><qav:DefaultVideoFrameRate>"
        "0</qav:DefaultVideoFrameRate><qav:DefaultInterlacedFrames>"
        "False</qav:DefaultInterlacedFrames><qav:HasVideoFrameText>False</qav:HasVideoFrameText>"
        "<qav:HasVisualMotionDetection>False</qav:HasVisualMotionDetection>"
        "<qav:HasFrameSyncDetection>False</qav:HasFrameSyncDetection><qav:DefaultAudioSampleRate>"
        "0</qav:DefaultAudioSampleRate><qav:DefaultNumberOfAudioChannels>"
        "0</qav:DefaultNumberOfAudioChannels><qav:DefaultAudioChannelSampleSize>"
        "0</qav:DefaultAudioChannelSampleSize><qav:Capabilities/><qav:Timestamp>0</qav:Timestamp>"
        "<qav:AudioControls/><qav:AudioOutControls/><qav:VideoControls/>"
        "<qav:VideoEncoderControls/><qav:DeviceControls/><qav:WebInterfaces/>"
        "<qav:DiagnosticChannels/><qav:SerialPorts qav:DefaultBaudRate=\"0\" qav:Quantity=\"0\"/>"
        "<qav:GPS qav:Enable=\"False\" qav:Reset=\"False\"><qav:Standalone qav:Enable=\"False\"/>"
        "<qav:Cellular qav:Mode=\"None\"/></qav:GPS><qav:MotionEstimation qav:Enable=\"False\"/>"
        "<qav:PtzProtocols qav:Index=\"0\"/></qav:CaptureDeviceConfig>");
    EXPECT_EQ(config.GetTypeId(), 3);
}

// The full form reads back whole; the reduced form for monitors keeps the items of the
// port lists and drops every secret and device setting.
TEST(CaptureDeviceConfig, FilledRecordTravelsWholeOrReduced) {
    CaptureDeviceConfig config = FilledConfig();
    const std::string full = WrittenXml(config);
    CaptureDeviceConfig read;
    ReadXmlText(read, full);
    EXPECT_TRUE(read == config) << full << "\nread back as\n" << WrittenXml(read);

    XmlDocument document;
    XmlElement root = document.CreateRoot(u"Root", nullptr);
    config.WriteXmlForMonitor(root);
    const std::string reduced = test_support::SavedXml(document);
    test_support::ExpectApproved("capture_device_config_filled.txt", full + "\n" + reduced + "\n");
    for (const char* secret : {"dev-secret", "sms-secret", "cfg-secret", "Password", "qav:GPS",
                               "BaseAddress", "ProbeTime", "ResetIndex", "PtzProtocols"}) {
        EXPECT_EQ(reduced.find(secret), std::string::npos) << secret << " reached the monitor";
    }
    CaptureDeviceConfig monitor;
    monitor.ReadXml(root.FirstChild());
    EXPECT_TRUE(monitor.m_password.empty() && monitor.m_configPassword.empty() &&
                monitor.m_smsCommandAuthCode.empty() && monitor.m_inputPortsBaseAddress == 0);
    EXPECT_TRUE(monitor.m_inputPorts == config.m_inputPorts &&
                monitor.m_videoControls == config.m_videoControls);
}

// What a read cannot use leaves the field as it was; lists start empty.
TEST(CaptureDeviceConfig, ReadingKeepsWhatTheTextCannotSay) {
    CaptureDeviceConfig config = FilledConfig();
    ReadXmlText(config,
                "<qav:CaptureDeviceConfig qav:VideoRotation=\"yes\"><qav:GPS><qav:Cellular "
                "qav:Mode=\"assisted\"/></qav:GPS><qav:VideoControls><qav:Control "
                "qav:Type=\"options\"/><qav:Control qav:Type=\"Numeric\"><qav:Options>"
                "<qav:Option>x</qav:Option></qav:Options></qav:Control></qav:VideoControls>"
                "<qav:InputPorts><qav:Other/><qav:InputPort/></qav:InputPorts><qav:WebInterfaces>"
                "<qav:WebInterface qav:DeviceAccessLevel=\"root\">w</qav:WebInterface>"
                "</qav:WebInterfaces><qav:AudioCompressionAlgorithms><qav:CompressionAlgorithm>"
                "aac</qav:CompressionAlgorithm><qav:CompressionAlgorithm>"
                "PCMA</qav:CompressionAlgorithm></qav:AudioCompressionAlgorithms>"
                "<qav:DiagnosticChannels><qav:DiagnosticChannel qav:Encoding=\"int16le\"/>"
                "</qav:DiagnosticChannels></qav:CaptureDeviceConfig>");
    EXPECT_EQ(config.m_videoRotation, 2);
    EXPECT_EQ(config.m_cellularGpsMode, 2);
    EXPECT_EQ(config.m_videoControls, (std::vector<DeviceControl>{{}, {u"", 1, u"", {}}}));
    EXPECT_EQ(config.m_inputPorts, (std::vector<InputPortConfig>{{-1, -1, -1}}));
    EXPECT_EQ(config.m_webInterfaces, (std::vector<WebInterface>{{u"w", kAccessActive}}));
    EXPECT_EQ(config.m_audioCompressionAlgorithms, (std::vector<CodecId>{0, 5}));
    EXPECT_EQ(config.m_diagnosticChannels, (std::vector<DiagnosticChannel>{{}}));
    // A missing wrapper reads as an empty list.
    EXPECT_TRUE(config.m_imageSizes.empty() && config.m_videoCompressionAlgorithms.empty() &&
                config.m_ptzProtocols.empty() && config.m_deviceControls.empty() &&
                config.m_audioSampleRates.empty() && config.m_ptzEngines.empty());
    EXPECT_EQ(config.m_resetIndex, 1);
    EXPECT_EQ(config.m_deviceModel, u"Cam<1>");

    ReadXmlText(config, "<qav:CaptureDeviceConfig qav:VideoRotation=\"True\"/>");
    EXPECT_EQ(config.m_videoRotation, 1);
    EXPECT_NE(WrittenXml(config).find("qav:VideoRotation=\"Yes\""), std::string::npos);
}

TEST(CaptureDeviceConfig, LookupsRefuseIndicesOutsideTheLists) {
    const CaptureDeviceConfig config = FilledConfig();
    WString name = u"kept";
    int32_t width = 9, height = 9, rate = 9, value = 9;
    for (const int32_t index : {-1, 2}) {
        EXPECT_FALSE(config.GetImageSize(index, name, width, height, rate)) << index;
    }
    EXPECT_FALSE(config.GetInputPortDefaultValue(1, value) ||
                 config.GetInputPortDefaultAudioChannel(-1, value));
    EXPECT_TRUE(name == u"kept" && width == 9 && height == 9 && rate == 9 && value == 9);
    ASSERT_TRUE(config.GetImageSize(1, name, width, height, rate));
    EXPECT_TRUE(name.empty() && width == 1280 && height == 720 && rate == 25);
    ASSERT_TRUE(config.GetInputPortDefaultVideoChannel(0, value));
    EXPECT_EQ(value, 1);
}

}  // namespace
}  // namespace qav
