#include "records/capture_device_status.h"

#include <functional>

#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ReadXmlText;
using test_support::WrittenXml;

// Two of each channel, every list filled, every flag away from its default.
CaptureDeviceStatus FilledStatus() {
    CaptureDeviceStatus status;
    status.m_deviceId = 7;
    status.m_name = u"Van <3>";
    status.m_controls = {u"Led", u"Beep"};
    VideoChannelStatus video;
    video.m_name = u"Front";
    video.m_controls = {u"Zoom"};
    video.m_encoderParameters[kBroadcastEncoderSet] = {640, 480, 25, 25, 512, 512, 30, {u"GOP"}};
    video.m_encoderParameters[kRecordingEncoderSet] = {1280, 720, 15, 15, 2048, 2048, 30, {}};
    video.m_useSingleEncoder = false;
    video.m_audioChannel = 0;
    status.m_videoChannels = {video, video};
    status.m_videoChannels[1].m_name = u"Rear";
    status.m_videoChannels[1].m_enable = false;
    AudioChannelStatus audio;
    audio.m_name = u"Mic";
    audio.m_compressionAlgorithm = 2;
    audio.m_controls = {u"Gain"};
    audio.m_sampleRate = 16000;
    status.m_audioChannels = {audio, audio};
    status.m_audioOutChannels = {audio};
    status.m_serialPorts = {{}};
    status.m_serialPorts[0].m_baudRate = 9600;
    status.m_inputPorts = {{}};
    status.m_inputPorts[0].m_name = u"Door";
    status.m_inputPorts[0].m_recordingActions = {{0, 1, 30}};
    status.m_outputPorts = {{}, {}};
    status.m_outputPorts[1].m_value = 1;
    status.m_ptzEngines = {{u"Dome", {u"Gate"}, {{1, u"Home"}}, 0, 60}};
    status.m_phoneEntries = {{u"A", u"1", true}, {u"B", u"2", false}, {u"C", u"3", false}};
    status.m_phoneText = u"Alarm";
    status.m_connectionTechnology = u"LTE";
    status.m_providerName = u"Net";
    status.m_imei = u"3566";
    status.m_maxPacketSize = 1400;
    status.m_videoDefaultChannel = 1;
    status.m_restartPeriod = 3600;
    status.m_gpsActive = status.m_hasRecordableStorage = status.m_phoneTextActive = true;
    status.m_phoneTextEnable = status.m_canSleep = status.m_portWakeup = true;
    status.m_recordings.Add({5, 7, 0, 1, true});
    return status;
}

TEST(CaptureDeviceStatus, FreshRecordWritesDefaultsInOrder) {
    CaptureDeviceStatus status;
    EXPECT_EQ(WrittenXml(status),
              "<qav:CaptureDeviceStatus qav:CanSleep=\"False\" qav:DeviceID=\"0\" "
              "qav:PortWakeup=\"False\" " QAV_TEST_NS
              "><qav:Name/><qav:InputPorts/><qav:OutputPorts/><qav:Modem qav:IMEI=\"\"/>"
              "<qav:RestartPeriod>0</qav:RestartPeriod><qav:VideoChannels "
              "qav:DefaultChannel=\"0\"/><qav:AudioChannels/><qav:AudioOutChannels/>"
              "<qav:SerialPorts/><qav:MediaRecorderStatus qav:HasRecordableStorage=\"False\">"
              "<qav:Recordings/></qav:MediaRecorderStatus><qav:PtzEngines/><qav:Streaming>"
              "<qav:MaxPacketSize>1000</qav:MaxPacketSize></qav:Streaming><qav:GPS><qav:Active>"
              "False</qav:Active></qav:GPS><qav:PhoneTextMessages qav:Active=\"False\" "
              "qav:Enable=\"False\" qav:Text=\"\"/><qav:Connection qav:Technology=\"\">"
              "<qav:Provider qav:Name=\"\"/></qav:Connection><qav:Controls/>"
              "</qav:CaptureDeviceStatus>");
    EXPECT_EQ(status.GetTypeId(), 4);
}

// The filled record reads back whole; a text without the wrappers keeps their attributes'
// fields and empties the lists.
TEST(CaptureDeviceStatus, FilledRecordReadsBackWhole) {
    CaptureDeviceStatus status = FilledStatus();
    const std::string text = WrittenXml(status);
    test_support::ExpectApproved("capture_device_status_filled.txt", text + "\n");
    CaptureDeviceStatus read;
    ReadXmlText(read, text);
    EXPECT_TRUE(read == status) << text << "\nread back as\n" << WrittenXml(read);

    ReadXmlText(read, "<qav:CaptureDeviceStatus/>");
    EXPECT_TRUE(read.m_videoChannels.empty() && read.m_phoneEntries.empty() &&
                read.m_recordings.Entries().empty());
    EXPECT_TRUE(read.m_imei == u"3566" && read.m_phoneTextEnable && read.m_maxPacketSize == 1400);
}

struct EventCase {
    int32_t type;
    int32_t index;
    int32_t value;
    const char16_t* name;
    std::function<void(CaptureDeviceStatus&)> expect;  // null: nothing changes
};

TEST(CaptureDeviceStatus, EventsChangeOnlyTheEntryTheyName) {
    const EventCase cases[] = {
        {1, -1, 0, u"", [](auto& s) { s.m_gpsActive = false; }},
        {2, 1, 96, u"", [](auto& s) { s.m_audioChannels[1].m_bitrate = 96; }},
        {2, 2, 96, u"", nullptr},
        {4, 0, 0, u"Left", [](auto& s) { s.m_audioChannels[0].m_name = u"Left"; }},
        {10, 1, 1, u"", [](auto& s) { s.m_videoChannels[1].m_audioChannel = 1; }},
        {11, 1, 0, u"", [](auto& s) { s.m_audioDefaultChannel = 1; }},
        {11, 2, 0, u"", nullptr},
        {11, -1, 0, u"", nullptr},
        {15, 0, 5, u"", [](auto& s) { s.m_audioOutChannels[0].m_streaming = true; }},
        {28, 0, 0, u"Car", [](auto& s) { s.m_name = u"Car"; }},
        {53, 0, 0, u"GPS", [](auto& s) { s.m_serialPorts[0].m_name = u"GPS"; }},
        {17, 1, 8000, u"", nullptr},  // one audio-out channel only
        {35, 0, 1, u"", [](auto& s) { s.m_inputPorts[0].m_value = 1; }},
        {35, 1, 1, u"", nullptr},
        {54, 0, 4800, u"", [](auto& s) { s.m_serialPorts[0].m_baudRate = 4800; }},
        {63, 0, 60, u"", [](auto& s) { s.m_restartPeriod = 60; }},
        {63, 0, -5, u"", nullptr},
        {64, 0, 0, u"", [](auto& s) { s.m_phoneEntries.erase(s.m_phoneEntries.begin()); }},
        {64, 3, 0, u"", nullptr},
        {69, 1, 900, u"",
         [](auto& s) {
             s.m_videoChannels[1].m_encoderParameters[0].m_bitrate = 900;
             s.m_videoChannels[1].m_encoderParameters[0].m_requestedBitrate = 900;
         }},
        {72, 0, 0, u"Detected", [](auto& s) { s.m_videoChannels[0].m_signalState = 2; }},
        {72, 0, 0, u"detected", nullptr},
        {76, 0, 0, u"", [](auto& s) { s.m_videoDefaultChannel = 0; }},
        {76, 2, 0, u"", nullptr},
        {76, -1, 0, u"", nullptr},
        {80, 0, 1, u"", [](auto& s) { s.m_outputPorts[0].m_value = 1; }},
        {80, INT32_MAX, 1, u"", nullptr},
        {6, 0, 0, u"", nullptr},    // audio out default channel: not followed
        {81, 0, 0, u"X", nullptr},  // beyond the followed kinds
    };
    for (const EventCase& c : cases) {
        CaptureDeviceEvent event;
        event.m_type = c.type;
        event.m_index = c.index;
        event.m_value = c.value;
        event.m_name = c.name;
        CaptureDeviceStatus status = FilledStatus();
        CaptureDeviceStatus expected = FilledStatus();
        if (c.expect) {
            c.expect(expected);
        }
        status.ApplyEvent(event);
        EXPECT_TRUE(status == expected) << "type " << c.type << " index " << c.index << " value "
                                        << c.value << ": " << WrittenXml(status);
    }
}

struct CommandCase {
    int32_t type;
    int32_t mediaType;
    int32_t index;
    int32_t destination;
    int32_t control;
    const char16_t* value;
    int32_t frameRate;
    int32_t bitrate;
    std::function<void(CaptureDeviceStatus&)> expect;  // null: false, nothing changes
};

TEST(CaptureDeviceStatus, MonitorCommandsReportWhetherTheyChangedAField) {
    const CommandCase cases[] = {
        {14, 1, 1, 0, 0, u"Pan", 0, 0,
         [](auto& s) { s.m_videoChannels[1].m_controls[0] = u"Pan"; }},
        {14, 1, 1, 0, 0, u"Zoom", 0, 0, nullptr},  // already that text
        {14, 1, 2, 0, 0, u"Pan", 0, 0, nullptr},
        {14, 2, 0, 0, 1, u"Pan", 0, 0, nullptr},  // control beyond the list
        {14, 7, 0, 0, 0, u"Vol", 0, 0,
         [](auto& s) { s.m_audioOutChannels[0].m_controls[0] = u"Vol"; }},
        {14, 11, 99, 0, 1, u"Off", 0, 0, [](auto& s) { s.m_controls[1] = u"Off"; }},
        {14, 13, 0, 0, 0, u"Off", 0, 0, nullptr},
        {15, 1, 0, 1, 0, u"", 10, 0,
         [](auto& s) { s.m_videoChannels[0].m_encoderParameters[1].m_frameRate = 10; }},
        {15, 1, 0, 0, 0, u"", 25, 512, nullptr},  // the rates it already has
        {15, 1, 0, 0, 0, u"", 0, 0, nullptr},
        {15, 1, 0, 2, 0, u"", 10, 100, nullptr},
        {15, 1, -1, 0, 0, u"", 10, 100, nullptr},
        {25, 1, 1, 0, 0, u"IDR", 0, 0,
         [](auto& s) {
             s.m_videoChannels[1].m_encoderParameters[0].m_encoderControls[0] = u"IDR";
         }},
        {25, 1, 1, 1, 0, u"IDR", 0, 0, nullptr},  // the recording set has no controls
        {25, 1, 1, 2, 0, u"IDR", 0, 0, nullptr},
        {16, 1, 0, 0, 0, u"IDR", 10, 100, nullptr},
    };
    for (const CommandCase& c : cases) {
        MonitorCommand command;
        command.m_type = c.type;
        command.m_mediaType = c.mediaType;
        command.m_index = c.index;
        command.m_mediaStreamDestination = c.destination;
        command.m_control = c.control;
        command.m_valueText = c.value;
        command.m_frameRate = c.frameRate;
        command.m_bitrate = c.bitrate;
        CaptureDeviceStatus status = FilledStatus();
        CaptureDeviceStatus expected = FilledStatus();
        if (c.expect) {
            c.expect(expected);
        }
        const std::string what = "type " + std::to_string(c.type) + " media " +
                                 std::to_string(c.mediaType) + " index " + std::to_string(c.index) +
                                 " set " + std::to_string(c.destination);
        EXPECT_EQ(status.ApplyMonitorCommand(command), c.expect != nullptr) << what;
        EXPECT_TRUE(status == expected) << what;
    }
}

TEST(CaptureDeviceStatus, GettersFallBackOutsideTheLists) {
    const CaptureDeviceStatus status = FilledStatus();
    int32_t width = -1;
    int32_t height = -1;
    VideoChannelFormat video;
    EXPECT_TRUE(status.GetVideoChannelFormat(0, kRecordingEncoderSet, video));
    EXPECT_TRUE(video.m_width == 1280 && video.m_bitrate == 2048 && video.m_index == 0);
    AudioChannelFormat audio;
    EXPECT_TRUE(status.GetAudioChannelFormat(1, audio));
    EXPECT_TRUE(audio.m_index == 1 && audio.m_sampleRate == 16000 && audio.m_name == u"Mic");
    EXPECT_TRUE(status.IsChannelEnabled(9, 99) && status.IsChannelEnabled(13, 0));
    EXPECT_FALSE(status.IsChannelEnabled(1, 1));  // the rear channel is off

    for (const int32_t index : {-1, 2, INT32_MAX}) {
        SCOPED_TRACE(index);
        WString name = u"kept";
        EXPECT_TRUE(status.GetVideoChannelUseSingleEncoder(index));
        EXPECT_EQ(status.GetVideoChannelBitrate(index, 0), 0);
        EXPECT_TRUE(status.GetVideoChannelDeinterlace(index, true));
        EXPECT_FALSE(status.GetVideoChannelImageSize(index, 0, width, height));
        EXPECT_FALSE(status.GetAudioChannelName(index, name) ||
                     status.GetVideoChannelName(index, name));
        EXPECT_FALSE(status.GetVideoChannelFormat(index, 0, video));
        EXPECT_FALSE(status.IsChannelEnabled(7, index) || status.IsChannelEnabled(0, index));
        EXPECT_EQ(name, u"kept");
    }
    // A set other than broadcast or recording names nothing either.
    EXPECT_EQ(status.GetVideoChannelFrameRate(0, 2), 0);
    EXPECT_FALSE(status.GetVideoChannelFormat(0, -1, video));
    EXPECT_TRUE(width == -1 && video.m_width == 1280 && audio.m_index == 1);
}

}  // namespace
}  // namespace qav
