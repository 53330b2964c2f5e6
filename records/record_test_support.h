// For tests only: a record's wire text as WriteXml appends it, a record read from a
// text, and approval files for sweeps too big for a golden string.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/xml_test_support.h"
#include "records/xml_record.h"

namespace qav::test_support {

#define QAV_TEST_NS "xmlns:qav=\"urn:qav:relay:2026\""

// The record's own element as WriteXml appends it under a fresh parent; empty when it
// appends nothing. These two serve any record with WriteXml(parent) and ReadXml(element),
// an XmlRecord or not.
template <typename Record>
std::string WrittenXml(Record& record) {
    XmlDocument document;
    record.WriteXml(document.CreateRoot(u"Root", nullptr));
    const std::string text = SavedXml(document);  // "<Root>...</Root>" or "<Root/>"
    return text == "<Root/>" ? std::string() : text.substr(6, text.size() - 13);
}

template <typename Record>
void ReadXmlText(Record& record, const std::string& text) {
    XmlDocument document;
    record.ReadXml(ParseXml(document, text));
}

// Compares `actual` with tests/data/<name>; QAV_UPDATE_GOLDEN=1 rewrites the file instead.
inline void ExpectApproved(const std::string& name, const std::string& actual) {
    const std::string path = std::string(QAV_SOURCE_DIR) + "/tests/data/" + name;
    if (const char* update = std::getenv("QAV_UPDATE_GOLDEN");
        update != nullptr && std::string_view(update) == "1") {
        std::ofstream(path, std::ios::binary) << actual;
        return;
    }
    std::ostringstream approved;
    approved << std::ifstream(path, std::ios::binary).rdbuf();
    EXPECT_EQ(actual, approved.str()) << path << " (QAV_UPDATE_GOLDEN=1 rewrites it)";
}

}  // namespace qav::test_support
