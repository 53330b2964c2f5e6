#include "core/file_stream.h"

namespace qav {

FileStream::~FileStream() {
    DropFile();
}

void FileStream::DropFile() {
    if (m_ownsFile) {
        delete m_file;
    }
    m_file = nullptr;
    m_ownsFile = false;
}

void FileStream::Close() {
    if (m_ownsFile) {
        m_file->Close();
    } else {
        m_file = nullptr;
    }
}

int64_t FileStream::Write(const void* data, int64_t length, WriteCompletion* completion) {
    if (m_file == nullptr) {
        return -1;
    }
    const int64_t written = m_file->Write(data, length);
    if (written > 0) {
        m_position += written;
    }
    if (completion != nullptr) {
        completion->OnWritten(data, length, written < length);
    }
    return written;
}

int64_t FileStream::Read(void* buffer, int64_t length) {
    if (m_file == nullptr) {
        return -1;
    }
    const int64_t got = m_file->Read(buffer, length);
    if (got <= 0) {
        return got;
    }
    if (m_keyTable != nullptr && m_keyLength > 0) {
        // Unsigned, so that no position can give a negative index.
        uint32_t index = static_cast<uint32_t>(static_cast<uint64_t>(m_position) % m_keyLength);
        uint8_t* bytes = static_cast<uint8_t*>(buffer);
        for (int64_t i = 0; i < got; ++i) {
            bytes[i] ^= m_keyTable[index];
            if (++index == m_keyLength) {
                index = 0;
            }
        }
    }
    m_position += got;
    return got;
}

int32_t FileStream::GetState() {
    return m_file != nullptr && m_file->IsOpen() ? kFileStreamOpen : kFileStreamClosed;
}

int32_t FileStream::Open() {
    if (!m_ownsFile) {
        return kFileStreamNoOwnFile;
    }
    if (!m_file->Open(m_path, m_mode, m_share)) {
        return kFileStreamOpenFailed;
    }
    // The key index follows the position, which must match the file's again.
    m_position = 0;
    return kFileStreamOpened;
}

int32_t FileStream::UpdatePosition() {
    if (m_file == nullptr || !m_file->IsOpen()) {
        return kFileStreamNoFile;
    }
    const int64_t position = m_file->Tell();
    if (position >= 0) {
        m_position = position;
    }
    return m_position >= m_file->GetSize() ? kFileStreamAtEnd : kFileStreamDataLeft;
}

int64_t FileStream::GetRemainingSize() {
    if (m_file == nullptr || !m_file->IsOpen()) {
        return 0;
    }
    const int64_t size = m_file->GetSize();
    const int64_t position = m_file->Tell();
    return size >= 0 && position >= 0 && size > position ? size - position : 0;
}

int32_t FileStream::IsOpen() {
    return m_file != nullptr && m_file->IsOpen() ? -1 : 0;
}

int32_t FileStream::AddRef() {
    return m_referenceCount.fetch_add(1) + 1;
}

int32_t FileStream::Release() {
    const int32_t count = m_referenceCount.fetch_sub(1) - 1;
    if (count == 0) {
        delete this;
    }
    return count;
}

void FileStream::AttachFile(File* file) {
    DropFile();
    m_file = file;
    const int64_t position = file != nullptr ? file->Tell() : 0;
    m_position = position > 0 ? position : 0;
}

int32_t FileStream::OpenPath(WStringView path, int mode, bool share) {
    if (!m_ownsFile) {
        m_file = new File();
        m_ownsFile = true;
    }
    m_path.assign(path);
    m_mode = mode;
    m_share = share;
    return Open();
}

void FileStream::SetKeyTable(const uint8_t* table, uint32_t length) {
    m_keyTable = table;
    m_keyLength = length;
}

}  // namespace qav
