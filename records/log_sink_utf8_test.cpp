#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/log_sink.h"

namespace qav {
namespace {

// The sink's narrow texts are UTF-8; a broken sequence in one becomes U+FFFD and the rest
// of the text is kept.
TEST(LogSinkUtf8, BrokenSequencesKeepWhatFollows) {
    LogSink sink;
    sink.LogText(kSeverityError, "caf\xE9 au lait");
    sink.LogFormat(kSeverityError, "%s|%d",
                   "a\xC0\xAF"
                   "b",
                   7);
    std::vector<LogSinkEntry> entries;
    sink.TakeMessages(entries);
    std::vector<WString> texts;
    for (const LogSinkEntry& entry : entries) {
        WString text;
        entry.message.GetRoot().GetAttribute(u"qav:Text", text);
        texts.push_back(text);
    }
    EXPECT_EQ(texts, (std::vector<WString>{u"caf\uFFFD au lait", u"a\uFFFD\uFFFDb|7"}));
}

}  // namespace
}  // namespace qav
