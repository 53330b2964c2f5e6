// A byte ring between one writer and one reader, which may run on different threads.
// Bytes go in and out by copy (Write, Read) or in place: the writer reserves a
// contiguous block (AllocateBlock), fills it and commits it (CommitWriteBlock); the
// reader peeks at the next contiguous run of bytes (PeekBlockToRead), uses it, and
// releases what it consumed (ReleaseReadBlock). A block that does not fit at the end
// of the array goes to its start; the ring then remembers where the valid data of
// the lap ends (the data end), and the reader turns back to 0 there.
//
// Typical usage (zero-copy sender):
//   StreamBuffer queue;
//   queue.SetCapacity(0x40000);
//   uint8_t* block = queue.AllocateBlock(size);       // writer thread
//   ... fill block ...
//   queue.CommitWriteBlock(block, size, size);
//   int32_t length;
//   uint8_t* data = queue.PeekBlockToRead(length);    // reader thread
//   ... send up to length bytes of data ...
//   queue.ReleaseReadBlock(data, sent);
//
// Threads: one writer thread (Write, CloseWriting, AllocateBlock,
// AllocateBlockResizeIfNeeded, CommitWriteBlock, AdvanceWrite as a commit) and one
// reader thread (Read, PeekBlockToRead, ReleaseReadBlock, AdvanceWrite as a release)
// at a time; Reset, SetCapacity, IsOpen and GetState from any thread. Positions,
// flags, totals and the bytes Write and Read copy change only under the buffer's
// mutex. Only Read waits (on the event, until data arrives, writing ends or a Reset
// runs); nothing else ever waits, and a full ring ends a Write short.
//
// Stale addresses. AllocateBlockResizeIfNeeded (when it grows), SetCapacity and Reset
// make every block address handed out before them stale: a commit or release at such
// an address fails, and the block must be taken again. A grown or resized array frees
// the old one at once, and a Reset lets the writer fill the same array again, so a side
// must not still be filling or reading a block of its own while the other side, or a
// third thread, calls one of these: the owner serialises them, as a connection does by
// calling every operation under its own lock. Write and Read copy under the mutex, so a
// Reset from a third thread never tears their bytes; a Read waiting across a Reset
// starts over from an empty result.
#pragma once

#include <cstdint>
#include <memory>

#include "core/event.h"
#include "core/mutual_exclusion.h"
#include "core/ref_counted.h"

namespace qav {

// The reading end of a byte stream.
class StreamReader {
  public:
    // Waits until `minimum` bytes were read or writing has ended; takes up to `maximum`.
    virtual int32_t Read(void* buffer, int32_t minimum, int32_t maximum) = 0;
    // True while bytes may still come: writing not closed, or data pending.
    virtual bool IsOpen() = 0;

  protected:
    ~StreamReader() = default;
};

// The writing end of a byte stream.
class StreamWriter {
  public:
    // Never waits; returns the bytes taken.
    virtual int32_t Write(const void* data, int32_t length) = 0;
    virtual void CloseWriting() = 0;

  protected:
    ~StreamWriter() = default;
};

// Moves a position past bytes handled in place, on whichever side `address` is.
class BlockCommitter {
  public:
    virtual bool AdvanceWrite(const void* address, int32_t length) = 0;

  protected:
    ~BlockCommitter() = default;
};

// The ring's figures, read together under its mutex.
struct StreamBufferState {
    int32_t capacity = 0;
    int32_t readPosition = 0;
    int32_t writePosition = 0;
    int32_t dataEnd = 0;  // where the valid data of the current lap ends
    bool notEmpty = false;
    bool writingClosed = false;
    int64_t totalWritten = 0;
    int64_t totalRead = 0;

    // Bytes stored, wrapped or not.
    int32_t StoredBytes() const;
};

class StreamBuffer : public StreamReader, public StreamWriter, public BlockCommitter {
  public:
    // AllocateBlockResizeIfNeeded never grows the array beyond this many bytes.
    static constexpr int32_t kMaximumGrowth = 1048576;

    StreamBuffer() = default;
    virtual ~StreamBuffer();
    StreamBuffer(const StreamBuffer&) = delete;
    StreamBuffer& operator=(const StreamBuffer&) = delete;

    // True at once when `bytes` is the capacity. False when it is below the data end
    // (stored bytes would be lost), negative, or the memory cannot be had; nothing
    // changes then. Otherwise the stored bytes move to a new array at the same offsets.
    bool SetCapacity(int32_t bytes);

    int32_t Write(const void* data, int32_t length) override;
    int32_t Read(void* buffer, int32_t minimum, int32_t maximum) override;
    bool IsOpen() override;
    void CloseWriting() override;

    // A contiguous block of `size` bytes to fill, or null when it does not fit (or
    // 0 < size <= capacity does not hold). Nothing moves until the commit, except that
    // an empty ring may turn its positions back to 0.
    uint8_t* AllocateBlock(int32_t size);
    // As AllocateBlock, but where the block does not fit the array grows by `size`
    // bytes (up to kMaximumGrowth), the stored bytes moving to its start in order.
    uint8_t* AllocateBlockResizeIfNeeded(int32_t size);
    // Publishes the first `committedSize` bytes of a block allocated with
    // `allocatedSize`. False, with nothing changed, when the address is not the one
    // the ring expects, the sizes are out of range, or the block went stale (Reset or
    // a new array). Committing 0 bytes abandons the block.
    bool CommitWriteBlock(const void* address, int32_t committedSize, int32_t allocatedSize);

    // The next contiguous run of stored bytes and its length, or null and 0.
    uint8_t* PeekBlockToRead(int32_t& length);
    // Consumes `length` bytes of the peeked run. False, with nothing changed, when the
    // address is not the read position, the length is out of range, or the run went
    // stale (Reset or a new array): peek again then.
    bool ReleaseReadBlock(const void* address, int32_t length);

    // Releases at the read position, commits at the write position, and at the array
    // start consumes (data pending from a lap that ended) or commits; the first of these
    // rules that matches holds. False for any other address and for bad lengths.
    bool AdvanceWrite(const void* address, int32_t length) override;

    // Empties the ring, zeroes the totals and reopens writing.
    void Reset();

    StreamBufferState GetState();

  private:
    struct DeleteArray {
        size_t size;  // what the array was made with
        void operator()(uint8_t* array) const;
    };
    using Array = std::unique_ptr<uint8_t[], DeleteArray>;
    // Null when the memory cannot be had.
    static Array NewArray(int32_t size);

    // All REQUIRE m_mutex held.
    bool IsEmpty() const { return m_readPosition == m_writePosition && !m_notEmpty; }
    bool IsFull() const { return m_readPosition == m_writePosition && m_notEmpty; }
    int32_t ReadableBytes() const;
    int32_t WritableRoom() const;
    int32_t PlaceBlock(int32_t size);
    bool Grow(int32_t size);
    void ReplaceArray(Array array, int32_t capacity);
    void CommitAtWritePosition(int32_t length);
    void CommitAtStart(int32_t length);
    bool ReleaseAtReadPosition(int32_t length);
    void Consume(int32_t length);
    void Announce();
    void SetEvent();
    void ResetEvent();

    MutualExclusion m_mutex;

    // Guarded by m_mutex.
    int32_t m_capacity = 0;
    int32_t m_dataEnd = 0;
    int32_t m_readPosition = 0;
    int32_t m_writePosition = 0;
    int64_t m_totalWritten = 0;
    int64_t m_totalRead = 0;
    bool m_notEmpty = false;  // with equal positions: full
    bool m_writingClosed = false;
    bool m_resetSeenByReader = true;
    bool m_resetSeenByWriter = true;
    Array m_array;
    uint64_t m_resetCount = 0;     // counts the Resets, for a Read that waits across one
    bool m_eventSet = false;       // what this buffer last did to m_event
    bool m_readerWaiting = false;  // a Read sleeps, or is about to, on m_event
    // Set, while a Read waits, when data is added, writing ends or a Reset runs; reset
    // by the Read before it waits. Only Read waits on it.
    Event m_event;
};

// A stream buffer shared between owners through its reference count.
class CountedStreamBuffer : public StreamBuffer, public RefCounted {
  protected:
    ~CountedStreamBuffer() override = default;
};

// The count is atomic, so the buffer may be shared across threads.
class RefCountedStreamBuffer final : public RefCountedObject<CountedStreamBuffer> {
  private:
    ~RefCountedStreamBuffer() override = default;
};

}  // namespace qav
