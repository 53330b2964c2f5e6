#include "core/file.h"

#include <cerrno>
#include <string>

#include "core/native_path.h"
#include "core/text_logger.h"
#include "platform/file_system.h"
#include "platform/system_error.h"

namespace qav {

File::~File() {
    Close();
}

bool File::Open(WStringView path, int mode, bool /*share*/) {
    Close();
    platform::FileOpenMode openMode;
    switch (mode) {
        case kFileModeRead:
            openMode = platform::FileOpenMode::kReadExisting;
            break;
        case kFileModeCreate:
            openMode = platform::FileOpenMode::kReadWriteTruncate;
            break;
        case kFileModeOpenOrCreate:
            openMode = platform::FileOpenMode::kReadWriteOpenOrCreate;
            break;
        case kFileModeReadWrite:
            openMode = platform::FileOpenMode::kReadWriteExisting;
            break;
        default:
            m_lastError = EINVAL;
            return false;
    }
    std::string nativePath;
    if (ToNativePath(path, nativePath)) {
        m_handle = platform::OpenFile(nativePath, openMode);
    } else {
        platform::SetLastErrorCode(EINVAL);
    }
    if (m_handle < 0) {
        m_lastError = platform::LastErrorCode();
        if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
            logger->LogFormat(kSeverityError, "Error opening file %ls: (%d) %ls", path, m_lastError,
                              GetErrorText(m_lastError));
        }
        return false;
    }
    m_lastError = 0;
    return true;
}

void File::Close() {
    platform::CloseFile(m_handle);
    m_handle = -1;
}

int64_t File::Write(const void* data, int64_t length) {
    if (length <= 0) {
        return 0;
    }
    const int64_t written = platform::WriteFile(m_handle, data, static_cast<size_t>(length));
    if (written < length) {
        m_lastError = platform::LastErrorCode();
        if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
            logger->LogFormat(kSeverityError, "Error writing to file: (%d) %ls", m_lastError,
                              GetErrorText(m_lastError));
        }
    }
    return written;
}

bool File::Flush() {
    if (!platform::FlushFile(m_handle)) {
        m_lastError = platform::LastErrorCode();
        return false;
    }
    return true;
}

int64_t File::Read(void* buffer, int64_t length) {
    if (length <= 0) {
        return 0;
    }
    const int64_t got = platform::ReadFile(m_handle, buffer, static_cast<size_t>(length));
    if (got < 0) {
        m_lastError = platform::LastErrorCode();
        if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
            logger->LogFormat(kSeverityError, "Error reading from file: (%d) %ls", m_lastError,
                              GetErrorText(m_lastError));
        }
        return 0;
    }
    return got;
}

bool File::Seek(int64_t position) {
    if (platform::SeekFile(m_handle, position) < 0) {
        m_lastError = platform::LastErrorCode();
        return false;
    }
    return true;
}

int64_t File::Tell() {
    const int64_t position = platform::TellFile(m_handle);
    if (position < 0) {
        m_lastError = platform::LastErrorCode();
        return -1;
    }
    return position;
}

bool File::WriteAt(int64_t position, int64_t length, const void* data) {
    if (length < 0) {
        return false;
    }
    return Seek(position) && (length == 0 || Write(data, length) == length);
}

int64_t File::GetSize() {
    const int64_t size = platform::GetFileSize(m_handle);
    if (size < 0) {
        m_lastError = platform::LastErrorCode();
    }
    return size;
}

}  // namespace qav
