#include "core/text_logger.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qav {
namespace {

struct ListLogger : TextLogger {
    int GetLevel() override { return kSeverityError; }
    void LogText(int severity, std::string_view text) override {
        lines.push_back(std::to_string(severity) + ":" + std::string(text));
    }
    void LogFormatV(int severity, std::string_view format, FormatArgs args) override {
        LogText(severity, FormatStringV(format, args));
    }
    std::vector<std::string> lines;
};

TEST(TextLogger, WorksOutArgumentsOnlyForAdmittedReports) {
    int textsMade = 0;
    auto report = [&textsMade](int severity) {
        if (TextLogger* logger = TextLoggerFor(severity)) {
            auto errorText = [&textsMade] {
                ++textsMade;
                return GetErrorText(ENOENT);
            };
            logger->LogFormat(severity, "Error deleting file %ls: (%d) %ls", u"/tmp/x", ENOENT,
                              errorText());
        }
    };
    report(kSeverityError);
    EXPECT_EQ(textsMade, 0) << "no logger installed";

    ListLogger logger;
    SetTextLogger(&logger);
    report(kSeverityWarning);
    EXPECT_EQ(textsMade, 0) << "a severity-2 report was worked out by a level-3 logger";
    report(kSeverityError);
    SetTextLogger(nullptr);
    EXPECT_EQ(textsMade, 1);
    EXPECT_EQ(logger.lines, std::vector<std::string>{"3:Error deleting file /tmp/x: (2) " +
                                                     std::string(strerror(ENOENT))});
}

TEST(GetErrorText, IsTheSystemTextWithoutLineEnds) {
    for (int code = 0; code < 140; ++code) {
        const WString text = GetErrorText(code);
        const std::string expected = strerror(code);
        EXPECT_EQ(text.find_first_of(u"\r\n"), WString::npos) << code;
        EXPECT_EQ(text, WString(expected.begin(), expected.end())) << code;
    }
}

}  // namespace
}  // namespace qav
