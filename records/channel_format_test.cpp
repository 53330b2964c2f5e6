#include "records/channel_format.h"

#include "records/record_test_support.h"

namespace qav {
namespace {

using test_support::ParseXml;
using test_support::SavedXml;

TEST(ChannelFormat, WritesGoldenTextsThatReadBackEqual) {
    VideoChannelFormat video{{u"Front <1>", 1, 2, 1'500'000}, 1280, 720, 25, 270, true};
    AudioChannelFormat audio{{u"Mic", 5, 0, 64'000}, 8000, 2, 16};
    XmlDocument document;
    XmlElement parent = document.CreateRoot(u"Root", nullptr);
    video.WriteXml(parent);
    audio.WriteXml(parent);
    const std::string wire = SavedXml(document);
    EXPECT_EQ(wire, "<Root><qav:VideoChannel qav:Index=\"2\" qav:Rotation=\"270\" " QAV_TEST_NS
                    "><qav:Name>Front &lt;1&gt;</qav:Name><qav:Bitrate>1500000</qav:Bitrate>"
                    "<qav:CompressionAlgorithm>H264</qav:CompressionAlgorithm>"
                    "<qav:ImageSize qav:Height=\"720\" qav:Width=\"1280\"/>"
                    "<qav:FrameRate>25</qav:FrameRate><qav:Deinterlace>True</qav:Deinterlace>"
                    "</qav:VideoChannel><qav:AudioChannel qav:Index=\"0\" " QAV_TEST_NS
                    "><qav:Name>Mic</qav:Name><qav:Bitrate>64000</qav:Bitrate>"
                    "<qav:CompressionAlgorithm>PCMA</qav:CompressionAlgorithm>"
                    "<qav:SampleRate>8000</qav:SampleRate>"
                    "<qav:NumberOfChannels>2</qav:NumberOfChannels>"
                    "<qav:ChannelSampleSize>16</qav:ChannelSampleSize></qav:AudioChannel></Root>");

    XmlDocument reread;
    parent = ParseXml(reread, wire);
    VideoChannelFormat videoCopy;
    AudioChannelFormat audioCopy;
    EXPECT_TRUE(videoCopy.ReadXml(parent));
    EXPECT_TRUE(audioCopy.ReadXml(parent));
    EXPECT_EQ(videoCopy, video);
    EXPECT_EQ(audioCopy, audio);
}

TEST(ChannelFormat, ReadsTheFirstChannelAndKeepsWhatItCannotRead) {
    VideoChannelFormat video;
    video.m_compressionAlgorithm = 1;
    video.m_width = 640;
    const VideoChannelFormat before = video;
    XmlDocument document;
    EXPECT_FALSE(video.ReadXml(
        ParseXml(document, "<r><qav:AudioChannel qav:Index=\"3\"/><VideoChannel/></r>")));
    EXPECT_EQ(video, before);

    // Only the first channel counts; an unknown codec text keeps the codec.
    EXPECT_TRUE(
        video.ReadXml(ParseXml(document,
                               "<r><qav:VideoChannel qav:Index=\"4\"><qav:CompressionAlgorithm>h264"
                               "</qav:CompressionAlgorithm></qav:VideoChannel>"
                               "<qav:VideoChannel qav:Index=\"5\"/></r>")));
    EXPECT_EQ(video.m_index, 4);
    EXPECT_EQ(video.m_compressionAlgorithm, 1);
    EXPECT_EQ(video.m_width, 640);

    // A codec outside the table leaves its child out; a reader keeps its own codec.
    AudioChannelFormat audio;
    audio.m_compressionAlgorithm = 6;
    XmlElement parent = document.CreateRoot(u"r", nullptr);
    audio.WriteXml(parent);
    EXPECT_EQ(SavedXml(document).find("CompressionAlgorithm"), std::string::npos);
    audio.m_compressionAlgorithm = 2;
    EXPECT_TRUE(audio.ReadXml(parent));
    EXPECT_EQ(audio.m_compressionAlgorithm, 2);
}

TEST(ChannelType, NamesComeFromTheTable) {
    EXPECT_EQ(WStringView(GetChannelTypeName(14)), u"Serial Port Out");
    EXPECT_EQ(GetChannelTypeName(15), nullptr);
}

}  // namespace
}  // namespace qav
