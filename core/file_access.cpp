#include "core/file_access.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "core/text_logger.h"
#include "core/text_utils.h"
#include "core/trace_frame.h"

namespace qav {

namespace {

// The UTF-8 decoder takes an int count, and a text beyond that would not be held in
// memory twice anyway.
constexpr int64_t kMaxTextFileBytes = std::numeric_limits<int32_t>::max();

// Reads until `length` bytes came in or the file ends; the bytes read.
int64_t ReadUpTo(File& file, uint8_t* buffer, int64_t length) {
    int64_t got = 0;
    while (got < length) {
        const int64_t step = file.Read(buffer + got, length - got);
        if (step <= 0) {
            break;
        }
        got += step;
    }
    return got;
}

bool DecodeText(const uint8_t* bytes, int64_t count, int encoding, WString& text) {
    try {
        if (encoding == kTextEncodingUtf8) {
            return Utf8ToWide(reinterpret_cast<const char*>(bytes), static_cast<int>(count), text,
                              nullptr) >= 0;
        }
        const size_t units = static_cast<size_t>(count / 2);
        text.resize(units);
        const int low = encoding == kTextEncodingUtf16Le ? 0 : 1;
        for (size_t i = 0; i < units; ++i) {
            text[i] = static_cast<WChar>(bytes[2 * i + low] | bytes[2 * i + 1 - low] << 8);
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

bool FileAccess::DetectTextFileEncoding(File& file, int& encoding, int& byteOrderMarkLength) {
    QAV_TRACE("FA::DTFE1");
    const int64_t size = file.GetSize();
    if (size < 0 || !file.Seek(0)) {
        return false;
    }
    const int64_t wanted = size < 3 ? size : 3;
    uint8_t head[3] = {0, 0, 0};
    if (ReadUpTo(file, head, wanted) < wanted) {
        return false;
    }
    if (wanted == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
        encoding = kTextEncodingUtf8;
        byteOrderMarkLength = 3;
        return true;
    }
    if (wanted < 2) {
        return false;
    }
    if ((head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF)) {
        encoding = head[0] == 0xFF ? kTextEncodingUtf16Le : kTextEncodingUtf16Be;
        byteOrderMarkLength = 2;
        return true;
    }
    if (head[0] == 0 && head[1] == 0) {
        return false;
    }
    encoding = head[1] == 0   ? kTextEncodingUtf16Le
               : head[0] == 0 ? kTextEncodingUtf16Be
                              : kTextEncodingUtf8;
    byteOrderMarkLength = 0;
    return true;
}

bool FileAccess::ReadTextFile(WStringView path, WString& text) {
    QAV_TRACE("FA::TOS");
    const WString pathText(path);
    const WChar* wszPath = pathText.c_str();
    QAV_TRACE_VAR("wszPath", wszPath, kTraceWideText);

    File file;
    if (!file.Open(path, kFileModeRead, true)) {
        return false;
    }
    int encoding = 0;
    int markLength = 0;
    if (!DetectTextFileEncoding(file, encoding, markLength)) {
        if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
            logger->LogFormat(kSeverityWarning, "No detection of text encoding for file: %s", path);
        }
        return false;
    }
    const int64_t size = file.GetSize();
    if (size < 0 || size - markLength > kMaxTextFileBytes || !file.Seek(markLength)) {
        return false;
    }
    // A file that shrank meanwhile gives what it still has; one that grew, its size as
    // it was when the read began.
    const int64_t expected = size > markLength ? size - markLength : 0;
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[expected > 0 ? expected : 1]);
    if (!bytes) {
        return false;
    }
    const int64_t got = ReadUpTo(file, bytes.get(), expected);
    if (file.GetLastError() != 0) {
        return false;
    }
    WString decoded;
    if (!DecodeText(bytes.get(), got, encoding, decoded)) {
        return false;
    }
    file.Close();
    text.swap(decoded);
    return true;
}

}  // namespace qav
