// The channel entries of a capture device's status: each video, audio (in or out) and
// serial-port channel with the part they share (enabled, streaming, name, codec, controls)
// and what only one kind has — a video channel's two encoder sets and live flags, an audio
// channel's rates and format, a serial port's baud rate. The status record keeps a list of
// each and reads channel facts from them.
//
// Wire form of a video channel (children in this order; an empty control list writes no
// "qav:Controls" or "qav:EncoderControls"):
//   <qav:VideoChannel qav:SignalState="Detected"><qav:Name>Front</qav:Name>
//   <qav:CompressionAlgorithm>H264</qav:CompressionAlgorithm><qav:Streaming>...
//   <qav:Enable>...<qav:Variable>...<qav:Controls><qav:Control qav:Value="Zoom"/>...
//   <qav:ImageSize qav:Height="480" qav:Width="640"/><qav:Bitrate>... (the broadcast set)
//   <qav:RecordingParameters>(the recording set)</qav:RecordingParameters>
//   <qav:Deinterlace>... <qav:AudioChannel>0</qav:AudioChannel> ... </qav:VideoChannel>
//
// Entries are plain values, copied whole; used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_element.h"
#include "core/xml_fields.h"

namespace qav {

// Which encoder set of a video channel: the values of MediaStreamDestination.
inline constexpr int32_t kBroadcastEncoderSet = 0;  // "Broadcast"
inline constexpr int32_t kRecordingEncoderSet = 1;  // "Recording"

struct ChannelStatus {
    bool m_enable = true;
    bool m_streaming = false;
    bool m_variable = true;
    WString m_name;
    CodecId m_compressionAlgorithm = 0;  // "Undefined"
    std::vector<WString> m_controls;

    bool operator==(const ChannelStatus&) const = default;
};

struct EncoderParameters {
    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_frameRate = 0;
    int32_t m_requestedFramerate = 0;
    int32_t m_bitrate = 0;
    int32_t m_requestedBitrate = 0;
    int32_t m_maxVideoFrameRate = 0;
    std::vector<WString> m_encoderControls;

    bool operator==(const EncoderParameters&) const = default;
};

struct VideoChannelStatus : ChannelStatus {
    // Indexed by kBroadcastEncoderSet and kRecordingEncoderSet.
    std::array<EncoderParameters, 2> m_encoderParameters;
    int32_t m_audioChannel = -1;  // index of the attached audio channel; -1 none
    bool m_deinterlace = false;
    bool m_displayFrameText = false;
    bool m_writeLocation = false;
    bool m_detectMotion = false;
    bool m_motionDetected = false;
    bool m_syncFrames = false;
    bool m_useSingleEncoder = true;  // the recording uses the broadcast set
    SignalState m_signalState = 0;   // "Unknown"

    bool operator==(const VideoChannelStatus&) const = default;
};

// Serves audio-in and audio-out channels alike.
struct AudioChannelStatus : ChannelStatus {
    int32_t m_bitrate = 0;
    int32_t m_requestedBitrate = 0;
    int32_t m_sampleRate = 0;
    int32_t m_requestedSampleRate = 0;
    int32_t m_encodedSampleRate = 0;
    int32_t m_numberOfChannels = 1;
    int32_t m_channelSampleSize = 0;
    bool m_filterNoise = false;
    bool m_enableParallelInOut = false;

    bool operator==(const AudioChannelStatus&) const = default;
};

struct SerialPortStatus : ChannelStatus {
    int32_t m_baudRate = 0;

    bool operator==(const SerialPortStatus&) const = default;
};

// Body bindings: one entry under `element` (the entry's own element, or for an encoder set
// the element that holds it), kSyncWrite or kSyncRead.
void SyncChannelStatusBody(XmlElement element, uint32_t direction, ChannelStatus& channel);
void SyncEncoderParameters(XmlElement element, uint32_t direction, EncoderParameters& parameters);
void SyncVideoChannelBody(XmlElement element, uint32_t direction, VideoChannelStatus& channel);
void SyncAudioChannelBody(XmlElement element, uint32_t direction, AudioChannelStatus& channel);

// One "qav:Control" child of the wrapper per text, its attribute "qav:Value" holding the text.
// Writing replaces every old "qav:Control" child; reading takes them in document order (a
// child without the attribute gives an empty text) into an emptied list.
void SyncControlList(XmlElement wrapper, uint32_t direction, std::vector<WString>& controls);

// List bindings under a wrapper that the status record finds or creates: items
// "qav:VideoChannel", "qav:AudioChannel" and "qav:SerialPort" (see SyncList).
void SyncVideoChannelList(XmlElement wrapper, uint32_t direction,
                          std::vector<VideoChannelStatus>& channels);
void SyncAudioChannelList(XmlElement wrapper, uint32_t direction,
                          std::vector<AudioChannelStatus>& channels);
void SyncSerialPortList(XmlElement wrapper, uint32_t direction,
                        std::vector<SerialPortStatus>& ports);

}  // namespace qav
