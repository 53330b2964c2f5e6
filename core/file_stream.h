// A File read or written as a sequential stream with a 64-bit position, which can unmask
// what it reads with a repeating key table.
//
// The file-transfer services derive their stream from this class: they create it
// empty, then open a file of their own or attach someone else's, and for masked files
// set the key table. A stream that opened its file by path owns that File (Close
// closes it but keeps it, Open reopens it); an attached File is only borrowed.
//
// Not locked: one thread at a time. The reference count alone is atomic, so a stream
// may be released from another thread than the one that used it.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/file.h"
#include "core/wide_text.h"

namespace qav {

// Told about every write that went through a stream.
class WriteCompletion {
  public:
    virtual ~WriteCompletion() = default;
    // `length` is what was asked to be written; `shortWrite` is true when fewer bytes
    // went out.
    virtual void OnWritten(const void* data, int64_t length, bool shortWrite) = 0;
};

// Stream states of GetState.
constexpr int32_t kFileStreamClosed = 1;
constexpr int32_t kFileStreamOpen = 3;

// Results of Open.
constexpr int32_t kFileStreamOpened = 0;
constexpr int32_t kFileStreamOpenFailed = 1;
constexpr int32_t kFileStreamNoOwnFile = 2;

// Results of UpdatePosition.
constexpr int32_t kFileStreamNoFile = 2;
constexpr int32_t kFileStreamAtEnd = 3;
constexpr int32_t kFileStreamDataLeft = 4;

class FileStream {
  public:
    // Empty: no file, no key table, position 0, no path, reference count 0.
    FileStream() = default;
    virtual ~FileStream();
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    // An owned File is closed and kept; a borrowed one is forgotten.
    virtual void Close();
    // Nothing is ever queued: 0.
    virtual int32_t GetWriteQueueLength() { return 0; }
    // Bytes written, -1 without a file. The completion, when given, is called at once.
    virtual int64_t Write(const void* data, int64_t length, WriteCompletion* completion);
    // Bytes read (unmasked when a key table is set), -1 without a file.
    virtual int64_t Read(void* buffer, int64_t length);
    // kFileStreamOpen when the file is open, else kFileStreamClosed.
    virtual int32_t GetState();
    // Reopens the owned File by the stored path, mode and share flag; the position goes
    // back to 0.
    virtual int32_t Open();
    // Takes the file's position; tells whether anything is left to read.
    virtual int32_t UpdatePosition();
    // The file's size minus its position; 0 without an open file.
    virtual int64_t GetRemainingSize();
    // All bits set (-1) when the file is open, else 0.
    virtual int32_t IsOpen();
    // Nothing waits in a queue: 0.
    virtual int64_t GetOldestWriteDelay() { return 0; }
    // Returns the new count.
    virtual int32_t AddRef();
    // Returns the new count; the stream deletes itself when it reaches 0.
    virtual int32_t Release();

    // Borrows `file` (not deleted by the stream) and takes its position. An owned File
    // is deleted first.
    void AttachFile(File* file);

    int64_t GetPosition() const { return m_position; }

  protected:
    // Makes the stream own a new File over `path` and opens it (the result of Open).
    int32_t OpenPath(WStringView path, int mode, bool share);

    // Unmasks what Read returns; the table is not copied and must outlive its use.
    // Null or a length of 0 reads unmasked.
    void SetKeyTable(const uint8_t* table, uint32_t length);

  private:
    void DropFile();

    File* m_file = nullptr;
    const uint8_t* m_keyTable = nullptr;
    int64_t m_position = 0;
    uint32_t m_keyLength = 0;
    int m_mode = 0;
    WString m_path;
    bool m_ownsFile = false;
    bool m_share = false;
    std::atomic<int32_t> m_referenceCount{0};
};

}  // namespace qav
