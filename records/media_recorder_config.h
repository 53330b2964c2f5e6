// MediaRecorderConfig: the settings of the media recorders — where and how recordings
// are written, what is recorded, the file formats, encryption, a remote file system and
// the downloads folder. The media recorders collection holds one and resets it when it
// is constructed.
//
// The key is carried only while encryption is enabled, and the remote address, user
// name and password only while a remote file system type other than "None" is set; on
// reading, those are taken only under the same condition.
//
// Used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "records/xml_record.h"

namespace qav {

inline constexpr EnumTextRow kMediaFileFormatTable[] = {
    {0, u"Any"}, {1, u"Raw"}, {2, u"FLV"}, {3, u"AVI"}, {4, u"MP4"}, {5, u"WAV"},
};

inline constexpr EnumTextRow kRemoteFileSystemTypeTable[] = {
    {0, u"None"},
    {1, u"SMB"},
    {2, u"NFS"},
    {3, u"USB"},
};

class MediaRecorderConfig : public XmlRecord {
  public:
    static constexpr int32_t kTypeId = 8;
    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    // Every field back to the defaults below.
    void Reset();

    WString m_rootDirectory;
    WString m_downloadsRootDirectory;
    int64_t m_fileSizeSplitThreshold = 0;
    int32_t m_recordingEventTime = 60;
    int32_t m_bufferSize = 0;
    int32_t m_fileTimeSplitThreshold = 0;
    bool m_enableFileSystemOptimizations = false;
    bool m_verifyWrites = false;
    bool m_recordIfMotionDetected = true;
    bool m_deleteOldFiles = true;
    bool m_signFiles = false;
    bool m_recordLocations = true;
    bool m_recordVideoOnAlarm = false;
    bool m_recordAudioOnAlarm = false;
    bool m_recordEvents = true;
    bool m_useNamesInFiles = false;
    bool m_recordMediaTraffic = false;
    bool m_separateDeviceFolders = false;
    bool m_downloadsSeparateDeviceFolders = false;
    int32_t m_audioFileFormat = 1;       // "Raw"
    int32_t m_videoFileFormat = 1;       // "Raw"
    int32_t m_audioVideoFileFormat = 2;  // "FLV"
    int32_t m_remoteFileSystemType = 0;  // "None"
    WString m_remoteAddress;
    WString m_remoteUserName;
    WString m_remotePassword;
    bool m_encryptionEnabled = false;
    WString m_encryptionKey;
};

}  // namespace qav
