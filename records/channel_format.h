// AudioChannelFormat and VideoChannelFormat: the stream of one recorded or announced
// channel — its name, codec, channel index and bitrate, and for audio the sample rate,
// channel count and sample size, for video the image size, frame rate, rotation and
// deinterlacing. The monitor command's media lists carry them; the recording writers
// fill them. ChannelType names the kinds of channel and media of the protocol.
//
// Wire form of a default video format (children in this order):
//   <qav:VideoChannel qav:Index="-1" qav:Rotation="0"><qav:Name/><qav:Bitrate>0</qav:Bitrate>
//   <qav:CompressionAlgorithm>Undefined</qav:CompressionAlgorithm>
//   <qav:ImageSize qav:Height="0" qav:Width="0"/><qav:FrameRate>0</qav:FrameRate>
//   <qav:Deinterlace>False</qav:Deinterlace></qav:VideoChannel>
//
// Unlike an XmlRecord, ReadXml takes the parent and reads the first channel element in
// it. A format is used by one thread at a time; the table is constant.
#pragma once

#include <cstdint>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"
#include "core/xml_fields.h"

namespace qav {

inline constexpr EnumTextRow kChannelTypeTable[] = {
    {0, u"Undefined"},
    {1, u"Video"},
    {2, u"Audio"},
    {3, u"Playback Video"},
    {4, u"Playback Audio"},
    {5, u"Mixed"},
    {6, u"Video Out"},
    {7, u"Audio Out"},
    {8, u"End Of Stream"},
    {9, u"ECG Stream"},
    {10, u"Diagnostic Stream"},
    {11, u"General"},
    {12, u"Temperature"},
    {13, u"Serial Port"},
    {14, u"Serial Port Out"},
};

// The display name of a ChannelType value; null for a value outside the table.
const WChar* GetChannelTypeName(int32_t channelType);

// What both formats carry.
class ChannelFormat {
  public:
    bool operator==(const ChannelFormat&) const = default;

    WString m_name;
    CodecId m_compressionAlgorithm = 0;  // "Undefined"
    int32_t m_index = -1;
    int32_t m_bitrate = 0;
};

class AudioChannelFormat : public ChannelFormat {
  public:
    // Appends a new "qav:AudioChannel" under `parent`.
    void WriteXml(XmlElement parent);
    // Reads the first "qav:AudioChannel" of `parent`; false, and nothing changed, when
    // there is none.
    bool ReadXml(XmlElement parent);

    bool operator==(const AudioChannelFormat&) const = default;

    int32_t m_sampleRate = 0;
    int32_t m_numberOfChannels = 0;
    int32_t m_channelSampleSize = 0;
};

class VideoChannelFormat : public ChannelFormat {
  public:
    // Appends a new "qav:VideoChannel" under `parent`.
    void WriteXml(XmlElement parent);
    // Reads the first "qav:VideoChannel" of `parent`; false, and nothing changed, when
    // there is none.
    bool ReadXml(XmlElement parent);

    bool operator==(const VideoChannelFormat&) const = default;

    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_frameRate = 0;
    int32_t m_rotation = 0;
    bool m_deinterlace = false;
};

}  // namespace qav
