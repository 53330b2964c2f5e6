// For tests only: a document parsed from a text, the text a document saves, and wide
// text in UTF-8.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "core/text_utils.h"
#include "core/xml_document.h"

namespace qav::test_support {

// The root of `text` loaded into `document`; the test fails when the text does not load.
inline XmlElement ParseXml(XmlDocument& document, const std::string& text) {
    XmlElement root = document.LoadFromText(text.data(), static_cast<int>(text.size()));
    EXPECT_TRUE(root.IsValid()) << text;
    return root;
}

// Wide text as UTF-8, for failure messages and comparisons.
inline std::string Utf8Of(WStringView text) {
    std::string out;
    WideToUtf8(text.data(), static_cast<int>(text.size()), out);
    return out;
}

inline std::string SavedXml(XmlDocument& document) {
    std::string text;
    document.SaveToString(text);
    return text;
}

}  // namespace qav::test_support
