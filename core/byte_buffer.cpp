#include "core/byte_buffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace qav {

namespace {

constexpr size_t kFirstGrowth = 32;

}  // namespace

ByteBuffer::ByteBuffer(size_t size) {
    Resize(size);
}

ByteBuffer::~ByteBuffer() {
    Release();
}

uint8_t* ByteBuffer::Resize(size_t size) {
    if (size == 0) {
        Release();
        return nullptr;
    }
    uint8_t* data;
    if (m_attached) {
        data = static_cast<uint8_t*>(std::malloc(size));
        if (data == nullptr) {
            return nullptr;
        }
        std::memset(data, 0, size);
    } else {
        data = static_cast<uint8_t*>(std::realloc(m_data, size));
        if (data == nullptr) {
            return nullptr;
        }
        // Zeroed so that a memory image never carries stale heap bytes.
        if (size > m_size) {
            std::memset(data + m_size, 0, size - m_size);
        }
    }
    m_data = data;
    m_size = size;
    m_attached = false;
    if (m_position > size) {
        m_position = size;
    }
    return data;
}

bool ByteBuffer::Assign(const void* data, size_t length) {
    if (length == 0) {
        Resize(0);
        return true;
    }
    if (Resize(length) == nullptr) {
        return false;
    }
    std::memcpy(m_data, data, length);
    return true;
}

void ByteBuffer::Attach(void* data, size_t size) {
    Release();
    m_data = static_cast<uint8_t*>(data);
    m_size = data != nullptr ? size : 0;
    m_attached = true;
}

void ByteBuffer::Release() {
    if (!m_attached) {
        std::free(m_data);
    }
    m_data = nullptr;
    m_size = 0;
    m_position = 0;
    m_attached = false;
}

int64_t ByteBuffer::Write(const void* data, int64_t length) {
    if (length <= 0) {
        return 0;
    }
    const size_t wanted = static_cast<size_t>(length);
    if (m_size - m_position < wanted && !m_attached) {
        constexpr size_t kMax = std::numeric_limits<size_t>::max();
        size_t grown = m_size == 0 ? kFirstGrowth : m_size > kMax / 2 ? kMax : m_size * 2;
        const size_t needed = wanted > kMax - m_position ? kMax : m_position + wanted;
        if (needed > grown) {
            grown = needed;
        }
        // When growing fails the buffer keeps what it had and takes what fits.
        Resize(grown);
    }
    const size_t room = m_size - m_position;
    const size_t taken = wanted < room ? wanted : room;
    if (taken > 0) {
        std::memcpy(m_data + m_position, data, taken);
        m_position += taken;
    }
    return static_cast<int64_t>(taken);
}

int64_t ByteBuffer::Read(void* buffer, int64_t length) {
    if (length <= 0) {
        return 0;
    }
    const size_t room = m_size - m_position;
    const size_t count = static_cast<uint64_t>(length) < room ? static_cast<size_t>(length) : room;
    if (count > 0) {
        std::memcpy(buffer, m_data + m_position, count);
    }
    return static_cast<int64_t>(count);
}

bool ByteBuffer::Seek(int64_t position) {
    if (position < 0 || static_cast<uint64_t>(position) > m_size) {
        return false;
    }
    m_position = static_cast<size_t>(position);
    return true;
}

bool ByteBuffer::WriteAt(int64_t position, int64_t length, const void* data) {
    if (position < 0 || length < 0 || static_cast<uint64_t>(position) > m_size ||
        static_cast<uint64_t>(length) > m_size - static_cast<size_t>(position)) {
        return false;
    }
    if (length > 0) {
        std::memcpy(m_data + position, data, static_cast<size_t>(length));
    }
    return true;
}

}  // namespace qav
