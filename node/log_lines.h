// How qav-node prints its log: one line per record, "<severity> <text>" followed by the
// record's parameters as " name=value" (a value with a space, or empty, in quotes). A text
// that already begins with its severity's name ("Error 111 [...]") is not given the name
// twice. The node's own lines (about its connection to a server, its stop) are records
// without a severity, and are printed as their text alone.
#pragma once

#include <cstdint>
#include <string>

#include "core/text_logger.h"

namespace qav {

class LogMessage;

// The severity of the node's own lines in its log.
constexpr int32_t kNodeLineSeverity = kSeverityUndefined;

std::string FormatLogLine(int32_t severity, const LogMessage& message);

}  // namespace qav
