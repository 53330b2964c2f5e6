// For tests only: a document parsed from a text, and the text a document saves.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "core/xml_document.h"

namespace qav::test_support {

// The root of `text` loaded into `document`; the test fails when the text does not load.
inline XmlElement ParseXml(XmlDocument& document, const std::string& text) {
    XmlElement root = document.LoadFromText(text.data(), static_cast<int>(text.size()));
    EXPECT_TRUE(root.IsValid()) << text;
    return root;
}

inline std::string SavedXml(XmlDocument& document) {
    std::string text;
    document.SaveToString(text);
    return text;
}

}  // namespace qav::test_support
