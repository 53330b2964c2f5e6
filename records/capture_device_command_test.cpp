#include "records/capture_device_command.h"

#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ReadXmlText;
using test_support::Utf8Of;
using test_support::WrittenXml;

#define COMMAND(type, body) \
    "<qav:CaptureDeviceCommand qav:DeviceID=\"7\" qav:MonitorsChain=\"\" qav:Type=\"" type "\"" body

// Every field away from its default, so that a field written under the wrong name or left
// out shows in the sweep.
CaptureDeviceCommand Filled(int32_t type) {
    CaptureDeviceCommand c;
    c.m_type = type;
    c.m_mediaType = 1;  // "Video"
    c.m_mediaStreamDestination = 1;
    c.m_monitorsChain = u"12,7";
    c.m_directory = u"dir";
    c.m_deviceId = 7;
    c.m_index = 2;
    c.m_bitrate = 512;
    c.m_frameRate = 25;
    c.m_value = 3;
    c.m_videoChannel = 0;
    c.m_audioChannel = 1;
    c.m_timeInMilliseconds = 250;
    c.m_locationIndex = 4;
    c.m_sampleRate = 8000;
    c.m_numberOfChannels = 2;
    c.m_commandIndex = 5;
    c.m_receiveToken = 6;
    c.m_distance = 100;
    c.m_xStart = 10, c.m_xEnd = 20, c.m_yStart = 30, c.m_yEnd = 40;
    c.m_control = 8;
    c.m_time = 9;
    c.m_sourceDeviceId = 11;
    c.m_packetNumber = 12;
    c.m_numPackets = 13;
    c.m_deinterlace = c.m_detectMotion = c.m_enable = c.m_displayFrameText = true;
    c.m_writeLocation = c.m_filterNoise = c.m_enableParallelInOut = c.m_syncFrames = true;
    c.m_useSingleEncoder = c.m_resetBuffer = c.m_sendData = false;
    c.m_sendImage = c.m_sendLocations = c.m_publish = c.m_dst = true;
    c.m_name = u"name";
    c.m_newName = u"new";
    c.m_text = u"text";
    c.m_phoneNumber = u"+15550100";
    c.m_timeText = u"2030-01-02 03:04:05";
    c.m_valueText = u"auto";
    c.m_address = u"rtmp://host/live";
    c.m_userName = u"user";
    c.m_password = u"secret";
    c.m_playbackSpeed = 2.5;
    c.m_doubleValue = 0.25;
    c.m_position = int64_t{1} << 40;
    c.m_size = 4096;
    c.m_timestamp = 1700000000000;
    c.m_width = 640;
    c.m_height = 480;
    c.m_indices = {2, 0, 5};
    c.m_machineRole = 2;
    c.m_angle = 90;
    c.m_speed = 14;
    c.m_zoomDirection = 2;
    c.m_playbackType = 2;
    c.m_focusDirection = 3;
    c.m_irisDirection = 2;
    c.m_transportProtocol = 1;
    c.m_storageSource = 3;
    c.m_operationLimit = 2;
    c.m_dataSize = 16;
    return c;
}

TEST(CaptureDeviceCommand, OnlyATypedCommandIsWrittenWithItsHead) {
    CaptureDeviceCommand command;
    EXPECT_EQ(WrittenXml(command), "");
    command.m_type = 17;
    command.m_deviceId = 7;
    EXPECT_EQ(WrittenXml(command), COMMAND("Restart Machine", " " QAV_TEST_NS "/>"));
}

TEST(CaptureDeviceCommand, GoldenWireTexts) {
    CaptureDeviceCommand bitrate = Filled(3);
    bitrate.m_monitorsChain.clear();
    EXPECT_EQ(WrittenXml(bitrate),
              COMMAND("Set Bit Rate", " " QAV_TEST_NS ">")
              "<qav:MediaType>Video</qav:MediaType><qav:Index>2</qav:Index>"
              "<qav:MediaStreamDestination>Recording</qav:MediaStreamDestination>"
              "<qav:Bitrate>512</qav:Bitrate></qav:CaptureDeviceCommand>");

    CaptureDeviceCommand streams = Filled(46);
    streams.m_monitorsChain.clear();
    EXPECT_EQ(WrittenXml(streams),
              COMMAND("Start Streaming Multiple Channels", " " QAV_TEST_NS ">")
              "<qav:MediaType>Video</qav:MediaType><qav:Indices><qav:Index>2</qav:Index>"
              "<qav:Index>0</qav:Index><qav:Index>5</qav:Index></qav:Indices>"
              "</qav:CaptureDeviceCommand>");

    CaptureDeviceCommand rectangle = Filled(70);
    rectangle.m_monitorsChain.clear();
    EXPECT_EQ(WrittenXml(rectangle),
              COMMAND("Set VMD Rectangle", " qav:XEnd=\"20\" qav:XStart=\"10\" qav:YEnd=\"40\" "
                                           "qav:YStart=\"30\" " QAV_TEST_NS ">")
              "<qav:Index>2</qav:Index><qav:Enable>True</qav:Enable>"
              "</qav:CaptureDeviceCommand>");
}

// Every type's text, body and required feature (with the media type Video), and that each
// reads back into a command that writes the same text.
TEST(CaptureDeviceCommand, EveryTypeRoundTrips) {
    std::string sweep;
    for (int32_t type = 1; type <= 109; ++type) {
        CaptureDeviceCommand command = Filled(type);
        const std::string wire = WrittenXml(command);
        CaptureDeviceCommand read;
        ReadXmlText(read, wire);
        EXPECT_EQ(WrittenXml(read), wire);
        const WChar* feature = FindEnumText(kDeviceFeatureTable,
                                            static_cast<uint32_t>(GetRequiredDeviceFeature(read)));
        sweep += Utf8Of(feature == nullptr ? u"?" : feature) + "\t" + wire + "\n";
    }
    test_support::ExpectApproved("capture_device_command_types.txt", sweep);
}

TEST(CaptureDeviceCommand, ChannelAttributesFollowTheMediaTypeJustRead) {
    CaptureDeviceCommand command;
    ReadXmlText(command,
                "<qav:CaptureDeviceCommand qav:Type=\"Set Channel Attributes\">"
                "<qav:MediaType>Audio Out</qav:MediaType><qav:FrameRate>30</qav:FrameRate>"
                "<qav:Width>640</qav:Width><qav:SampleRate>16000</qav:SampleRate>"
                "<qav:NumberOfChannels>2</qav:NumberOfChannels><qav:FilterNoise>True"
                "</qav:FilterNoise><qav:EnableParallelInOut>yes</qav:EnableParallelInOut>"
                "<qav:Bitrate>64</qav:Bitrate></qav:CaptureDeviceCommand>");
    EXPECT_TRUE(command.m_type == 11 && command.m_mediaType == 7);
    EXPECT_TRUE(command.m_sampleRate == 16000 && command.m_numberOfChannels == 2 &&
                command.m_filterNoise && command.m_enableParallelInOut && command.m_bitrate == 64);
    EXPECT_TRUE(command.m_frameRate == 0 && command.m_width == 0) << "video attributes taken";
}

// A text that no row has, and a field the type does not carry, keep what the record had.
TEST(CaptureDeviceCommand, UnknownTextsLeaveFieldsUnchanged) {
    const struct {
        const char* body;
        int32_t CaptureDeviceCommandFields::*field;
        int32_t expected;
    } cases[] = {
        {"qav:Type=\"Focus\"><qav:Direction>In</qav:Direction>",
         &CaptureDeviceCommandFields::m_focusDirection, 0},
        {"qav:Type=\"Zoom Camera\"><qav:Direction>In</qav:Direction>",
         &CaptureDeviceCommandFields::m_zoomDirection, 1},
        {"qav:Type=\"Stop Recording\"><qav:MachineRole>server</qav:MachineRole>",
         &CaptureDeviceCommandFields::m_machineRole, 0},
        {"qav:Type=\"Stop Recording\"><qav:MachineRole>Server</qav:MachineRole>",
         &CaptureDeviceCommandFields::m_machineRole, 2},
        {"qav:Type=\"stop recording\"><qav:MachineRole>Server</qav:MachineRole>",
         &CaptureDeviceCommandFields::m_type, 0},
        {"qav:Type=\"Set Bit Rate\"><qav:MediaType>video</qav:MediaType>",
         &CaptureDeviceCommandFields::m_mediaType, 0},
        {"qav:Type=\"Delete Directory\"><qav:StorageSource>Downloads </qav:StorageSource>",
         &CaptureDeviceCommandFields::m_storageSource, 1},
        {"qav:Type=\"Set VMD Rectangle\" qav:XStart=\"5\"><qav:Enable>False</qav:Enable>",
         &CaptureDeviceCommandFields::m_xStart, -1},
        {"qav:Type=\"Set Distance Trigger\"><qav:Distance>9</qav:Distance>",
         &CaptureDeviceCommandFields::m_distance, 0},
        {"qav:Type=\"Restart Machine\"><qav:Index>9</qav:Index>",
         &CaptureDeviceCommandFields::m_index, 0},
    };
    for (const auto& c : cases) {
        CaptureDeviceCommand command;
        ReadXmlText(command, std::string("<qav:CaptureDeviceCommand ") + c.body +
                                 "</qav:CaptureDeviceCommand>");
        EXPECT_EQ(command.*c.field, c.expected) << c.body;
    }
    CaptureDeviceCommand speed;
    speed.m_type = 72;
    ReadXmlText(speed,
                "<qav:CaptureDeviceCommand><qav:Speed>1e999</qav:Speed>"
                "</qav:CaptureDeviceCommand>");
    EXPECT_EQ(speed.m_playbackSpeed, 1.0) << "an infinite speed is refused";
}

TEST(CaptureDeviceCommand, RequiredFeatureByTypeAndChannel) {
    const struct {
        int32_t type;
        int32_t mediaType;
        int32_t videoChannel;
        int32_t audioChannel;
        int32_t expected;
    } cases[] = {
        {1, 1, -1, -1, kFeatureWatchVideo},
        {1, 10, -1, -1, kFeatureWatchVideo},
        {2, 9, -1, -1, kFeatureHearAudio},
        {58, 13, -1, -1, kFeatureHearAudio},
        {46, 6, -1, -1, kFeatureBroadcastVideo},
        {1, 7, -1, -1, kFeatureBroadcastAudio},
        {1, 11, -1, -1, kFeatureSetMiscParameters},
        {3, 6, -1, -1, kFeatureSetVideoParameters},
        {106, 7, -1, -1, kFeatureSetAudioParameters},
        {71, 12, -1, -1, kFeatureSetMiscParameters},
        {19, 1, -1, -1, kFeatureResetVideo},
        {20, 2, -1, -1, kFeatureResetAudio},
        {19, 6, -1, -1, kFeatureSetMiscParameters},
        {13, 0, 0, -1, kFeatureRecordVideo},
        {13, 0, -1, 0, kFeatureRecordAudio},
        {13, 0, -1, -1, kFeatureUndefined},
        {97, 0, -1, -1, kFeatureUndefined},
        {0, 1, -1, -1, kFeatureUnknownCommand},
        {110, 1, -1, -1, kFeatureUnknownCommand},
        {-3, 1, -1, -1, kFeatureUnknownCommand},
    };
    for (const auto& c : cases) {
        CaptureDeviceCommand command;
        command.m_type = c.type;
        command.m_mediaType = c.mediaType;
        command.m_videoChannel = c.videoChannel;
        command.m_audioChannel = c.audioChannel;
        EXPECT_EQ(GetRequiredDeviceFeature(command), c.expected)
            << "type " << c.type << ", media " << c.mediaType;
    }
}

TEST(CaptureDeviceCommand, AttachmentLengthMatchesItsBytes) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    CaptureDeviceCommand command = Filled(109);
    command.m_payload = bytes;
    command.m_dataSize = 4;
    const uint8_t** payload = nullptr;
    EXPECT_EQ(command.GetPayload(payload), 4u);
    ASSERT_EQ(payload, &command.m_payload);

    // A negative length travels as 0, the length GetPayload hands out.
    command.m_dataSize = -1;
    EXPECT_EQ(command.GetPayload(payload), 0u);
    EXPECT_NE(WrittenXml(command).find("<qav:DataSize>0</qav:DataSize>"), std::string::npos)
        << WrittenXml(command);

    // A command read, reused or not, holds exactly the length its XML announces and no
    // reference to the bytes of an earlier one.
    const struct {
        const char* xml;
        int32_t dataSize;
    } reads[] = {
        {COMMAND("Send", "><qav:DataSize>9</qav:DataSize>") "</qav:CaptureDeviceCommand>", 9},
        {COMMAND("Send", "><qav:DataSize>-1</qav:DataSize>") "</qav:CaptureDeviceCommand>", 0},
        {COMMAND("Send", "/>"), 0},
        {COMMAND("Set Geo-fences", "/>"), 0},
        {COMMAND("Restart Machine", "/>"), 0},
    };
    for (const auto& read : reads) {
        command.m_payload = bytes;
        command.m_dataSize = 4;
        ReadXmlText(command, read.xml);
        EXPECT_TRUE(command.m_dataSize == read.dataSize && command.m_payload == nullptr)
            << read.xml << ": " << command.m_dataSize;
        payload = nullptr;
        EXPECT_EQ(command.GetPayload(payload), static_cast<uint32_t>(read.dataSize)) << read.xml;
    }
}

TEST(CaptureDeviceCommand, ChainResetAndNames) {
    CaptureDeviceCommand command;
    command.AddMonitorToChain(3);
    command.AddMonitorToChain(9);
    command.AddMonitorToChain(5);
    EXPECT_EQ(Utf8Of(command.m_monitorsChain), "5,9,3");

    command = Filled(14);
    EXPECT_TRUE(IsServerCommandOtherThanRecording(Filled(35)));
    EXPECT_FALSE(IsServerCommandOtherThanRecording(command));
    EXPECT_EQ(Utf8Of(GetCommandTypeName(command)), "Stop Recording");
    command.Reset();
    EXPECT_TRUE(command.m_indices == (std::vector<int32_t>{2, 0, 5})) << "the list is kept";
    command.m_indices.clear();
    EXPECT_EQ(command, CaptureDeviceCommand());
    command.m_type = 110;
    EXPECT_EQ(GetCommandTypeName(command), nullptr);
}

}  // namespace
}  // namespace qav
