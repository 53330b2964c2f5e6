// For tests only: a scratch directory that cleans up after itself and a text logger
// that keeps what it is given.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "core/format.h"
#include "core/text_logger.h"
#include "core/wide_text.h"

namespace qav::testing {

class ScratchDirectory {
  public:
    explicit ScratchDirectory(const std::string& parent = "/tmp") {
        std::string pattern = parent + "/qav-files-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~ScratchDirectory() {
        if (!m_path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    bool Ok() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }
    // The path of a name inside, in narrow and in wide form.
    std::string Narrow(const std::string& name) const { return m_path + "/" + name; }
    WString Wide(const std::string& name) const {
        const std::string path = Narrow(name);
        return WString(path.begin(), path.end());
    }

  private:
    std::string m_path;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Keeps every admitted line; installs itself for its lifetime.
class CapturingTextLogger : public TextLogger {
  public:
    explicit CapturingTextLogger(int level = kSeverityStatus) : m_level(level) {
        SetTextLogger(this);
    }
    ~CapturingTextLogger() override { SetTextLogger(nullptr); }

    int GetLevel() override { return m_level; }
    void LogText(int severity, std::string_view text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(std::to_string(severity) + " " + std::string(text));
    }
    void LogFormatV(int severity, std::string_view format, FormatArgs args) override {
        LogText(severity, FormatStringV(format, args));
    }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

  private:
    int m_level;
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

}  // namespace qav::testing
