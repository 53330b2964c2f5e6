#include "records/monitor_command.h"

#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ParseXml;
using test_support::ReadXmlText;
using test_support::WrittenXml;

#define COMMAND(attributes) "<qav:MonitorCommand " attributes QAV_TEST_NS

MediaFileEntry File(int32_t type, const char16_t* name) {
    MediaFileEntry file;
    file.m_type = type;
    file.m_name = name;
    file.m_mediaFileExtension = u"mp4";
    file.m_deviceId = 7;
    file.m_videoChannel = 0;
    file.m_audioChannel = 1;
    file.m_duration = 60;
    file.m_startingTime = u"2030-01-02 03:04:05";
    file.m_endingTime = u"2030-01-02 03:05:05";
    return file;
}

// Every field away from its default, so that a field written under the wrong name or left
// out shows in the sweep.
MonitorCommand Filled(int32_t type) {
    MonitorCommand c;
    c.m_type = type;
    c.m_monitorsChain = u"12,7";
    c.m_mediaType = 2;  // "Audio"
    c.m_mediaStreamDestination = 1;
    c.m_storageHostType = 2;
    c.m_storageSource = 3;
    c.m_functionalState = 4;
    c.m_index = 2;
    c.m_deviceId = 7;
    c.m_monitorId = 5;
    c.m_freeSpaceMBytes = 900;
    c.m_control = 8;
    c.m_bitrate = 512;
    c.m_frameRate = 25;
    c.m_receiveToken = 6;
    c.m_value = 3;
    c.m_defaultValue = 4;
    c.m_numberOfSeconds = 30;
    c.m_sourceDeviceId = 11;
    c.m_size = int64_t{1} << 40;
    c.m_ntpTime = 3900000000123;
    c.m_timestamp = -1700000000000;
    c.m_name = u"name";
    c.m_text = u"a <b> & \"c\"";
    c.m_directory = u"dir";
    c.m_mediaFileExtension = u"mp4";
    c.m_valueText = u"auto";
    c.m_startingTime = u"2030-01-02 03:04:05";
    c.m_endingTime = u"2030-01-02 04:04:05";
    c.m_enable = true;
    c.m_audioFormat.m_name = u"mic";
    c.m_audioFormat.m_compressionAlgorithm = 2;
    c.m_audioFormat.m_sampleRate = 8000;
    c.m_videoFormat.m_index = 0;
    c.m_videoFormat.m_width = 640;
    c.m_deviceAccessLevel = 4;
    // Folders carry their name and kind only; a video file no audio channel, an audio file
    // no video channel, a mixed file both.
    c.m_mediaFiles = {File(4, u"folder"), File(2, u"video"), File(1, u"audio"), File(3, u"mixed")};
    c.m_routeStatistics = {{"10.0.0.2", 4096}, {"h\xC3\xA9te", 0}};
    c.m_dataSize = 16;
    return c;
}

TEST(MonitorCommand, GoldenWireTexts) {
    MonitorCommand command;
    EXPECT_EQ(WrittenXml(command), COMMAND("") "/>") << "type 0 writes an empty element";

    command = Filled(MonitorCommand::kPacket);
    command.m_dataSize = 1316;
    EXPECT_EQ(WrittenXml(command), COMMAND("qav:Size=\"1316\" qav:Type=\"Packet\" ") "/>");

    command = Filled(10);
    EXPECT_EQ(WrittenXml(command), COMMAND("qav:Type=\"Node Connection\" ") "/>");

    command = Filled(24);
    EXPECT_EQ(WrittenXml(command),
              COMMAND("qav:NTPTime=\"3900000000123\" qav:Timestamp=\"-1700000000000\" "
                      "qav:Type=\"Device Timestamp Sync\" ")
              "><qav:DeviceID>7</qav:DeviceID></qav:MonitorCommand>");
}

// Every type's wire text, and that each reads back into a command that writes the same
// text.
TEST(MonitorCommand, EveryTypeRoundTrips) {
    std::string sweep;
    for (int32_t type = 0; type <= 36; ++type) {
        MonitorCommand command = Filled(type);
        const std::string wire = WrittenXml(command);
        MonitorCommand read;
        ReadXmlText(read, wire);
        EXPECT_EQ(WrittenXml(read), wire) << "type " << type;
        sweep += std::to_string(type) + "\t" + wire + "\n";
    }
    test_support::ExpectApproved("monitor_command_types.txt", sweep);
}

// A text that no row has, and a field the type does not carry, keep what the record had.
TEST(MonitorCommand, UnknownTextsLeaveFieldsUnchanged) {
    const struct {
        const char* body;
        int32_t MonitorCommandFields::*field;
        int32_t expected;
    } cases[] = {
        {"qav:Type=\"packet\" qav:Size=\"9\">", &MonitorCommandFields::m_type, 0},
        {"qav:Type=\"packet\" qav:Size=\"9\">", &MonitorCommandFields::m_dataSize, 0},
        {"qav:Type=\"Packet\" qav:Size=\"-9\">", &MonitorCommandFields::m_dataSize, 0},
        {"qav:Type=\"Set Stream Header\"><qav:MediaType>audio</qav:MediaType>",
         &MonitorCommandFields::m_mediaType, 0},
        {"qav:Type=\"Media Files List\"><qav:StorageHostType>node</qav:StorageHostType>",
         &MonitorCommandFields::m_storageHostType, 1},
        {"qav:Type=\"Media Files List\"><qav:StorageSource>Recording </qav:StorageSource>",
         &MonitorCommandFields::m_storageSource, 1},
        {"qav:Type=\"Device Storage Conditions\"><qav:FunctionalState>Read only"
         "</qav:FunctionalState>",
         &MonitorCommandFields::m_functionalState, 0},
        {"qav:Type=\"Device Access Level\"><qav:DeviceAccessLevel>Location aware"
         "</qav:DeviceAccessLevel>",
         &MonitorCommandFields::m_deviceAccessLevel, 0},
        {"qav:Type=\"Channel Rates Change\"><qav:MediaStreamDestination>broadcast"
         "</qav:MediaStreamDestination>",
         &MonitorCommandFields::m_mediaStreamDestination, 0},
        {"qav:Type=\"Set Monitor ID\"><qav:DeviceID>4</qav:DeviceID>",
         &MonitorCommandFields::m_deviceId, 0},
        {"qav:Type=\"Playback Initialization\"><qav:Index>4</qav:Index>",
         &MonitorCommandFields::m_index, 0},
        {"qav:Type=\"Playback Initialization\"><qav:PlaybackIndex>4</qav:PlaybackIndex>",
         &MonitorCommandFields::m_index, 4},
        {"qav:Type=\"Media Section Not Found\"><qav:SourceDeviceID>4</qav:SourceDeviceID>",
         &MonitorCommandFields::m_sourceDeviceId, 0},
        {"qav:Type=\"Dynamic Temperature Reading\"><qav:Value>x</qav:Value>"
         "<qav:DefaultValue>4</qav:DefaultValue>",
         &MonitorCommandFields::m_defaultValue, 0},
    };
    for (const auto& c : cases) {
        MonitorCommand command;
        ReadXmlText(command,
                    std::string("<qav:MonitorCommand ") + c.body + "</qav:MonitorCommand>");
        EXPECT_EQ(command.*c.field, c.expected) << c.body;
    }

    MonitorCommand list;
    ReadXmlText(list,
                "<qav:MonitorCommand qav:Type=\"Media Files List\"><qav:MediaFilesList>"
                "<qav:MediaFile qav:MediaType=\"Files Folder\" qav:VideoChannel=\"3\"/><qav:X/>"
                "<qav:MediaFile qav:MediaType=\"video file\" qav:Duration=\"3\"/>"
                "</qav:MediaFilesList></qav:MonitorCommand>");
    ASSERT_EQ(list.m_mediaFiles.size(), 2u);
    EXPECT_EQ(list.m_mediaFiles[0].m_videoChannel, -1) << "a folder has no channels";
    EXPECT_TRUE(list.m_mediaFiles[1].m_type == 0 && list.m_mediaFiles[1].m_duration == 0);
}

TEST(MonitorCommand, WritingTwiceIntoOneElementKeepsOneOfEach) {
    XmlDocument document;
    XmlElement element = document.CreateRoot(u"qav:MonitorCommand", kQavNamespaceUri);
    MonitorCommand command = Filled(9);
    Serialize(command, element, kSyncWrite);
    command.m_audioFormat.m_sampleRate = 16000;
    Serialize(command, element, kSyncWrite);
    MonitorCommand read;
    Serialize(read, element, kSyncRead);
    EXPECT_EQ(read.m_audioFormat.m_sampleRate, 16000) << "the first write's channel is gone";

    command = Filled(8);
    Serialize(command, element, kSyncWrite);
    Serialize(command, element, kSyncWrite);
    Serialize(read, element, kSyncRead);
    EXPECT_EQ(read.m_mediaFiles.size(), command.m_mediaFiles.size());
}

TEST(MonitorCommand, AttachmentLengthMatchesItsBytes) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    MonitorCommand command = Filled(35);
    command.m_payload = bytes;
    command.m_dataSize = 4;
    const uint8_t** payload = nullptr;
    EXPECT_EQ(command.GetPayload(payload), 4u);
    ASSERT_EQ(payload, &command.m_payload);
    EXPECT_EQ(command.GetTypeId(), 10);

    // A negative length travels as 0, the length GetPayload hands out, in both forms.
    command.m_dataSize = -1;
    EXPECT_EQ(command.GetPayload(payload), 0u);
    EXPECT_NE(WrittenXml(command).find("<qav:DataSize>0</qav:DataSize>"), std::string::npos)
        << WrittenXml(command);
    command.m_type = 7;  // "Packet"
    EXPECT_EQ(WrittenXml(command), COMMAND("qav:Size=\"0\" qav:Type=\"Packet\" ") "/>");

    // A command read, reused or not, holds exactly the length its XML announces and no
    // reference to the bytes of an earlier one.
    const struct {
        const char* xml;
        int32_t dataSize;
    } reads[] = {
        {COMMAND("qav:Type=\"Packet\" qav:Size=\"9\" ") "/>", 9},
        {COMMAND("qav:Type=\"Packet\" qav:Size=\"-9\" ") "/>", 0},
        {COMMAND("qav:Type=\"Packet\" ") "/>", 0},
        {COMMAND(
             "qav:Type=\"Client Data\" ") "><qav:DataSize>5</qav:DataSize></qav:MonitorCommand>",
         5},
        {COMMAND("qav:Type=\"Client Data\" ") "/>", 0},
        {COMMAND("qav:Type=\"Device Geo-fences\" ") "/>", 0},
        {COMMAND("qav:Type=\"Device Disconnection\" ") "/>", 0},
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

}  // namespace
}  // namespace qav
