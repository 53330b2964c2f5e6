#include "core/text_logger.h"

#include <atomic>

#include "platform/system_error.h"

namespace qav {

namespace {

std::atomic<TextLogger*> g_textLogger{nullptr};

}  // namespace

void SetTextLogger(TextLogger* logger) {
    g_textLogger.store(logger, std::memory_order_release);
}

TextLogger* GetTextLogger() {
    return g_textLogger.load(std::memory_order_acquire);
}

TextLogger* TextLoggerFor(int severity) {
    return AdmittingLogger(GetTextLogger(), severity);
}

WString GetErrorText(int errorCode) {
    // The platform's messages are ASCII; the formatter decodes UTF-8 all the same.
    return FormatWString(u"%s", platform::ErrorMessage(errorCode));
}

}  // namespace qav
