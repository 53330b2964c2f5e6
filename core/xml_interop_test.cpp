// Our parser against libxml2's, run as the outside program xmllint: for documents inside
// the dialect both accept alike (declared prefixes, no NUL, no white space that either
// side normalises or drops), the canonical form xmllint makes of the text equals the one
// it makes of what we parsed and wrote back.
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "core/test_support.h"
#include "core/text_utils.h"
#include "core/xml_document.h"

namespace qav {
namespace {

constexpr char kXmllint[] = "/usr/bin/xmllint";

// Canonical XML of a file as xmllint sees it, or "xmllint failed".
std::string Canonical(const std::string& path) {
    const std::string command = std::string(kXmllint) + " --c14n " + path + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "xmllint failed";
    }
    std::string out;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
        out.append(buffer, got);
    }
    return pclose(pipe) == 0 ? out : "xmllint failed: " + out;
}

// UTF-8 documents written with the freedoms of the syntax: either quote, spaces around
// '=', the five escapes, decimal and hexadecimal references and non-ASCII text.
class DocumentGenerator {
  public:
    explicit DocumentGenerator(uint32_t seed) : m_random(seed) {}

    std::string Document() {
        std::string text = Pick(2) == 0 ? "" : "<?xml version='1.0' encoding='UTF-8'?>";
        text += "<qav:Message xmlns:qav=\"urn:qav:relay:2026\" xmlns='urn:plain'";
        text += " xmlns:m=\"urn:m\"" + Attributes() + ">";
        for (int i = Pick(6); i > 0; --i) {
            Element(text, 1);
        }
        return text + "</qav:Message>";
    }

  private:
    int Pick(int bound) { return static_cast<int>(m_random() % static_cast<uint32_t>(bound)); }

    // Only leaves hold text: the two models keep mixed content differently.
    void Element(std::string& text, int depth) {
        static const char* const kNames[] = {"qav:Item", "m:x", "plain", "qav:\xC3\xA9t\xC3\xA9",
                                             "m:a.b-c_d"};
        const std::string name = kNames[Pick(5)];
        text += "<" + name + Attributes();
        const int children = depth < 3 ? Pick(4) : 0;
        if (children == 0 && Pick(3) == 0) {
            text += Pick(2) == 0 ? "/>" : "></" + name + ">";
            return;
        }
        text += ">";
        for (int i = 0; i < children; ++i) {
            Element(text, depth + 1);
        }
        if (children == 0) {
            text += Text(false);
        }
        text += "</" + name + ">";
    }

    std::string Attributes() {
        static const char* const kNames[] = {"a", "qav:Id", "m:k", "Z", "\xD0\xB8\xD0\xBC\xD1\x8F"};
        std::string text;
        const int first = Pick(5);
        for (int i = Pick(4); i > 0; --i) {  // distinct names: a run of the table
            const char quote = Pick(2) == 0 ? '"' : '\'';
            text += std::string(" ") + kNames[(first + i) % 5] + (Pick(4) == 0 ? " = " : "=") +
                    quote + Text(true) + quote;
        }
        return text;
    }

    // No leading white space, and no white space that a conforming parser normalises:
    // tab, CR and LF in attribute values (our writer puts them in literally), CR in text.
    std::string Text(bool inAttribute) {
        static const char* const kPieces[] = {
            "x",      "42",    "&lt;",     "&gt;",   "&amp;",        "&quot;",
            "&apos;", "&#65;", "&#x20AC;", "&#xe9;", "\xE4\xB8\xAD", "\xC3\xBC",
            " ",      "]]",    ";",        "#",      "\xEF\xBF\xBD", "x&#10;"};
        std::string text = "t";
        for (int i = Pick(8); i > 0; --i) {
            text += kPieces[Pick(inAttribute ? 17 : 18)];  // a line feed only in text
        }
        if (!inAttribute && Pick(3) == 0) {
            text += "'\"";
        }
        return text;
    }

    std::mt19937 m_random;
};

TEST(XmlInterop, ParsedTreesAgreeWithXmllint) {
    if (access(kXmllint, X_OK) != 0) {
        GTEST_SKIP() << kXmllint << " is missing (Debian package libxml2-utils)";
    }
    test_support::ScratchDirectory directory;
    for (uint32_t seed = 1; seed <= 25; ++seed) {
        const std::string text = DocumentGenerator(seed).Document();
        XmlDocument document;
        ASSERT_TRUE(document.LoadFromText(text.data(), static_cast<int>(text.size())).IsValid())
            << text;
        std::string written;
        document.SaveToString(written);

        // One pass of writing reaches the fixed point.
        XmlDocument reread;
        ASSERT_TRUE(
            reread.LoadFromText(written.data(), static_cast<int>(written.size())).IsValid());
        std::string again;
        reread.SaveToString(again);
        EXPECT_EQ(again, written);

        test_support::WriteBytes(directory.Narrow("input.xml"), text);
        test_support::WriteBytes(directory.Narrow("ours.xml"), written);
        const std::string expected = Canonical(directory.Narrow("input.xml"));
        ASSERT_EQ(expected.find("xmllint failed"), std::string::npos) << expected << "\n" << text;
        EXPECT_EQ(Canonical(directory.Narrow("ours.xml")), expected)
            << "seed " << seed << "\ninput:   " << text << "\nwritten: " << written;
    }
}

}  // namespace
}  // namespace qav
