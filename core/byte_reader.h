// A cursor over bytes that came from outside. Every read checks what is left first and
// fails, leaving the position where it was, instead of reading past the end; a parser
// written against it cannot overrun its input.
//
// Typical usage:
//   ByteReader reader(datagram, length);
//   uint16_t count = 0;
//   if (!reader.Skip(4) || !reader.ReadBe16(count)) return false;
//
// Threads: one reader belongs to one parse; the bytes must not change while it reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav {

class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size)
        : m_data(data), m_size(data != nullptr ? size : 0) {}

    size_t Position() const { return m_position; }
    size_t Size() const { return m_size; }
    size_t Remaining() const { return m_size - m_position; }

    // Moves to `position` (the end itself included).
    bool SeekTo(size_t position) {
        if (position > m_size) {
            return false;
        }
        m_position = position;
        return true;
    }
    bool Skip(size_t count) {
        if (count > Remaining()) {
            return false;
        }
        m_position += count;
        return true;
    }
    bool PeekU8(uint8_t& value) const {
        if (Remaining() < 1) {
            return false;
        }
        value = m_data[m_position];
        return true;
    }
    bool ReadU8(uint8_t& value) {
        if (!PeekU8(value)) {
            return false;
        }
        ++m_position;
        return true;
    }
    bool ReadBe16(uint16_t& value) {
        if (Remaining() < 2) {
            return false;
        }
        value = static_cast<uint16_t>(m_data[m_position] << 8 | m_data[m_position + 1]);
        m_position += 2;
        return true;
    }
    // Points `bytes` at the next `count` bytes and moves past them.
    bool ReadBytes(size_t count, const uint8_t*& bytes) {
        if (count > Remaining()) {
            return false;
        }
        bytes = m_data + m_position;
        m_position += count;
        return true;
    }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_position = 0;
};

}  // namespace qav
