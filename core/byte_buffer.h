// A growable block of memory behind the byte interfaces, so that writers of file formats
// can produce a memory image with the same code that writes a file.
//
// One position serves reading and writing. Read does not move it (a consumer moves on
// with Seek); Write appends at it and moves it. The size is the allocated length and
// also the end for reading and for WriteAt. The buffer owns its data unless the data
// was attached: attached data is never freed or reallocated by the buffer, and a Write
// into it takes only what fits.
//
// Typical usage:
//   ByteBuffer image;
//   WriteHeader(image);                 // through DataWriter
//   image.WriteAt(4, 4, &totalLength);  // patch the header
//   Send(image.Data(), image.Tell());
//
// Not locked: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/file.h"

namespace qav {

class ByteBuffer : public PositionedWriter, public DataReader, public DataWriter {
  public:
    ByteBuffer() = default;
    // Allocates `size` zeroed bytes; empty when that fails.
    explicit ByteBuffer(size_t size);
    ~ByteBuffer() override;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // Gives the buffer exactly `size` bytes that it owns, keeping the bytes it had up to
    // that size (attached data is not copied: a fresh block is taken) and zeroing any
    // new ones; 0 frees. The position is kept within the new size. Returns the data, or
    // null when the size is 0 or the memory cannot be had; in that last case nothing
    // changes.
    uint8_t* Resize(size_t size);

    // Resize(length), then copies the data in. True also for length 0.
    bool Assign(const void* data, size_t length);

    // Takes someone else's memory without copying it; it is never freed or reallocated
    // here. Owned data is freed first; the position goes to 0.
    void Attach(void* data, size_t size);

    // Frees owned data and empties the buffer.
    void Release();

    // Takes what fits, growing an owned buffer to the larger of twice its size (32 when
    // empty) and position + length; a negative length takes nothing. Returns the bytes
    // taken.
    int64_t Write(const void* data, int64_t length) override;
    bool Flush() override { return true; }

    // Copies up to `length` bytes from the position without moving it.
    int64_t Read(void* buffer, int64_t length) override;
    // Fails beyond the size.
    bool Seek(int64_t position) override;
    int64_t Tell() override { return static_cast<int64_t>(m_position); }

    // Fails when the bytes would pass the size; the position does not move.
    bool WriteAt(int64_t position, int64_t length, const void* data) override;

    uint8_t* Data() { return m_data; }
    const uint8_t* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    bool IsAttached() const { return m_attached; }

  private:
    uint8_t* m_data = nullptr;
    size_t m_size = 0;
    size_t m_position = 0;
    bool m_attached = false;
};

}  // namespace qav
