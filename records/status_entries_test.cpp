#include "core/xml_test_support.h"
#include "records/channel_status.h"
#include "records/phone_entry.h"
#include "records/port_status.h"
#include "records/ptz_engine.h"

namespace qav {
namespace {

using test_support::ParseXml;

template <typename Entry>
using ListBinding = void (*)(XmlElement, uint32_t, std::vector<Entry>&);

// The wrapper declares the namespace, so the items carry no declaration of their own.
const std::string kOpen = "<qav:W xmlns:qav=\"urn:qav:relay:2026\">";
const std::string kClose = "</qav:W>";

// The items that `bind` writes (over `items` already in the wrapper).
template <typename Entry>
std::string WriteList(ListBinding<Entry> bind, std::vector<Entry> list,
                      const std::string& items = "") {
    XmlDocument document;
    bind(ParseXml(document, kOpen + items + kClose), kSyncWrite, list);
    const std::string text = test_support::SavedXml(document);
    return text.substr(kOpen.size(), text.size() - kOpen.size() - kClose.size());
}

// `items` read into `list` as it stands.
template <typename Entry>
std::vector<Entry> ReadList(ListBinding<Entry> bind, const std::string& items,
                            std::vector<Entry> list = {}) {
    XmlDocument document;
    bind(ParseXml(document, kOpen + items + kClose), kSyncRead, list);
    return list;
}

template <typename Entry>
void ExpectGolden(ListBinding<Entry> bind, const std::vector<Entry>& list, const char* items) {
    EXPECT_EQ(WriteList(bind, list), items);
    EXPECT_TRUE(ReadList(bind, items) == list) << "read back differs: " << items;
}

TEST(StatusEntries, EachListWritesItsGoldenTextAndReadsItBack) {
    VideoChannelStatus video;
    static_cast<ChannelStatus&>(video) = {false, true, true, u"Front <1>", 1, {u"Zoom", u"Focus"}};
    video.m_useSingleEncoder = false;
    video.m_encoderParameters[kBroadcastEncoderSet] = {640, 480, 25, 30, 512, 768, 60, {u"GOP"}};
    video.m_encoderParameters[kRecordingEncoderSet] = {1280, 720, 15, 12, 2048, 4096, 20, {}};
    video.m_audioChannel = 0;
    video.m_deinterlace = video.m_motionDetected = video.m_writeLocation = true;
    video.m_signalState = 2;
    ExpectGolden<VideoChannelStatus>(
        SyncVideoChannelList, {video},
        "<qav:VideoChannel qav:SignalState=\"Detected\"><qav:Name>Front &lt;1&gt;</qav:Name>"
        "<qav:CompressionAlgorithm>H264</qav:CompressionAlgorithm><qav:Streaming>True"
        "</qav:Streaming><qav:Enable>False</qav:Enable><qav:Variable>True</qav:Variable>"
        "<qav:Controls><qav:Control qav:Value=\"Zoom\"/><qav:Control qav:Value=\"Focus\"/>"
        "</qav:Controls><qav:ImageSize qav:Height=\"480\" qav:Width=\"640\"/><qav:Bitrate>512"
        "</qav:Bitrate><qav:RequestedBitrate>768</qav:RequestedBitrate><qav:FrameRate>25"
        "</qav:FrameRate><qav:RequestedFramerate>30</qav:RequestedFramerate>"
        "<qav:MaxVideoFrameRate>60</qav:MaxVideoFrameRate><qav:EncoderControls><qav:Control "
        "qav:Value=\"GOP\"/></qav:EncoderControls><qav:RecordingParameters><qav:ImageSize "
        "qav:Height=\"720\" qav:Width=\"1280\"/><qav:Bitrate>2048</qav:Bitrate>"
        "<qav:RequestedBitrate>4096</qav:RequestedBitrate><qav:FrameRate>15</qav:FrameRate>"
        "<qav:RequestedFramerate>12</qav:RequestedFramerate><qav:MaxVideoFrameRate>20"
        "</qav:MaxVideoFrameRate></qav:RecordingParameters><qav:Deinterlace>True</qav:Deinterlace>"
        "<qav:DisplayFrameText>False</qav:DisplayFrameText><qav:DetectMotion>False"
        "</qav:DetectMotion><qav:MotionDetected>True</qav:MotionDetected><qav:AudioChannel>0"
        "</qav:AudioChannel><qav:SyncFrames>False</qav:SyncFrames><qav:UseSingleEncoder>False"
        "</qav:UseSingleEncoder><qav:WriteLocation>True</qav:WriteLocation></qav:VideoChannel>");

    // Rates in declaration order: bitrate, requested, sample rate, requested, encoded.
    const AudioChannelStatus audio{
        {true, false, true, u"Mic", 2, {u"Gain"}}, 64, 96, 48000, 44100, 16000, 2, 16, true};
    ExpectGolden<AudioChannelStatus>(
        SyncAudioChannelList, {audio},
        "<qav:AudioChannel><qav:Name>Mic</qav:Name><qav:CompressionAlgorithm>AAC"
        "</qav:CompressionAlgorithm><qav:Streaming>False</qav:Streaming><qav:Enable>True"
        "</qav:Enable><qav:Variable>True</qav:Variable><qav:Controls><qav:Control "
        "qav:Value=\"Gain\"/></qav:Controls><qav:Bitrate>64</qav:Bitrate><qav:RequestedBitrate>96"
        "</qav:RequestedBitrate><qav:SampleRate>48000</qav:SampleRate>"
        "<qav:RequestedSampleRate>44100</qav:RequestedSampleRate><qav:EncodedSampleRate>16000"
        "</qav:EncodedSampleRate><qav:NumberOfChannels>2</qav:NumberOfChannels>"
        "<qav:ChannelSampleSize>16</qav:ChannelSampleSize><qav:FilterNoise>True</qav:FilterNoise>"
        "<qav:EnableParallelInOut>False</qav:EnableParallelInOut></qav:AudioChannel>");

    ExpectGolden<SerialPortStatus>(
        SyncSerialPortList, {{{true, false, false, u"COM1", 0, {}}, 9600}},
        "<qav:SerialPort><qav:Name>COM1</qav:Name><qav:CompressionAlgorithm>Undefined"
        "</qav:CompressionAlgorithm><qav:Streaming>False</qav:Streaming><qav:Enable>True"
        "</qav:Enable><qav:Variable>False</qav:Variable><qav:BaudRate>9600</qav:BaudRate>"
        "</qav:SerialPort>");

    ExpectGolden<InputPortStatus>(
        SyncInputPortList, {{{1, u"Door"}, {{0, 1, 30}, {2, -1, 5}}}, {{0, u"Window"}, {}}},
        "<qav:InputPort qav:Name=\"Door\" qav:Value=\"1\"><qav:RecordingActions>"
        "<qav:RecordingAction><qav:VideoChannel qav:Index=\"0\"/><qav:AudioChannel "
        "qav:Index=\"1\"/><qav:Time qav:NumberOfSeconds=\"30\"/></qav:RecordingAction>"
        "<qav:RecordingAction><qav:VideoChannel qav:Index=\"2\"/><qav:AudioChannel "
        "qav:Index=\"-1\"/><qav:Time qav:NumberOfSeconds=\"5\"/></qav:RecordingAction>"
        "</qav:RecordingActions></qav:InputPort><qav:InputPort qav:Name=\"Window\" qav:Value=\"0\">"
        "<qav:RecordingActions/></qav:InputPort>");

    ExpectGolden<OutputPortStatus>(SyncOutputPortList, {{{-3, u"Siren \"A\""}}, {}},
                                   "<qav:OutputPort qav:Name=\"Siren &quot;A&quot;\" "
                                   "qav:Value=\"-3\"/><qav:OutputPort qav:Name=\"\" "
                                   "qav:Value=\"0\"/>");

    ExpectGolden<PtzEngine>(
        SyncPtzEngineList, {{u"Dome", {u"Gate", u"Yard"}, {{1, u"Home"}}, 0, 60}, {}},
        "<qav:PtzEngine qav:Name=\"Dome\"><qav:PtzLocations><qav:PtzLocation qav:Name=\"Gate\"/>"
        "<qav:PtzLocation qav:Name=\"Yard\"/></qav:PtzLocations><qav:PtzPresets><qav:PtzPreset "
        "qav:Name=\"Home\" qav:Number=\"1\"/></qav:PtzPresets><qav:DefaultLocation qav:Index=\"0\" "
        "qav:Time=\"60\"/></qav:PtzEngine><qav:PtzEngine qav:Name=\"\"><qav:PtzLocations/>"
        "<qav:PtzPresets/><qav:DefaultLocation qav:Index=\"-1\" qav:Time=\"0\"/></qav:PtzEngine>");

    ExpectGolden<PhoneEntry>(SyncPhoneEntryList, {{u"Desk", u"+15550100", true}},
                             "<qav:PhoneEntry qav:Name=\"Desk\" qav:PhoneNumber=\"+15550100\" "
                             "qav:SendImage=\"True\"/>");
}

TEST(StatusEntries, EnumerationTextsOutsideTheirTablesChangeNothing) {
    struct Case {
        const char *codec, *signal;
        int32_t codecAfter, signalAfter;  // the channel starts with 3 ("PCM"), 1 ("Missing")
    };
    for (const Case& c : {Case{"H264", "Detected", 1, 2}, Case{"Undefined", "Unknown", 0, 0},
                          Case{"h264", "detected", 3, 1}, Case{"H264 ", "", 3, 1}}) {
        XmlDocument document;
        VideoChannelStatus channel;
        channel.m_compressionAlgorithm = 3;
        channel.m_signalState = 1;
        SyncVideoChannelBody(ParseXml(document, std::string("<V qav:SignalState=\"") + c.signal +
                                                    "\"><qav:CompressionAlgorithm>" + c.codec +
                                                    "</qav:CompressionAlgorithm></V>"),
                             kSyncRead, channel);
        EXPECT_EQ(channel.m_compressionAlgorithm, c.codecAfter) << c.codec;
        EXPECT_EQ(channel.m_signalState, c.signalAfter) << c.signal;
    }
}

TEST(StatusEntries, ListsAreReplacedOnWriteAndReadIntoFreshEntries) {
    const std::vector<OutputPortStatus> old(2, OutputPortStatus{{7, u"old"}});
    EXPECT_TRUE(ReadList(SyncOutputPortList,
                         "<qav:InputPort/><qav:OutputPort qav:Name=\"a\"/><qav:Note/>"
                         "<qav:OutputPort qav:Value=\"4\"/>",
                         old) == (std::vector<OutputPortStatus>{{{0, u"a"}}, {{4, u""}}}));
    std::vector<OutputPortStatus> none = old;
    SyncOutputPortList(XmlElement(), kSyncRead, none);
    EXPECT_TRUE(none.empty()) << "a missing wrapper reads as an empty list";

    EXPECT_EQ(WriteList<OutputPortStatus>(SyncOutputPortList, {{{1, u"x"}}, {{2, u"y"}}},
                                          "<qav:OutputPort/><qav:Note/><qav:OutputPort/>"
                                          "<qav:OutputPort/><qav:OutputPort/><qav:OutputPort/>"),
              "<qav:Note/><qav:OutputPort qav:Name=\"x\" qav:Value=\"1\"/><qav:OutputPort "
              "qav:Name=\"y\" qav:Value=\"2\"/>");

    // Bare items read as the defaults, and an emptied control list written over old
    // controls leaves none of them behind.
    EXPECT_TRUE(ReadList(SyncVideoChannelList, "<qav:VideoChannel/>").at(0) ==
                VideoChannelStatus{});
    EXPECT_TRUE(ReadList(SyncAudioChannelList, "<qav:AudioChannel/>").at(0) ==
                AudioChannelStatus{});
    EXPECT_TRUE(ReadList(SyncPtzEngineList, "<qav:PtzEngine/>").at(0) == PtzEngine{});
    EXPECT_TRUE(ReadList(SyncRecordingActionList, "<qav:RecordingAction/>").at(0) ==
                (RecordingAction{-1, -1, 0}));
    XmlDocument document;
    const XmlElement port =
        ParseXml(document, "<P><qav:Controls><qav:Control qav:Value=\"Old\"/></qav:Controls></P>");
    SerialPortStatus serial;
    SyncChannelStatusBody(port, kSyncWrite, serial);
    serial.m_controls = {u"Stale"};
    SyncChannelStatusBody(port, kSyncRead, serial);
    EXPECT_TRUE(serial.m_controls.empty());
}

TEST(StatusEntries, ControlListReplacesOnWriteAndEmptiesOnRead) {
    XmlDocument document;
    XmlElement root = ParseXml(document,
                               "<r><qav:Control qav:Value=\"old\"/><Other/><qav:Control/>"
                               "<qav:Control qav:Value=\"b\"/></r>");
    std::vector<WString> controls = {u"stale"};
    SyncControlList(root, kSyncRead, controls);
    EXPECT_EQ(controls, (std::vector<WString>{u"old", u"", u"b"}));

    controls = {u"Zoom", u""};
    SyncControlList(root, kSyncWrite, controls);
    EXPECT_EQ(test_support::SavedXml(document),
              "<r><Other/><qav:Control qav:Value=\"Zoom\" xmlns:qav=\"urn:qav:relay:2026\"/>"
              "<qav:Control qav:Value=\"\" xmlns:qav=\"urn:qav:relay:2026\"/></r>");
    controls.clear();
    SyncControlList(root, kSyncWrite, controls);
    EXPECT_EQ(test_support::SavedXml(document), "<r><Other/></r>");
    controls = {u"stale"};
    SyncControlList(root, kSyncRead, controls);
    EXPECT_TRUE(controls.empty());
}

}  // namespace
}  // namespace qav
