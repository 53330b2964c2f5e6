#include "network/socket_failure_report.h"

#include "core/text_logger.h"

namespace qav {

void ReportSocketFailure(const char* step, int errorCode) {
    if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
        logger->LogFormat(kSeverityError, "Failed to %s: socket error %d = %S", step, errorCode,
                          GetErrorText(errorCode));
    }
}

}  // namespace qav
