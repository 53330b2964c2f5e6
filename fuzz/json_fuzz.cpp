// Feeds arbitrary bytes, taken as UTF-8 the way JSON values take narrow text, to the
// JSON parser and checks what must hold for any input: the bytes parse as their wide
// decoding does, also when parsed again into the same value or into values that held
// trees of long and short texts, the UTF-8 edge reads back
// what it wrote (and writes real UTF-8 even for a lone surrogate), and text written from a
// parsed value parses back to the same text, both in its wide form and in the UTF-8 that
// ToText gives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/format.h"
#include "core/json_object.h"
#include "core/text_logger.h"
#include "core/text_utils.h"
#include "fuzz/fuzz_support.h"

namespace {

using qav::fuzz::Check;

// Formats every report, so that the reports' arguments are exercised too, and drops it.
class FormattingLogger : public qav::TextLogger {
  public:
    int GetLevel() override { return qav::kSeverityStatus; }
    void LogText(int, std::string_view) override {}
    void LogFormatV(int, std::string_view format, qav::FormatArgs args) override {
        Check(!qav::FormatStringV(format, args).empty());
    }
};

void CheckUtf8Edge(const qav::WString& text) {
    qav::JsonObject object;
    object.SetMemberString(u"s", text);
    std::string narrow;
    Check(object.GetMemberString(u"s", narrow));
    qav::JsonObject back;
    back.SetString(narrow);
    Check(back.GetNode()->GetString() == text);

    // With a lone surrogate, which has no UTF-8 form, the bytes handed out are still real
    // UTF-8, and read back they give the same bytes again.
    object.SetMemberString(u"s", text + qav::WChar(0xD800));
    Check(object.GetMemberString(u"s", narrow));
    qav::WString strict;
    Check(qav::Utf8ToWideStrict(narrow, strict));
    back.SetString(narrow);
    object.SetMember(u"s", back);
    std::string again;
    Check(object.GetMemberString(u"s", again));
    Check(again == narrow);
}

void CheckRoundTrip(const qav::WString& text) {
    qav::JsonObject value;
    if (!value.FromText(text.c_str())) {
        return;
    }
    qav::WString first;
    value.AppendText(first);
    qav::JsonObject again;
    Check(again.FromText(first.c_str()));
    qav::WString second;
    again.AppendText(second);
    Check(second == first);

    std::string utf8;
    again.ToText(utf8);
    qav::WString decoded;
    Check(qav::Utf8ToWideStrict(utf8, decoded));
    Check(decoded == first);
}

// The bytes parsed as they are give what their decoding gives: the same result and the
// same tree, built or half built.
void CheckUtf8Parse(std::string_view bytes, const qav::WString& decoded) {
    qav::JsonObject fromWide;
    const bool wideParsed = fromWide.FromText(decoded.c_str());
    qav::JsonObject fromUtf8;
    Check(fromUtf8.FromUtf8Text(bytes) == wideParsed);
    qav::WString expected;
    fromWide.AppendText(expected);
    qav::WString actual;
    fromUtf8.AppendText(actual);
    Check(actual == expected);

    // Parsed again into the value that holds the first tree: the same result and the
    // same tree.
    Check(fromUtf8.FromUtf8Text(bytes) == wideParsed);
    qav::WString again;
    fromUtf8.AppendText(again);
    Check(again == expected);

    // Parsed into a value that held a tree from a long text and into one that held a
    // tree from a short text: the same result and the same value, failed parses
    // included, and the same as parsed into the value that held this very text's tree.
    qav::WString held[2];
    for (int i = 0; i < 2; ++i) {
        std::string before = "{\"held\":[1,\"a text longer than the inline form\"]}";
        before.resize(i == 0 ? 70000 : before.size(), ' ');
        qav::JsonObject value;
        Check(value.FromUtf8Text(before));
        qav::JsonObject other = value;
        Check(value.FromUtf8Text(bytes) == wideParsed);
        value.AppendText(held[i]);
        qav::WString shared;
        other.AppendText(shared);
        Check(shared == held[i]);
    }
    Check(held[0] == held[1]);
    if (wideParsed) {
        Check(held[0] == expected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    static FormattingLogger logger;
    qav::SetTextLogger(&logger);
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    qav::JsonObject holder;
    holder.SetString(bytes);
    const qav::WString text(holder.GetNode()->GetString());
    CheckUtf8Parse(bytes, text);
    CheckUtf8Edge(text);
    CheckRoundTrip(text);
    return 0;
}
