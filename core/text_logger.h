// The process-wide text logger: where failures of platform calls (files, threads,
// sockets, kernel objects) are reported as formatted texts.
//
// Nothing in the library installs a logger, so these reports stay silent unless a
// program installs one. A component reports only through TextLoggerFor(), so that
// the arguments of a report (an error's text in particular) are worked out only when
// the report is really made:
//
//   if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
//       logger->LogFormat(kSeverityError, "Error deleting file %ls: (%d) %ls", path, code,
//                         GetErrorText(code));
//   }
#pragma once

#include <string_view>

#include "core/format.h"
#include "core/wide_text.h"

namespace qav {

// Severities shared with the report records.
constexpr int kSeverityUndefined = 0;
constexpr int kSeverityStatus = 1;
constexpr int kSeverityWarning = 2;
constexpr int kSeverityError = 3;

class TextLogger {
  public:
    virtual ~TextLogger() = default;

    // The lowest severity this logger admits.
    virtual int GetLevel() = 0;
    virtual void LogText(int severity, std::string_view text) = 0;
    virtual void LogFormatV(int severity, std::string_view format, FormatArgs args) = 0;

    template <typename... Args>
    void LogFormat(int severity, std::string_view format, const Args&... args) {
        const FormatArg captured[sizeof...(Args) + 1] = {FormatArg(args)...};
        LogFormatV(severity, format, FormatArgs(captured, sizeof...(Args)));
    }
};

// Installs the process-wide logger (null removes it). The logger must outlive every
// thread that may still report; install it before starting threads.
void SetTextLogger(TextLogger* logger);
TextLogger* GetTextLogger();

// The admission rule of every logger, of texts or of messages: `logger` when it is not null and
// its level is `severity` or lower, else null. Asking first keeps a report that nobody would
// keep from being built at all.
template <typename Logger>
Logger* AdmittingLogger(Logger* logger, int severity) {
    return logger != nullptr && logger->GetLevel() <= severity ? logger : nullptr;
}

// The installed logger when it admits `severity`, else null.
TextLogger* TextLoggerFor(int severity);

// The system's text for an error code, cut at its first carriage return.
WString GetErrorText(int errorCode);

}  // namespace qav
