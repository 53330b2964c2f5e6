#include "records/media_recorder_config.h"

#include "core/xml_fields.h"
#include "records/media_fields.h"
#include "records/record_fields.h"

namespace qav {
namespace {

void Serialize(MediaRecorderConfig& record, XmlElement element, uint32_t direction) {
    const bool write = direction != kSyncRead;
    SyncStringField(element, u"qav:RootDirectory", direction, record.m_rootDirectory);
    // The recorders' own thresholds and sizes: text that is no number must not read as 0,
    // which would lift a threshold.
    SyncCheckedIntField(element, u"qav:FileSizeSplitThreshold", kQavNamespaceUri, direction,
                        record.m_fileSizeSplitThreshold);
    SyncCheckedIntField(element, u"qav:FileTimeSplitThreshold", kQavNamespaceUri, direction,
                        record.m_fileTimeSplitThreshold);
    SyncCheckedIntField(element, u"qav:BufferSize", kQavNamespaceUri, direction,
                        record.m_bufferSize);

    SyncBoolField(element, u"qav:EnableFileSystemOptimizations", direction,
                  record.m_enableFileSystemOptimizations);
    SyncBoolField(element, u"qav:VerifyWrites", direction, record.m_verifyWrites);
    SyncBoolField(element, u"qav:RecordIfMotionDetected", direction,
                  record.m_recordIfMotionDetected);
    SyncBoolField(element, u"qav:DeleteOldFiles", direction, record.m_deleteOldFiles);
    SyncBoolField(element, u"qav:SignFiles", direction, record.m_signFiles);
    SyncBoolField(element, u"qav:RecordLocations", direction, record.m_recordLocations);
    SyncBoolField(element, u"qav:RecordEvents", direction, record.m_recordEvents);
    SyncBoolField(element, u"qav:RecordVideoOnAlarm", direction, record.m_recordVideoOnAlarm);
    SyncBoolField(element, u"qav:RecordAudioOnAlarm", direction, record.m_recordAudioOnAlarm);

    SyncCheckedIntField(element, u"qav:RecordingEventTime", kQavNamespaceUri, direction,
                        record.m_recordingEventTime);
    SyncBoolField(element, u"qav:UseNamesInFiles", direction, record.m_useNamesInFiles);
    SyncBoolField(element, u"qav:RecordMediaTraffic", direction, record.m_recordMediaTraffic);

    SyncMediaFileFormatField(element, u"qav:AudioFileFormat", kQavNamespaceUri,
                             kMediaFileFormatTable, direction, record.m_audioFileFormat);
    SyncMediaFileFormatField(element, u"qav:VideoFileFormat", kQavNamespaceUri,
                             kMediaFileFormatTable, direction, record.m_videoFileFormat);
    SyncMediaFileFormatField(element, u"qav:AudioVideoFileFormat", kQavNamespaceUri,
                             kMediaFileFormatTable, direction, record.m_audioVideoFileFormat);

    // The key is guarded by the flag as it stands after this element's own "qav:Enable".
    if (XmlElement encryption =
            element.FindOrCreateChild(u"qav:Encryption", kQavNamespaceUri, write);
        encryption.IsValid()) {
        SyncBoolAttribute(encryption, u"qav:Enable", kQavNamespaceUri, direction,
                          record.m_encryptionEnabled);
        if (record.m_encryptionEnabled) {
            SyncTextAttribute(encryption, u"qav:Key", kQavNamespaceUri, direction,
                              record.m_encryptionKey);
        }
    }

    if (XmlElement remote =
            element.FindOrCreateChild(u"qav:RemoteFileSystem", kQavNamespaceUri, write);
        remote.IsValid()) {
        SyncRemoteFileSystemTypeField(remote, u"qav:RemoteFileSystemType", kQavNamespaceUri,
                                      kRemoteFileSystemTypeTable, direction,
                                      record.m_remoteFileSystemType);
        if (record.m_remoteFileSystemType != 0) {
            SyncStringField(remote, u"qav:Address", direction, record.m_remoteAddress);
            SyncStringField(remote, u"qav:UserName", direction, record.m_remoteUserName);
            SyncStringField(remote, u"qav:Password", direction, record.m_remotePassword);
        }
    }

    SyncBoolAttribute(element, u"qav:SeparateDeviceFolders", kQavNamespaceUri, direction,
                      record.m_separateDeviceFolders);

    if (XmlElement downloads = element.FindOrCreateChild(u"qav:Downloads", kQavNamespaceUri, write);
        downloads.IsValid()) {
        SyncTextAttribute(downloads, u"qav:RootDirectory", kQavNamespaceUri, direction,
                          record.m_downloadsRootDirectory);
        SyncBoolAttribute(downloads, u"qav:SeparateDeviceFolders", kQavNamespaceUri, direction,
                          record.m_downloadsSeparateDeviceFolders);
    }
}

}  // namespace

void MediaRecorderConfig::Reset() {
    *this = MediaRecorderConfig();
}

void MediaRecorderConfig::WriteXml(XmlElement parent) {
    Serialize(*this, parent.CreateChild(u"qav:MediaRecorderConfig", kQavNamespaceUri), kSyncWrite);
}

void MediaRecorderConfig::ReadXml(XmlElement element) {
    Serialize(*this, element, kSyncRead);
}

uint32_t MediaRecorderConfig::GetPayload(const uint8_t**&) {
    return 0;
}

int32_t MediaRecorderConfig::GetTypeId() const {
    return kTypeId;
}

}  // namespace qav
