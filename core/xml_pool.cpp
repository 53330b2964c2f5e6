#include "core/xml_pool.h"

#include <algorithm>

namespace qav {
namespace {

// Chunks double up to 64 KiB: a message takes one or two, a large file one per 64 KiB
// instead of one heap block per string, and every chunk stays below the size from which
// the C library maps memory from the kernel afresh for each request.
constexpr size_t kLargestChunkBytes = size_t{1} << 16;

}  // namespace

XmlPool::~XmlPool() {
    for (void* chunk : m_chunks) {
        ::operator delete(chunk);
    }
}

void XmlPool::NewChunk() {
    if (m_chunks.size() == m_chunks.capacity()) {
        m_chunks.reserve(2 * m_chunks.size() + 8);  // before the chunk, which it must hold
    }
    char* chunk = static_cast<char*>(::operator new(m_nextChunkBytes));
    m_chunks.push_back(chunk);
    m_cursor = chunk;
    m_limit = chunk + m_nextChunkBytes;
    m_nextChunkBytes = std::min(m_nextChunkBytes * 2, kLargestChunkBytes);
}

}  // namespace qav
