// The three byte interfaces that carry all file and memory I/O of the system, and File,
// their implementation over an operating-system file.
//
// Writers of file formats take a DataWriter (and a PositionedWriter to patch headers
// afterwards), so the same code produces a file or a memory image (ByteBuffer).
//
// Typical usage:
//   File file;
//   if (file.Open(u"records\\list.txt", kFileModeCreate, false)) {
//       file.Write(text.data(), text.size());
//   }
//
// None of these objects locks: each is used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/wide_text.h"

namespace qav {

class PositionedWriter {
  public:
    virtual ~PositionedWriter() = default;
    // True when all `length` bytes were written at `position`.
    virtual bool WriteAt(int64_t position, int64_t length, const void* data) = 0;
};

class DataReader {
  public:
    virtual ~DataReader() = default;
    // Bytes read; 0 at the end or on failure.
    virtual int64_t Read(void* buffer, int64_t length) = 0;
    // Sets the position from the start.
    virtual bool Seek(int64_t position) = 0;
    // The position from the start, or -1.
    virtual int64_t Tell() = 0;
};

class DataWriter {
  public:
    virtual ~DataWriter() = default;
    // Bytes written.
    virtual int64_t Write(const void* data, int64_t length) = 0;
    virtual bool Flush() = 0;
};

// Open modes of File.
constexpr int kFileModeRead = 1;          // read only; the file must exist
constexpr int kFileModeCreate = 2;        // read and write; created anew (truncated)
constexpr int kFileModeOpenOrCreate = 3;  // read and write; opened as it is, or created
constexpr int kFileModeReadWrite = 4;     // read and write; the file must exist

// A file of the operating system. Failures of open, read and write are logged to the
// process-wide text logger at severity 3; the code of every failed call is kept as the
// last error (an errno value).
class File : public PositionedWriter, public DataReader, public DataWriter {
  public:
    File() = default;
    ~File() override;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Closes an open file first. `share` asks that others may read and write the file
    // meanwhile; Linux has no mandatory sharing modes, so it is accepted and not
    // enforced either way. A directory does not open. A mode outside 1..4 fails without
    // a call (last error EINVAL).
    bool Open(WStringView path, int mode, bool share);
    void Close();
    bool IsOpen() const { return m_handle >= 0; }

    int64_t Write(const void* data, int64_t length) override;
    bool Flush() override;
    int64_t Read(void* buffer, int64_t length) override;
    bool Seek(int64_t position) override;
    int64_t Tell() override;
    bool WriteAt(int64_t position, int64_t length, const void* data) override;

    // The file's size in bytes, or -1.
    int64_t GetSize();

    // The errno of the last failed call; 0 after a successful Open.
    int GetLastError() const { return m_lastError; }

  private:
    int m_handle = -1;
    int m_lastError = 0;
};

}  // namespace qav
