// Feeds arbitrary bytes to the configuration records' readers and checks what must hold
// for any input: reading never crashes, and what a record writes reads back into a fresh
// record as exactly the same fields.
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "fuzz/fuzz_support.h"
#include "records/logging_parameters.h"
#include "records/media_recorder_config.h"
#include "records/software_updates_config.h"

namespace {

using qav::fuzz::Check;

auto Fields(const qav::LoggingParameters& r) {
    return std::tie(r.m_logSeverity, r.m_maxNumberOfLogMessages, r.m_autoRefresh);
}

auto Fields(const qav::SoftwareUpdatesConfig& r) {
    return std::tie(r.m_enableSoftwareUpdates, r.m_rootDirectory);
}

auto Fields(const qav::MediaRecorderConfig& r) {
    return std::tie(
        r.m_rootDirectory, r.m_downloadsRootDirectory, r.m_fileSizeSplitThreshold,
        r.m_recordingEventTime, r.m_bufferSize, r.m_fileTimeSplitThreshold,
        r.m_enableFileSystemOptimizations, r.m_verifyWrites, r.m_recordIfMotionDetected,
        r.m_deleteOldFiles, r.m_signFiles, r.m_recordLocations, r.m_recordVideoOnAlarm,
        r.m_recordAudioOnAlarm, r.m_recordEvents, r.m_useNamesInFiles, r.m_recordMediaTraffic,
        r.m_separateDeviceFolders, r.m_downloadsSeparateDeviceFolders, r.m_audioFileFormat,
        r.m_videoFileFormat, r.m_audioVideoFileFormat, r.m_remoteFileSystemType, r.m_remoteAddress,
        r.m_remoteUserName, r.m_remotePassword, r.m_encryptionEnabled, r.m_encryptionKey);
}

// A fresh record read from `element`, written out and read back into another fresh one.
template <typename Record>
void CheckRoundTrip(qav::XmlElement element) {
    Record read;
    read.ReadXml(element);
    if constexpr (std::is_same_v<Record, qav::LoggingParameters>) {
        Check(read.m_maxNumberOfLogMessages >= 0);  // a log is never made unbounded by accident
    }
    Record again;
    qav::fuzz::ReadBackWritten(read, again);
    Check(Fields(again) == Fields(read));
}

void CheckElement(qav::XmlElement element) {
    CheckRoundTrip<qav::LoggingParameters>(element);
    CheckRoundTrip<qav::SoftwareUpdatesConfig>(element);
    CheckRoundTrip<qav::MediaRecorderConfig>(element);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qav::fuzz::CheckXmlElements(data, size, CheckElement);
}
