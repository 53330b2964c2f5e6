#include "records/channel_format.h"

#include "records/record_fields.h"

namespace qav {
namespace {

constexpr WChar kAudioChannel[] = u"qav:AudioChannel";
constexpr WChar kVideoChannel[] = u"qav:VideoChannel";

void Serialize(ChannelFormat& format, XmlElement element, uint32_t direction) {
    SyncStringField(element, u"qav:Name", direction, format.m_name);
    SyncIntField(element, u"qav:Bitrate", kQavNamespaceUri, direction, format.m_bitrate);
    SyncCodecField(element, u"qav:CompressionAlgorithm", direction, format.m_compressionAlgorithm);
    SyncIntAttribute(element, u"qav:Index", kQavNamespaceUri, direction, format.m_index);
}

void Serialize(AudioChannelFormat& format, XmlElement element, uint32_t direction) {
    Serialize(static_cast<ChannelFormat&>(format), element, direction);
    SyncIntField(element, u"qav:SampleRate", kQavNamespaceUri, direction, format.m_sampleRate);
    SyncIntField(element, u"qav:NumberOfChannels", kQavNamespaceUri, direction,
                 format.m_numberOfChannels);
    SyncIntField(element, u"qav:ChannelSampleSize", kQavNamespaceUri, direction,
                 format.m_channelSampleSize);
}

void Serialize(VideoChannelFormat& format, XmlElement element, uint32_t direction) {
    Serialize(static_cast<ChannelFormat&>(format), element, direction);
    XmlElement imageSize =
        element.FindOrCreateChild(u"qav:ImageSize", kQavNamespaceUri, direction != kSyncRead);
    SyncIntAttribute(imageSize, u"qav:Width", kQavNamespaceUri, direction, format.m_width);
    SyncIntAttribute(imageSize, u"qav:Height", kQavNamespaceUri, direction, format.m_height);
    SyncIntField(element, u"qav:FrameRate", kQavNamespaceUri, direction, format.m_frameRate);
    SyncBoolField(element, u"qav:Deinterlace", direction, format.m_deinterlace);
    SyncIntAttribute(element, u"qav:Rotation", kQavNamespaceUri, direction, format.m_rotation);
}

// The first channel element named `name` under `parent`; false when there is none.
template <typename Format>
bool ReadFirst(Format& format, XmlElement parent, WStringView name) {
    const XmlElement element = parent.FindChild(name);
    if (!element.IsValid()) {
        return false;
    }
    Serialize(format, element, kSyncRead);
    return true;
}

}  // namespace

const WChar* GetChannelTypeName(int32_t channelType) {
    return FindEnumText(kChannelTypeTable, static_cast<uint32_t>(channelType));
}

void AudioChannelFormat::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(kAudioChannel, kQavNamespaceUri), kSyncWrite);
}

bool AudioChannelFormat::ReadXml(XmlElement parent) {
    return ReadFirst(*this, parent, kAudioChannel);
}

void VideoChannelFormat::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(kVideoChannel, kQavNamespaceUri), kSyncWrite);
}

bool VideoChannelFormat::ReadXml(XmlElement parent) {
    return ReadFirst(*this, parent, kVideoChannel);
}

}  // namespace qav
