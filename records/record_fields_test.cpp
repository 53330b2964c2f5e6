#include "records/record_fields.h"

#include "core/xml_test_support.h"

namespace qav {
namespace {

// Out of value order, with a repeated value and a row without text, as real tables are.
constexpr EnumTextRow kTestTable[] = {
    {2, u"Two"}, {1, u"One"}, {2, u"Second Two"}, {7, nullptr}, {0, u"Zero"},
};

using test_support::ParseXml;
using test_support::SavedXml;

TEST(RecordFields, NumbersRoundTripAndReadLeniently) {
    XmlDocument document;
    XmlElement root = document.CreateRoot(u"r", nullptr);
    int64_t big = INT64_MIN;
    double ratio = 1e20;
    EXPECT_TRUE(SyncInt64Field(root, u"L", nullptr, kSyncWrite, big));
    EXPECT_TRUE(SyncDoubleField(root, u"D", nullptr, kSyncWrite, ratio));
    EXPECT_EQ(SavedXml(document), "<r><L>-9223372036854775808</L><D>1e+20</D></r>");

    root = ParseXml(document, "<r><L>99999999999999999999</L><D1>2.5e3xyz</D1><D2>abc</D2></r>");
    EXPECT_TRUE(SyncInt64Field(root, u"L", nullptr, kSyncRead, big));
    EXPECT_EQ(big, INT64_MAX);
    EXPECT_TRUE(SyncDoubleField(root, u"D1", nullptr, kSyncRead, ratio));
    EXPECT_EQ(ratio, 2500.0);
    EXPECT_TRUE(SyncDoubleField(root, u"D2", nullptr, kSyncRead, ratio));
    EXPECT_EQ(ratio, 0.0);
    ratio = 42;
    EXPECT_FALSE(SyncDoubleField(root, u"D3", nullptr, kSyncRead, ratio));
    EXPECT_FALSE(SyncInt64Field(root, u"M", nullptr, kSyncRead, big));
    EXPECT_EQ(ratio, 42);
    EXPECT_EQ(big, INT64_MAX);
}

// A double goes out in full and comes back as the same double, as a child's text and as
// an attribute.
TEST(RecordFields, DoublesTravelInFull) {
    for (const double value : {123.456789, -0.1 - 0.2, 1.0 / 3, 5e-324, 1.7976931348623157e308}) {
        XmlDocument document;
        XmlElement root = document.CreateRoot(u"r", nullptr);
        double field = value;
        ASSERT_TRUE(SyncDoubleField(root, u"D", nullptr, kSyncWrite, field));
        ASSERT_TRUE(SyncFiniteDoubleAttribute(root, u"A", nullptr, kSyncWrite, field));
        std::string text;
        document.SaveToString(text);
        XmlDocument parsed;
        root = ParseXml(parsed, text);
        double child = 0;
        double attribute = 0;
        EXPECT_TRUE(SyncDoubleField(root, u"D", nullptr, kSyncRead, child));
        EXPECT_TRUE(SyncFiniteDoubleAttribute(root, u"A", nullptr, kSyncRead, attribute));
        EXPECT_EQ(child, value) << text;
        EXPECT_EQ(attribute, value) << text;
    }
}

TEST(RecordFields, EnumerationsTakeTheFirstMatchingRow) {
    XmlDocument document;
    XmlElement root = document.CreateRoot(u"r", nullptr);
    // 7 has a row without text, 3 and -1 have none: nothing is written for them.
    for (int32_t value : {2, 0, 7, 3, -1}) {
        const bool known = value == 2 || value == 0;
        EXPECT_EQ(SyncEnumField(root, u"E", nullptr, kTestTable, kSyncWrite, value), known);
        EXPECT_EQ(SyncEnumAttribute(root, u"A", nullptr, kTestTable, kSyncWrite, value), known);
        EXPECT_EQ(SavedXml(document),
                  value == 2 ? "<r A=\"Two\"><E>Two</E></r>" : "<r A=\"Zero\"><E>Zero</E></r>")
            << value;
    }

    struct ReadCase {
        const char* text;
        int32_t expected;  // the field starts at 5, which no row has
    };
    for (const ReadCase& c : {ReadCase{"Second Two", 2}, ReadCase{"One", 1}, ReadCase{"one", 5},
                              ReadCase{"One ", 5}, ReadCase{"", 5}}) {
        const std::string text = c.text;
        root = ParseXml(document, "<r A=\"" + text + "\"><E>" + text + "</E></r>");
        int32_t child = 5;
        int32_t attribute = 5;
        EXPECT_EQ(SyncEnumField(root, u"E", nullptr, kTestTable, kSyncRead, child),
                  c.expected != 5);
        EXPECT_EQ(SyncEnumAttribute(root, u"A", nullptr, kTestTable, kSyncRead, attribute),
                  c.expected != 5);
        EXPECT_EQ(child, c.expected) << text;
        EXPECT_EQ(attribute, c.expected) << text;
    }
}

TEST(RecordFields, IntListsReplaceOnWriteAndEmptyOnRead) {
    XmlDocument document;
    XmlElement wrapper = ParseXml(document, "<w><I>9</I><Other>8</Other></w>");
    std::vector<int32_t> list = {3, -1};
    SyncList(wrapper, u"I", nullptr, kSyncWrite, list, SyncIntItem);
    SyncList(wrapper, u"I", nullptr, kSyncWrite, list, SyncIntItem);
    EXPECT_EQ(SavedXml(document), "<w><Other>8</Other><I>3</I><I>-1</I></w>");

    wrapper = ParseXml(document, "<w><I>4</I><Other>8</Other><I>x</I><I>12abc</I></w>");
    SyncList(wrapper, u"I", nullptr, kSyncRead, list, SyncIntItem);
    EXPECT_EQ(list, (std::vector<int32_t>{4, 0, 12}));
    SyncList(XmlElement(), u"I", nullptr, kSyncRead, list, SyncIntItem);
    EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace qav
