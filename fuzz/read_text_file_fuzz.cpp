// Feeds arbitrary file contents to FileAccess::ReadTextFile: it must never crash, and a
// file with the UTF-16 little-endian mark must give exactly one character per byte pair.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/file_access.h"
#include "core/wide_text.h"

namespace {

// One scratch file per process, rewritten for every input.
class ScratchFile {
  public:
    ScratchFile() {
        char pattern[] = "/tmp/qav-read-text-XXXXXX";
        m_handle = mkstemp(pattern);
        if (m_handle < 0) {
            std::perror("mkstemp");
            abort();
        }
        m_path = pattern;
        m_widePath.assign(m_path.begin(), m_path.end());
    }
    ~ScratchFile() {
        close(m_handle);
        unlink(m_path.c_str());
    }

    void Fill(const uint8_t* data, size_t size) {
        if (ftruncate(m_handle, 0) != 0) {
            abort();
        }
        size_t written = 0;
        while (written < size) {
            const ssize_t put =
                pwrite(m_handle, data + written, size - written, static_cast<off_t>(written));
            if (put <= 0) {
                abort();
            }
            written += static_cast<size_t>(put);
        }
    }

    const qav::WString& WidePath() const { return m_widePath; }

  private:
    int m_handle = -1;
    std::string m_path;
    qav::WString m_widePath;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFile file;
    file.Fill(data, size);
    qav::WString text;
    const bool read = qav::FileAccess::ReadTextFile(file.WidePath(), text);
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        if (!read || text.size() != (size - 2) / 2) {
            std::fprintf(stderr, "UTF-16LE input of %zu bytes gave %zu characters\n", size,
                         text.size());
            abort();
        }
    }
    return 0;
}
