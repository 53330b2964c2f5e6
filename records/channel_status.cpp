#include "records/channel_status.h"

#include "records/record_fields.h"

namespace qav {
namespace {

void SyncControlValue(XmlElement item, uint32_t direction, WString& value) {
    if (direction != kSyncRead) {
        item.SetAttribute(u"qav:Value", value);
    } else {
        item.GetAttribute(u"qav:Value", value);
    }
}

// An empty list writes no wrapper, yet a wrapper already there loses its old controls, so
// what is read back is always what was written. Reading with no wrapper empties the list.
void SyncControls(XmlElement element, WStringView name, uint32_t direction,
                  std::vector<WString>& controls) {
    const bool create = direction != kSyncRead && !controls.empty();
    SyncControlList(element.FindOrCreateChild(name, kQavNamespaceUri, create), direction, controls);
}

void SyncSerialPortBody(XmlElement element, uint32_t direction, SerialPortStatus& port) {
    SyncChannelStatusBody(element, direction, port);
    SyncIntField(element, u"qav:BaudRate", kQavNamespaceUri, direction, port.m_baudRate);
}

}  // namespace

void SyncChannelStatusBody(XmlElement element, uint32_t direction, ChannelStatus& channel) {
    SyncStringField(element, u"qav:Name", direction, channel.m_name);
    SyncCodecField(element, u"qav:CompressionAlgorithm", direction, channel.m_compressionAlgorithm);
    SyncBoolField(element, u"qav:Streaming", direction, channel.m_streaming);
    SyncBoolField(element, u"qav:Enable", direction, channel.m_enable);
    SyncBoolField(element, u"qav:Variable", direction, channel.m_variable);
    SyncControls(element, u"qav:Controls", direction, channel.m_controls);
}

void SyncEncoderParameters(XmlElement element, uint32_t direction, EncoderParameters& parameters) {
    const XmlElement imageSize =
        element.FindOrCreateChild(u"qav:ImageSize", kQavNamespaceUri, direction != kSyncRead);
    SyncIntAttribute(imageSize, u"qav:Width", kQavNamespaceUri, direction, parameters.m_width);
    SyncIntAttribute(imageSize, u"qav:Height", kQavNamespaceUri, direction, parameters.m_height);
    SyncIntField(element, u"qav:Bitrate", kQavNamespaceUri, direction, parameters.m_bitrate);
    SyncIntField(element, u"qav:RequestedBitrate", kQavNamespaceUri, direction,
                 parameters.m_requestedBitrate);
    SyncIntField(element, u"qav:FrameRate", kQavNamespaceUri, direction, parameters.m_frameRate);
    SyncIntField(element, u"qav:RequestedFramerate", kQavNamespaceUri, direction,
                 parameters.m_requestedFramerate);
    SyncIntField(element, u"qav:MaxVideoFrameRate", kQavNamespaceUri, direction,
                 parameters.m_maxVideoFrameRate);
    SyncControls(element, u"qav:EncoderControls", direction, parameters.m_encoderControls);
}

void SyncVideoChannelBody(XmlElement element, uint32_t direction, VideoChannelStatus& channel) {
    SyncChannelStatusBody(element, direction, channel);
    SyncEncoderParameters(element, direction, channel.m_encoderParameters[kBroadcastEncoderSet]);
    SyncEncoderParameters(element.FindOrCreateChild(u"qav:RecordingParameters", kQavNamespaceUri,
                                                    direction != kSyncRead),
                          direction, channel.m_encoderParameters[kRecordingEncoderSet]);
    SyncBoolField(element, u"qav:Deinterlace", direction, channel.m_deinterlace);
    SyncBoolField(element, u"qav:DisplayFrameText", direction, channel.m_displayFrameText);
    SyncBoolField(element, u"qav:DetectMotion", direction, channel.m_detectMotion);
    SyncBoolField(element, u"qav:MotionDetected", direction, channel.m_motionDetected);
    SyncIntField(element, u"qav:AudioChannel", kQavNamespaceUri, direction, channel.m_audioChannel);
    SyncBoolField(element, u"qav:SyncFrames", direction, channel.m_syncFrames);
    SyncBoolField(element, u"qav:UseSingleEncoder", direction, channel.m_useSingleEncoder);
    SyncBoolField(element, u"qav:WriteLocation", direction, channel.m_writeLocation);
    SyncSignalStateAttribute(element, direction, channel.m_signalState);
}

void SyncAudioChannelBody(XmlElement element, uint32_t direction, AudioChannelStatus& channel) {
    SyncChannelStatusBody(element, direction, channel);
    SyncIntField(element, u"qav:Bitrate", kQavNamespaceUri, direction, channel.m_bitrate);
    SyncIntField(element, u"qav:RequestedBitrate", kQavNamespaceUri, direction,
                 channel.m_requestedBitrate);
    SyncIntField(element, u"qav:SampleRate", kQavNamespaceUri, direction, channel.m_sampleRate);
    SyncIntField(element, u"qav:RequestedSampleRate", kQavNamespaceUri, direction,
                 channel.m_requestedSampleRate);
    SyncIntField(element, u"qav:EncodedSampleRate", kQavNamespaceUri, direction,
                 channel.m_encodedSampleRate);
    SyncIntField(element, u"qav:NumberOfChannels", kQavNamespaceUri, direction,
                 channel.m_numberOfChannels);
    SyncIntField(element, u"qav:ChannelSampleSize", kQavNamespaceUri, direction,
                 channel.m_channelSampleSize);
    SyncBoolField(element, u"qav:FilterNoise", direction, channel.m_filterNoise);
    SyncBoolField(element, u"qav:EnableParallelInOut", direction, channel.m_enableParallelInOut);
}

void SyncControlList(XmlElement wrapper, uint32_t direction, std::vector<WString>& controls) {
    SyncList(wrapper, u"qav:Control", kQavNamespaceUri, direction, controls, SyncControlValue);
}

void SyncVideoChannelList(XmlElement wrapper, uint32_t direction,
                          std::vector<VideoChannelStatus>& channels) {
    SyncList(wrapper, u"qav:VideoChannel", kQavNamespaceUri, direction, channels,
             SyncVideoChannelBody);
}

void SyncAudioChannelList(XmlElement wrapper, uint32_t direction,
                          std::vector<AudioChannelStatus>& channels) {
    SyncList(wrapper, u"qav:AudioChannel", kQavNamespaceUri, direction, channels,
             SyncAudioChannelBody);
}

void SyncSerialPortList(XmlElement wrapper, uint32_t direction,
                        std::vector<SerialPortStatus>& ports) {
    SyncList(wrapper, u"qav:SerialPort", kQavNamespaceUri, direction, ports, SyncSerialPortBody);
}

}  // namespace qav
