// The stream the file-transfer services read and write transferred files through.
//
// Created empty; the transfer code then opens the file by path (the stream owns that
// File) or attaches one it already has, and for masked files sets the key table that
// unmasks what is read. The key table is the transfer code's own and must outlive the
// stream's reads.
//
// Not locked: one thread at a time (see FileStream).
#pragma once

#include <cstdint>

#include "core/file_stream.h"
#include "core/wide_text.h"

namespace qav {

class TransferFileStream : public FileStream {
  public:
    TransferFileStream() = default;

    // Opens (or, with kFileModeCreate, creates) the file; true when it opened.
    bool OpenFile(WStringView path, int mode, bool share) {
        return OpenPath(path, mode, share) == kFileStreamOpened;
    }

    using FileStream::SetKeyTable;
};

}  // namespace qav
