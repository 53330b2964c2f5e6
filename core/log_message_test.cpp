#include "core/log_message.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace qav {
namespace {

std::string Saved(const LogMessage& message) {
    XmlDocument document = message.GetDocument();
    std::string out;
    document.SaveToString(out);
    return out;
}

TEST(LogMessage, WritesTextAndParametersInTheOrderAdded) {
    LogMessage message(u"Lost <peer> & \"more\"");
    message.AddParameter(u"Wide", u"\u00e9t\u00e9");
    message.AddParameterInt(u"Int", INT32_MIN);
    message.AddParameterBool(u"Yes", true);
    message.AddParameterString(u"Utf8", "caf\xc3\xa9");
    message.AddParameterText(u"Text", nullptr);
    message.AddParameterInt64(u"Int64", INT64_MIN);
    message.AppendXmlParameter(u"Xml", "<a/>");
    // The value carries the "0x" prefix once, before the digits.
    message.AddConnectionParameter(reinterpret_cast<const void*>(uintptr_t{0x1234abcd}));
    message.AddConnectionParameter(reinterpret_cast<const void*>(UINTPTR_MAX));

    EXPECT_EQ(Saved(message),
              "<qav:Message qav:Text=\"Lost &lt;peer&gt; &amp; &quot;more&quot;\" "
              "xmlns:qav=\"urn:qav:relay:2026\">"
              "<qav:Parameter qav:Name=\"Wide\" qav:Value=\"\xc3\xa9t\xc3\xa9\"/>"
              "<qav:Parameter qav:Name=\"Int\" qav:Value=\"-2147483648\"/>"
              "<qav:Parameter qav:Name=\"Yes\" qav:Value=\"True\"/>"
              "<qav:Parameter qav:Name=\"Utf8\" qav:Value=\"caf\xc3\xa9\"/>"
              "<qav:Parameter qav:Name=\"Text\" qav:Value=\"\"/>"
              "<qav:Parameter qav:Name=\"Int64\" qav:Value=\"-9223372036854775808\"/>"
              "<qav:Parameter qav:Name=\"Xml\" qav:Value=\"&lt;a/&gt;\"/>"
              "<qav:Parameter qav:Name=\"Connection\" qav:Value=\"0x000000001234ABCD\"/>"
              "<qav:Parameter qav:Name=\"Connection\" qav:Value=\"0xFFFFFFFFFFFFFFFF\"/>"
              "</qav:Message>");
    EXPECT_EQ(LogMessage(message).GetDocument().GetBlock(), message.GetDocument().GetBlock())
        << "a copy shares the document";
}

// A parameter's UTF-8 is never cut at a broken sequence: it becomes U+FFFD.
TEST(LogMessage, BrokenUtf8InAParameterKeepsWhatFollows) {
    LogMessage message(u"m");
    message.AddParameterString(u"Latin1", "caf\xe9 au lait");
    message.AddParameterString(u"Overlong",
                               "a\xc0\xaf"
                               "b");
    EXPECT_EQ(Saved(message),
              "<qav:Message qav:Text=\"m\" xmlns:qav=\"urn:qav:relay:2026\">"
              "<qav:Parameter qav:Name=\"Latin1\" qav:Value=\"caf\xef\xbf\xbd au lait\"/>"
              "<qav:Parameter qav:Name=\"Overlong\" qav:Value=\"a\xef\xbf\xbd\xef\xbf\xbd"
              "b\"/></qav:Message>");
}

}  // namespace
}  // namespace qav
