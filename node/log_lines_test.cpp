#include "node/log_lines.h"

#include <gtest/gtest.h>

#include <string>

#include "core/log_message.h"

namespace qav {
namespace {

// The severity leads each line once, even where the record's own text begins with its
// name; the node's own lines are printed as they are.
TEST(LogLines, NameTheSeverityOnceAndPrintTheNodesOwnLinesAsTheyAre) {
    const struct {
        int32_t severity;
        const char16_t* text;
        const char* line;
    } cases[] = {
        {kSeverityError, u"Error 111 [Connection refused] in connection from 127.0.0.1:40 to h:9",
         "Error 111 [Connection refused] in connection from 127.0.0.1:40 to h:9"},
        {kSeverityError, u"Errors here", "Error Errors here"},
        {kSeverityError, u"Error", "Error"},
        {kSeverityWarning, u"Error 5 seen", "Warning Error 5 seen"},
        {kSeverityWarning, u"Disconnecting main server", "Warning Disconnecting main server"},
        {kSeverityStatus, u"line\nbreak", "Status line break"},
        {kNodeLineSeverity, u"connected to h via 10.0.0.2 (interface eth0, priority 1)",
         "connected to h via 10.0.0.2 (interface eth0, priority 1)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatLogLine(c.severity, LogMessage(c.text)), c.line);
    }
    LogMessage message(u"Connection event");
    message.AddParameter(u"Event", u"data");
    message.AddParameterString(u"Peer", "");
    EXPECT_EQ(FormatLogLine(kSeverityStatus, message),
              "Status Connection event Event=data Peer=\"\"");
}

}  // namespace
}  // namespace qav
