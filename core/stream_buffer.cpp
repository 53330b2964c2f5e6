#include "core/stream_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/trace_frame.h"
#include "platform/mapped_memory.h"

namespace qav {

namespace {

// Arrays start on a cache line: copies to and from well-aligned buffers run at full
// speed only when both sides share the alignment.
constexpr std::align_val_t kArrayAlignment{64};

// Arrays this large come from the kernel and go back to it when freed. From the heap,
// a buffer freed after its connection or its burst is over would stay resident: once
// the allocator has seen a block this size freed, it serves the next ones from its heap
// rather than mapping them. Pages are aligned well beyond the cache line.
constexpr size_t kMappedArrayBytes = 65536;

}  // namespace

void StreamBuffer::DeleteArray::operator()(uint8_t* array) const {
    if (size >= kMappedArrayBytes) {
        platform::FreeMappedBytes(array, size);
    } else {
        ::operator delete[](array, kArrayAlignment);
    }
}

StreamBuffer::Array StreamBuffer::NewArray(int32_t size) {
    const size_t bytes = static_cast<size_t>(size);
    void* array = bytes >= kMappedArrayBytes
                      ? platform::AllocateMappedBytes(bytes)
                      : ::operator new[](bytes, kArrayAlignment, std::nothrow);
    return Array(static_cast<uint8_t*>(array), DeleteArray{bytes});
}

int32_t StreamBufferState::StoredBytes() const {
    if (readPosition == writePosition && !notEmpty) {
        return 0;
    }
    if (readPosition < writePosition) {
        return writePosition - readPosition;
    }
    return dataEnd - readPosition + writePosition;
}

StreamBuffer::~StreamBuffer() {
    m_event.Close();
}

bool StreamBuffer::SetCapacity(int32_t bytes) {
    if (bytes < 0) {
        return false;
    }
    MutualExclusionLock lock(m_mutex);
    if (bytes == m_capacity) {
        return true;
    }
    if (bytes < m_dataEnd) {
        return false;
    }
    Array array;
    if (bytes > 0 && !(array = NewArray(bytes))) {
        return false;
    }
    // Only stored bytes are copied: the free room may be under the writer's pen.
    const uint8_t* old = m_array.get();
    if (IsEmpty()) {
        m_readPosition = m_writePosition = m_dataEnd = 0;
    } else if (m_readPosition < m_writePosition) {
        std::memcpy(&array[m_readPosition], old + m_readPosition, m_writePosition - m_readPosition);
    } else {
        std::memcpy(&array[m_readPosition], old + m_readPosition, m_dataEnd - m_readPosition);
        std::memcpy(&array[0], old, m_writePosition);
    }
    if (!IsEmpty()) {
        Consume(0);  // a reader waiting at the end of a finished lap turns now
        if (m_writePosition == bytes) {
            m_writePosition = 0;  // the array ends where the data does
        }
    }
    ReplaceArray(std::move(array), bytes);
    return true;
}

int32_t StreamBuffer::Write(const void* data, int32_t length) {
    QAV_TRACE("SSB::Wt");
    if (length <= 0 || data == nullptr) {
        return 0;
    }
    const uint8_t* source = static_cast<const uint8_t*>(data);
    MutualExclusionLock lock(m_mutex);
    m_resetSeenByWriter = false;
    int32_t written = 0;
    while (written < length && !IsFull()) {
        const int32_t room = WritableRoom();
        if (room <= 0) {
            break;  // no array
        }
        const int32_t step = std::min(room, length - written);
        std::memcpy(m_array.get() + m_writePosition, source + written, step);
        CommitAtWritePosition(step);
        written += step;
    }
    return written;
}

int32_t StreamBuffer::Read(void* buffer, int32_t minimum, int32_t maximum) {
    QAV_TRACE("SSB::Rd");
    int32_t readPosition = 0;
    int32_t writePosition = 0;
    QAV_TRACE_VAR("iReadPtr", readPosition, kTraceInt32);
    QAV_TRACE_VAR("iWritePtr", writePosition, kTraceInt32);
    if (minimum < 0 || maximum < minimum || (buffer == nullptr && maximum > 0)) {
        return 0;
    }
    uint8_t* target = static_cast<uint8_t*>(buffer);
    MutualExclusionLock lock(m_mutex);
    m_resetSeenByReader = false;
    uint64_t resetCount = m_resetCount;
    int32_t done = 0;
    while (done < maximum) {
        readPosition = m_readPosition;
        writePosition = m_writePosition;
        if (IsEmpty()) {
            if (m_writingClosed || done >= minimum) {
                break;
            }
            // Clear the event before waiting (a Reset may have left it set), so only news
            // that comes after this look wakes us; the writer sets it only while
            // m_readerWaiting says someone sleeps.
            m_readerWaiting = true;
            ResetEvent();
            lock.Unlock();
            const bool woken = m_event.Wait(-1);
            lock.Relock();
            m_readerWaiting = false;
            if (!woken) {
                break;  // the event was closed: the buffer is going away
            }
            if (m_resetCount != resetCount) {
                // A Reset discarded what was read so far: start over.
                resetCount = m_resetCount;
                done = 0;
            }
            m_resetSeenByReader = false;
            continue;
        }
        // 0 at the end of a finished lap: the consumption below turns the reader.
        const int32_t step = std::min(ReadableBytes(), maximum - done);
        std::memcpy(target + done, m_array.get() + m_readPosition, step);
        Consume(step);
        done += step;
    }
    return done;
}

bool StreamBuffer::IsOpen() {
    MutualExclusionLock lock(m_mutex);
    return !m_writingClosed || !IsEmpty();
}

void StreamBuffer::CloseWriting() {
    MutualExclusionLock lock(m_mutex);
    m_writingClosed = true;
    Announce();
}

uint8_t* StreamBuffer::AllocateBlock(int32_t size) {
    QAV_TRACE("SSB::AlcBlk");
    QAV_TRACE_VAR("iSize", size, kTraceInt32);
    if (size <= 0) {
        return nullptr;
    }
    MutualExclusionLock lock(m_mutex);
    if (size > m_capacity) {
        return nullptr;
    }
    m_resetSeenByWriter = false;
    const int32_t position = PlaceBlock(size);
    return position < 0 ? nullptr : m_array.get() + position;
}

uint8_t* StreamBuffer::AllocateBlockResizeIfNeeded(int32_t size) {
    QAV_TRACE("SSB::ABRIN");
    if (size <= 0) {
        return nullptr;
    }
    MutualExclusionLock lock(m_mutex);
    int32_t position = size <= m_capacity ? PlaceBlock(size) : -1;
    if (position < 0) {
        if (!Grow(size)) {
            return nullptr;
        }
        position = m_writePosition;
    }
    m_resetSeenByWriter = false;  // the writer's own growth leaves its new block good
    return m_array.get() + position;
}

bool StreamBuffer::CommitWriteBlock(const void* address, int32_t committedSize,
                                    int32_t allocatedSize) {
    QAV_TRACE("SSB::CWB");
    QAV_TRACE_VAR("iCommittedSize", committedSize, kTraceInt32);
    QAV_TRACE_VAR("iAllocatedSize", allocatedSize, kTraceInt32);
    if (committedSize < 0 || allocatedSize < committedSize) {
        return false;
    }
    MutualExclusionLock lock(m_mutex);
    if (allocatedSize > m_capacity) {
        return false;
    }
    if (committedSize == 0) {
        return true;
    }
    if (m_resetSeenByWriter || IsFull()) {
        return false;
    }
    const uint8_t* base = m_array.get();
    if (m_readPosition > m_writePosition) {
        if (address != base + m_writePosition || m_readPosition - m_writePosition < allocatedSize) {
            return false;
        }
        CommitAtWritePosition(committedSize);
    } else if (m_capacity - m_writePosition < allocatedSize) {
        // Only the start of the array can have taken the block.
        if (address != base || m_readPosition < allocatedSize) {
            return false;
        }
        CommitAtStart(committedSize);
    } else {
        if (address != base + m_writePosition) {
            return false;
        }
        CommitAtWritePosition(committedSize);
    }
    return true;
}

uint8_t* StreamBuffer::PeekBlockToRead(int32_t& length) {
    QAV_TRACE("SSB::PBTR");
    length = 0;
    MutualExclusionLock lock(m_mutex);
    m_resetSeenByReader = false;
    if (IsEmpty()) {
        return nullptr;
    }
    Consume(0);  // at the end of a finished lap, turn to the start first
    if (IsEmpty()) {
        return nullptr;
    }
    length = ReadableBytes();
    return m_array.get() + m_readPosition;
}

bool StreamBuffer::ReleaseReadBlock(const void* address, int32_t length) {
    if (length <= 0) {
        return length == 0;
    }
    MutualExclusionLock lock(m_mutex);
    if (m_resetSeenByReader || IsEmpty() || address != m_array.get() + m_readPosition) {
        return false;
    }
    return ReleaseAtReadPosition(length);
}

bool StreamBuffer::AdvanceWrite(const void* address, int32_t length) {
    if (length <= 0) {
        return false;
    }
    MutualExclusionLock lock(m_mutex);
    const uint8_t* base = m_array.get();
    if (length > m_capacity || base == nullptr) {
        return false;
    }
    // With equal positions the read side is asked first: a full ring can only be
    // released, an empty one only committed.
    if (!IsEmpty() && address == base + m_readPosition) {
        return !m_resetSeenByReader && ReleaseAtReadPosition(length);
    }
    if (address == base + m_writePosition) {
        if (m_resetSeenByWriter || IsFull() || WritableRoom() < length) {
            return false;
        }
        CommitAtWritePosition(length);
        return true;
    }
    if (address != base) {
        return false;
    }
    if (!IsEmpty() && m_readPosition >= m_writePosition) {
        // Consuming from the start skips nothing only when the reader's lap is done.
        if (m_resetSeenByReader || m_readPosition != m_dataEnd || length > m_writePosition) {
            return false;
        }
        Consume(0);
        return ReleaseAtReadPosition(length);
    }
    if (m_resetSeenByWriter || length > m_readPosition) {
        return false;
    }
    CommitAtStart(length);
    return true;
}

void StreamBuffer::Reset() {
    MutualExclusionLock lock(m_mutex);
    m_resetSeenByReader = true;
    m_resetSeenByWriter = true;
    ++m_resetCount;
    m_readPosition = m_writePosition = m_dataEnd = 0;
    m_totalWritten = m_totalRead = 0;
    m_notEmpty = false;
    m_writingClosed = false;
    Announce();  // wakes a waiting Read, which starts over
}

StreamBufferState StreamBuffer::GetState() {
    MutualExclusionLock lock(m_mutex);
    StreamBufferState state;
    state.capacity = m_capacity;
    state.readPosition = m_readPosition;
    state.writePosition = m_writePosition;
    state.dataEnd = m_dataEnd;
    state.notEmpty = m_notEmpty;
    state.writingClosed = m_writingClosed;
    state.totalWritten = m_totalWritten;
    state.totalRead = m_totalRead;
    return state;
}

int32_t StreamBuffer::ReadableBytes() const {
    if (IsEmpty()) {
        return 0;
    }
    return (m_readPosition < m_writePosition ? m_writePosition : m_dataEnd) - m_readPosition;
}

// Contiguous free bytes at the write position (not meaningful when full).
int32_t StreamBuffer::WritableRoom() const {
    return (m_readPosition > m_writePosition ? m_readPosition : m_capacity) - m_writePosition;
}

// The position for a block of 0 < size <= capacity bytes, or -1.
int32_t StreamBuffer::PlaceBlock(int32_t size) {
    if (m_readPosition > m_writePosition) {
        return m_readPosition - m_writePosition >= size ? m_writePosition : -1;
    }
    if (IsFull()) {
        return -1;
    }
    if (m_capacity - m_writePosition >= size) {
        return m_writePosition;
    }
    if (m_readPosition >= size) {
        return 0;
    }
    if (IsEmpty()) {
        m_readPosition = m_writePosition = m_dataEnd = 0;
        return 0;
    }
    return -1;
}

// Moves the stored bytes, in order, to the start of an array `size` bytes larger.
bool StreamBuffer::Grow(int32_t size) {
    const int64_t capacity = static_cast<int64_t>(m_capacity) + size;
    if (capacity > kMaximumGrowth) {
        return false;
    }
    Array array = NewArray(static_cast<int32_t>(capacity));
    if (!array) {
        return false;
    }
    int32_t stored = 0;
    if (!IsEmpty()) {
        const uint8_t* old = m_array.get();
        const int32_t lapEnd = m_readPosition < m_writePosition ? m_writePosition : m_dataEnd;
        stored = lapEnd - m_readPosition;
        std::memcpy(&array[0], old + m_readPosition, stored);
        if (m_readPosition >= m_writePosition) {
            std::memcpy(&array[stored], old, m_writePosition);
            stored += m_writePosition;
        }
    }
    m_readPosition = 0;
    m_writePosition = m_dataEnd = stored;
    ReplaceArray(std::move(array), static_cast<int32_t>(capacity));
    return true;
}

// Addresses in the old array go stale: commits and releases at them fail.
void StreamBuffer::ReplaceArray(Array array, int32_t capacity) {
    m_array = std::move(array);
    m_capacity = capacity;
    m_resetSeenByReader = true;
    m_resetSeenByWriter = true;
}

void StreamBuffer::CommitAtWritePosition(int32_t length) {
    m_writePosition += length;
    m_dataEnd = std::max(m_dataEnd, m_writePosition);
    if (m_writePosition == m_capacity) {
        m_writePosition = 0;
    }
    m_notEmpty = true;
    m_totalWritten += length;
    Announce();
}

// The lap ends at the write position; the new one starts with the block at 0.
void StreamBuffer::CommitAtStart(int32_t length) {
    m_dataEnd = m_writePosition;
    m_writePosition = length == m_capacity ? 0 : length;
    m_notEmpty = true;
    m_totalWritten += length;
    Announce();
}

// REQUIRES: the address matched the read position.
bool StreamBuffer::ReleaseAtReadPosition(int32_t length) {
    if (IsEmpty() || length > ReadableBytes()) {
        return false;
    }
    Consume(length);
    return true;
}

// REQUIRES: not empty. A reader that reaches the end of a wrapped lap turns to 0 and
// the next lap's data end becomes the write position; Consume(0) only does that turn.
void StreamBuffer::Consume(int32_t length) {
    const bool wrapped = m_readPosition >= m_writePosition;
    m_readPosition += length;
    m_totalRead += length;
    if (wrapped && m_readPosition == m_dataEnd) {
        m_dataEnd = m_writePosition;
        m_readPosition = 0;
    } else if (length == 0) {
        return;
    }
    if (m_readPosition == m_writePosition) {
        m_notEmpty = false;
    }
}

// Wakes a Read that sleeps for something that may have come now.
void StreamBuffer::Announce() {
    if (m_readerWaiting) {
        SetEvent();
    }
}

// Only this buffer sets and resets its event, so a mirror spares the atomic operations
// when nothing changes.
void StreamBuffer::SetEvent() {
    if (!m_eventSet) {
        m_eventSet = true;
        m_event.Set();
    }
}

void StreamBuffer::ResetEvent() {
    if (m_eventSet) {
        m_eventSet = false;
        m_event.Reset();
    }
}

}  // namespace qav
