#include "core/text_logger.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/test_support.h"

namespace qav {
namespace {

TEST(TextLogger, WorksOutArgumentsOnlyForAdmittedReports) {
    int textsMade = 0;
    auto report = [&textsMade](int severity) {
        if (TextLogger* logger = TextLoggerFor(severity)) {
            ++textsMade;
            logger->LogFormat(severity, "Error deleting file %ls: (%d) %ls", u"/tmp/x", ENOENT,
                              GetErrorText(ENOENT));
        }
    };
    report(kSeverityError);
    EXPECT_EQ(textsMade, 0) << "no logger installed";

    test_support::CapturingTextLogger logger(kSeverityError);
    report(kSeverityWarning);
    EXPECT_EQ(textsMade, 0) << "a severity-2 report was worked out by a level-3 logger";
    report(kSeverityError);
    EXPECT_EQ(textsMade, 1);
    EXPECT_EQ(logger.Lines(), std::vector<std::string>{"3 Error deleting file /tmp/x: (2) " +
                                                       std::string(strerror(ENOENT))});
}

}  // namespace
}  // namespace qav
