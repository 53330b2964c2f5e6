#include "core/test_support.h"
#include "records/logging_parameters.h"
#include "records/media_recorder_config.h"
#include "records/record_test_support.h"
#include "records/software_updates_config.h"

namespace qav {
namespace {

using test_support::ReadXmlText;
using test_support::WrittenXml;

TEST(MediaRecorderConfig, ResetWritesTheDefaultsInOrder) {
    MediaRecorderConfig config;
    config.m_recordEvents = false;
    config.m_audioVideoFileFormat = 4;
    config.m_encryptionEnabled = true;
    config.m_remoteFileSystemType = 3;
    config.Reset();
    EXPECT_EQ(WrittenXml(config),
              "<qav:MediaRecorderConfig qav:SeparateDeviceFolders=\"False\" " QAV_TEST_NS
              ">"
              "<qav:RootDirectory/><qav:FileSizeSplitThreshold>0</qav:FileSizeSplitThreshold>"
              "<qav:FileTimeSplitThreshold>0</qav:FileTimeSplitThreshold>"
              "<qav:BufferSize>0</qav:BufferSize>"
              "<qav:EnableFileSystemOptimizations>False</qav:EnableFileSystemOptimizations>"
              "<qav:VerifyWrites>False</qav:VerifyWrites>"
              "<qav:RecordIfMotionDetected>True</qav:RecordIfMotionDetected>"
              "<qav:DeleteOldFiles>True</qav:DeleteOldFiles><qav:SignFiles>False</qav:SignFiles>"
              "<qav:RecordLocations>True</qav:RecordLocations>"
              "<qav:RecordEvents>True</qav:RecordEvents>"
              "<qav:RecordVideoOnAlarm>False</qav:RecordVideoOnAlarm>"
              "<qav:RecordAudioOnAlarm>False</qav:RecordAudioOnAlarm>"
              "<qav:RecordingEventTime>60</qav:RecordingEventTime>"
              "<qav:UseNamesInFiles>False</qav:UseNamesInFiles>"
              "<qav:RecordMediaTraffic>False</qav:RecordMediaTraffic>"
              "<qav:AudioFileFormat>Raw</qav:AudioFileFormat>"
              "<qav:VideoFileFormat>Raw</qav:VideoFileFormat>"
              "<qav:AudioVideoFileFormat>FLV</qav:AudioVideoFileFormat>"
              "<qav:Encryption qav:Enable=\"False\"/><qav:RemoteFileSystem>"
              "<qav:RemoteFileSystemType>None</qav:RemoteFileSystemType></qav:RemoteFileSystem>"
              "<qav:Downloads qav:RootDirectory=\"\" qav:SeparateDeviceFolders=\"False\"/>"
              "</qav:MediaRecorderConfig>");
}

TEST(MediaRecorderConfig, GuardedFieldsTravelOnlyUnderTheirCondition) {
    MediaRecorderConfig config;
    config.m_rootDirectory = u"/rec";
    config.m_downloadsRootDirectory = u"/dl";
    config.m_fileSizeSplitThreshold = 5'000'000'000;  // beyond 32 bits
    config.m_remoteFileSystemType = 1;
    config.m_remoteAddress = u"//nas";
    config.m_remoteUserName = u"rec";
    config.m_remotePassword = u"p<w";
    config.m_encryptionEnabled = true;
    config.m_encryptionKey = u"k&y";
    config.m_recordEvents = false;
    config.m_audioFileFormat = 4;
    config.m_separateDeviceFolders = true;
    const std::string wire = WrittenXml(config);
    for (const char* part : {"<qav:RootDirectory>/rec<", "<qav:Downloads qav:RootDirectory=\"/dl\"",
                             "<qav:Encryption qav:Enable=\"True\" qav:Key=\"k&amp;y\"/>",
                             "<qav:RemoteFileSystemType>SMB</qav:RemoteFileSystemType><qav:Address>"
                             "//nas</qav:Address><qav:UserName>rec</qav:UserName><qav:Password>"
                             "p&lt;w</qav:Password>"}) {
        EXPECT_NE(wire.find(part), std::string::npos) << part << "\nin " << wire;
    }
    MediaRecorderConfig copy;
    ReadXmlText(copy, wire);
    EXPECT_EQ(copy.m_fileSizeSplitThreshold, 5'000'000'000);
    EXPECT_EQ(WrittenXml(copy), wire);
    // Containers without their fields and texts no table has leave everything as it was.
    ReadXmlText(
        copy,
        "<qav:MediaRecorderConfig><qav:AudioFileFormat>mp4</qav:AudioFileFormat>"
        "<qav:Encryption/><qav:RemoteFileSystem/><qav:Downloads/></qav:MediaRecorderConfig>");
    EXPECT_EQ(WrittenXml(copy), wire);

    // The key is read only while the flag (as read, else as it was) is set; the address
    // only while the type (as read, else as it was) is not "None".
    struct Case {
        const char* enable;
        bool enabledBefore;
        const char* type;  // empty: no type element
        int32_t typeBefore;
        const char16_t* key;  // key and address start empty; the document has "k" and "a"
        const char16_t* address;
    };
    for (const Case& c :
         {Case{"False", true, "SMB", 0, u"", u"a"}, Case{"", true, "None", 2, u"k", u""},
          Case{"", false, "", 2, u"", u"a"}, Case{"True", false, "smb", 0, u"k", u""}}) {
        MediaRecorderConfig read;
        read.m_encryptionEnabled = c.enabledBefore;
        read.m_remoteFileSystemType = c.typeBefore;
        const std::string enable = *c.enable ? std::string(" qav:Enable=\"") + c.enable + "\"" : "";
        const std::string type = *c.type ? std::string("<qav:RemoteFileSystemType>") + c.type +
                                               "</qav:RemoteFileSystemType>"
                                         : "";
        ReadXmlText(read, "<qav:MediaRecorderConfig><qav:Encryption" + enable +
                              " qav:Key=\"k\"/><qav:RemoteFileSystem>" + type +
                              "<qav:Address>a</qav:Address></qav:RemoteFileSystem>"
                              "</qav:MediaRecorderConfig>");
        EXPECT_EQ(read.m_encryptionKey, c.key) << enable << type;
        EXPECT_EQ(read.m_remoteAddress, c.address) << enable << type;
    }
}

TEST(LoggingParameters, WritesItsDefaultsAndKeepsAnUnknownSeverity) {
    LoggingParameters parameters;
    EXPECT_EQ(WrittenXml(parameters),
              "<qav:LoggingParameters " QAV_TEST_NS
              "><qav:LogSeverity>Warning</qav:LogSeverity>"
              "<qav:MaxNumberOfLogMessages>200</qav:MaxNumberOfLogMessages>"
              "<qav:LogViewer><qav:AutoRefresh>False</qav:AutoRefresh></qav:LogViewer>"
              "</qav:LoggingParameters>");
    ReadXmlText(parameters,
                "<qav:LoggingParameters><qav:LogSeverity>Status</qav:LogSeverity>"
                "<qav:AutoRefresh>True</qav:AutoRefresh></qav:LoggingParameters>");
    EXPECT_EQ(parameters.m_logSeverity, kSeverityStatus);
    EXPECT_FALSE(parameters.m_autoRefresh) << "AutoRefresh belongs inside qav:LogViewer";
    ReadXmlText(parameters,
                "<qav:LoggingParameters><qav:LogSeverity>Fatal</qav:LogSeverity>"
                "<qav:LogViewer><qav:AutoRefresh>yes</qav:AutoRefresh></qav:LogViewer>"
                "</qav:LoggingParameters>");
    EXPECT_EQ(parameters.m_logSeverity, kSeverityStatus);
    EXPECT_EQ(parameters.m_maxNumberOfLogMessages, 200);
    EXPECT_TRUE(parameters.m_autoRefresh);

    // A negative maximum is refused, the limit kept; 0 (no limit) is a choice one may make.
    const struct {
        const char* text;
        int32_t maximum;
    } maximums[] = {{"-1", 200}, {"-2147483648", 200}, {"50", 50}, {"0", 0}, {"-7", 0}};
    for (const auto& c : maximums) {
        ReadXmlText(parameters, std::string("<qav:LoggingParameters><qav:MaxNumberOfLogMessages>") +
                                    c.text +
                                    "</qav:MaxNumberOfLogMessages></qav:LoggingParameters>");
        EXPECT_EQ(parameters.m_maxNumberOfLogMessages, c.maximum) << c.text;
    }
}

// The node's own limits and counts are read only from whole decimal numbers: other text
// keeps what was there (and is reported) instead of reading as 0, which for a threshold
// means none.
TEST(ConfigurationRecords, LimitsThatAreNoNumberKeepTheirValues) {
    MediaRecorderConfig recorder;
    ReadXmlText(recorder,
                "<qav:MediaRecorderConfig><qav:FileSizeSplitThreshold> 8589934592 "
                "</qav:FileSizeSplitThreshold><qav:FileTimeSplitThreshold>600"
                "</qav:FileTimeSplitThreshold><qav:BufferSize>+4096</qav:BufferSize>"
                "<qav:RecordingEventTime>30</qav:RecordingEventTime></qav:MediaRecorderConfig>");
    EXPECT_EQ(recorder.m_fileSizeSplitThreshold, int64_t{1} << 33);
    EXPECT_EQ(recorder.m_fileTimeSplitThreshold, 600);
    EXPECT_EQ(recorder.m_bufferSize, 4096);
    EXPECT_EQ(recorder.m_recordingEventTime, 30);
    for (const char* text : {"", "abc", "--5", "0x10", "12abc", "99999999999999999999"}) {
        test_support::CapturingTextLogger logger(kSeverityWarning);
        const std::string value = text;
        ReadXmlText(recorder, "<qav:MediaRecorderConfig><qav:FileSizeSplitThreshold>" + value +
                                  "</qav:FileSizeSplitThreshold><qav:FileTimeSplitThreshold>" +
                                  value + "</qav:FileTimeSplitThreshold><qav:BufferSize>" + value +
                                  "</qav:BufferSize><qav:RecordingEventTime>" + value +
                                  "</qav:RecordingEventTime></qav:MediaRecorderConfig>");
        EXPECT_EQ(recorder.m_fileSizeSplitThreshold, int64_t{1} << 33) << text;
        EXPECT_EQ(recorder.m_fileTimeSplitThreshold, 600) << text;
        EXPECT_EQ(recorder.m_bufferSize, 4096) << text;
        EXPECT_EQ(recorder.m_recordingEventTime, 30) << text;
        EXPECT_EQ(logger.Lines().size(), 4u) << text;
    }

    // Each refusal names the child, the value kept and the text.
    test_support::CapturingTextLogger logger(kSeverityWarning);
    LoggingParameters logging;
    ReadXmlText(logging,
                "<qav:LoggingParameters><qav:MaxNumberOfLogMessages>--5"
                "</qav:MaxNumberOfLogMessages></qav:LoggingParameters>");
    EXPECT_EQ(logging.m_maxNumberOfLogMessages, 200);
    EXPECT_EQ(logger.Lines(),
              std::vector<std::string>{
                  "2 Not a decimal number in qav:MaxNumberOfLogMessages, kept 200: \"--5\""});
}

TEST(ConfigurationRecords, WriteXmlAppendsANewElementEachTime) {
    LoggingParameters logging;
    MediaRecorderConfig recorder;
    SoftwareUpdatesConfig updates;
    updates.m_rootDirectory = u"/updates";
    EXPECT_EQ(WrittenXml(updates), "<qav:SoftwareUpdatesConfig " QAV_TEST_NS
                                   "><qav:RootDirectory>/updates</qav:RootDirectory>"
                                   "<qav:EnableSoftwareUpdates>False</qav:EnableSoftwareUpdates>"
                                   "</qav:SoftwareUpdatesConfig>");
    for (XmlRecord* record : std::initializer_list<XmlRecord*>{&logging, &recorder, &updates}) {
        XmlDocument document;
        XmlElement root = document.CreateRoot(u"Root", nullptr);
        record->WriteXml(root);
        record->WriteXml(root);
        const XmlElement second = root.FirstChild().NextSibling();
        EXPECT_TRUE(second.IsValid() && !second.NextSibling().IsValid()) << record->GetTypeId();
    }
}

}  // namespace
}  // namespace qav
