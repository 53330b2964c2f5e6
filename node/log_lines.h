// How qav-node prints its log: one line per record, "<severity> <text>" followed by the
// record's parameters as " name=value" (a value with a space, or empty, in quotes).
#pragma once

#include <cstdint>
#include <string>

namespace qav {

class LogMessage;

std::string FormatLogLine(int32_t severity, const LogMessage& message);

}  // namespace qav
