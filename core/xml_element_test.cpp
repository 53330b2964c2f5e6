#include "core/xml_element.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/xml_test_support.h"

namespace qav {
namespace {

using test_support::SavedXml;
using test_support::Utf8Of;

// Names of the children in walk order, so a skipped or repeated child shows up.
std::vector<std::string> Walk(XmlElement parent) {
    std::vector<std::string> names;
    for (XmlElement child = parent.FirstChild(); child.IsValid() && names.size() < 100;
         child = child.NextSibling()) {
        WString name;
        EXPECT_TRUE(child.GetName(name));
        names.push_back(Utf8Of(name));
    }
    return names;
}

TEST(XmlElement, TypedSettersWriteTheWireTextAndGettersReadItBack) {
    XmlDocument document;
    XmlElement root = document.CreateRoot(u"qav:Record", kQavNamespaceUri);
    root.SetAttributeInt(u"qav:I", kQavNamespaceUri, INT32_MIN);
    root.SetAttributeInt64(u"qav:L", kQavNamespaceUri, INT64_MIN);
    root.SetAttributeDouble(u"qav:D", kQavNamespaceUri, -2.5e-7);
    root.SetAttributeDouble(u"qav:E", kQavNamespaceUri, 1e20);
    // In full: six digits would move a map point by metres.
    root.SetAttributeDouble(u"qav:G", kQavNamespaceUri, 123.456789);
    root.SetAttributeBool(u"qav:T", kQavNamespaceUri, true);
    root.SetAttributeBool(u"qav:F", kQavNamespaceUri, false);
    root.SetAttributeUtf8(u"x:U", u"urn:unused", "caf\xC3\xA9<");
    // Nothing after a broken sequence is lost; it becomes U+FFFD.
    root.SetAttributeString(u"S", nullptr, std::string("a\xC3(b"));
    root.SetAttributeText(u"W", nullptr, u"\u20ac&");
    root.SetAttribute(u"qav:I", u"7");  // replaces
    root.CreateChild(u"qav:N", kQavNamespaceUri).SetTextInt64(INT64_MAX);
    root.CreateChild(u"qav:M", nullptr).SetTextInt(-12);
    root.CreateChild(u"qav:Z", nullptr).SetText(u"");

    const std::string wire =
        "<qav:Record S=\"a\xEF\xBF\xBD(b\" W=\"\xE2\x82\xAC&amp;\" qav:D=\"-2.5e-07\" "
        "qav:E=\"1e+20\" qav:F=\"False\" qav:G=\"123.456789\" qav:I=\"7\" "
        "qav:L=\"-9223372036854775808\" qav:T=\"True\" "
        "x:U=\"caf\xC3\xA9&lt;\" xmlns:qav=\"urn:qav:relay:2026\">"
        "<qav:N>9223372036854775807</qav:N><qav:M>-12</qav:M><qav:Z/></qav:Record>";
    ASSERT_EQ(SavedXml(document), wire) << "attribute URIs add no declaration";

    XmlDocument parsed;
    XmlElement back = test_support::ParseXml(parsed, wire);
    int64_t l = 0;
    WString u;
    EXPECT_TRUE(back.GetAttributeInt64(u"qav:L", l) && l == INT64_MIN);
    EXPECT_TRUE(back.GetAttribute(u"x:U", u) && u == u"caf\u00e9<");
    EXPECT_TRUE(back.FindChild(u"qav:N").GetTextInt64(l) && l == INT64_MAX);
}

TEST(XmlElement, NumberAndBooleanReadersAreLenientAndLocaleFree) {
    const struct {
        WStringView text;
        int32_t int32;
        int64_t int64;
        double real;
        bool yes;
    } cases[] = {
        {u"12abc", 12, 12, 12, false},
        {u"", 0, 0, 0, false},
        {u" \t\r\n+3.75e1x", 3, 3, 37.5, false},
        {u"1,5", 1, 1, 1, false},
        {u".5", 0, 0, 0.5, false},
        {u"0x1e", 0, 0, 0, false},
        {u"True", 0, 0, 0, true},
        {u"False", 0, 0, 0, false},
        {u"Yes", 0, 0, 0, true},
        {u"y", 0, 0, 0, true},
        {u"1", 1, 1, 1, false},
        {u"9223372036854775808", INT32_MAX, INT64_MAX, 9223372036854775808.0, false},
        {u"-9223372036854775808", INT32_MIN, INT64_MIN, -9223372036854775808.0, false},
        {u"99999999999999999999", INT32_MAX, INT64_MAX, 99999999999999999999.0, false},
        {u"1e400", 1, 1, std::numeric_limits<double>::infinity(), false},
        {u"-1e-400", -1, -1, -0.0, false},
    };
    XmlDocument document;
    XmlElement element = document.CreateRoot(u"r", nullptr);
    for (const auto& c : cases) {
        const std::string label = "value \"" + Utf8Of(c.text) + "\"";
        element.SetAttribute(u"v", c.text);
        element.SetText(c.text);
        int32_t int32 = 99, textInt32 = 99;
        int64_t int64 = 99, textInt64 = 99;
        double real = 99;
        bool yes = !c.yes;
        ASSERT_TRUE(element.GetAttributeInt(u"v", int32) &&
                    element.GetAttributeInt64(u"v", int64) &&
                    element.GetAttributeDouble(u"v", real) && element.GetAttributeBool(u"v", yes) &&
                    element.GetTextInt(textInt32) && element.GetTextInt64(textInt64))
            << label;
        EXPECT_EQ(std::tuple(int32, textInt32, int64, textInt64, yes),
                  std::tuple(c.int32, c.int32, c.int64, c.int64, c.yes))
            << label;
        EXPECT_TRUE(real == c.real && std::signbit(real) == std::signbit(c.real))
            << label << " read as " << real;
    }
}

TEST(XmlElement, NullHandlesAndAbsentAttributesChangeNothing) {
    XmlDocument document;
    XmlElement root = document.LoadFromTextW(u"<r A='1'>only text</r>");
    for (XmlElement element : {XmlElement(), root}) {
        WString text = u"kept";
        int32_t i = 5;
        int64_t l = 6;
        double d = 7;
        bool b = true;
        EXPECT_FALSE(element.GetAttribute(u"a", text) || element.GetAttributeInt(u"a", i) ||
                     element.GetAttributeInt64(u"a", l) || element.GetAttributeDouble(u"a", d) ||
                     element.GetAttributeBool(u"a", b))
            << "names are exact";
        EXPECT_TRUE(text == u"kept" && i == 5 && l == 6 && d == 7 && b);
        EXPECT_FALSE(element.FirstChild().IsValid()) << "text is no child";
        EXPECT_FALSE(element.NextSibling().IsValid()) << "the root has no sibling";
    }
    XmlElement none;
    WString text = u"kept";
    int32_t i = 5;
    EXPECT_FALSE(none.GetText(text) || none.GetTextInt(i));
    EXPECT_TRUE(text == u"kept" && i == 5);
    none.SetAttributeBool(u"a", nullptr, true);
    none.RemoveChildren(u"a");
    EXPECT_FALSE(none.FindOrCreateChild(u"a", nullptr, true).IsValid());
    EXPECT_FALSE(none.GetName(text) || !text.empty()) << "GetName clears its output";
    EXPECT_FALSE(document.LoadFromTextW(u"<r>").IsValid());
    EXPECT_TRUE(root.GetText(text) && text == u"only text") << "a failed load keeps the tree";
}

TEST(XmlElement, FindChildNsResolvesPrefixesThroughAncestors) {
    XmlDocument document;
    XmlElement root = document.LoadFromTextW(
        u"<r xmlns:a='urn:1'><m><b:x id='undeclared'/><a:y id='other'/>"
        u"<a:x id='prefixed'/><x xmlns='urn:1' id='default'/>"
        u"<c:x xmlns:c='urn:2' id='own'/><x id='plain'/></m></r>");
    ASSERT_TRUE(root.IsValid());
    XmlElement middle = root.FindChild(u"m");
    const struct {
        WStringView localName, uri, id;  // an empty id: nothing found
    } cases[] = {
        {u"x", u"urn:1", u"prefixed"}, {u"y", u"urn:1", u"other"}, {u"x", u"urn:2", u"own"},
        {u"x", u"urn:3", u""},         {u"x", u"", u""},           {u"a:x", u"urn:1", u""},
        {u"X", u"urn:1", u""},
    };
    for (const auto& c : cases) {
        const XmlElement found = middle.FindChildNs(c.localName, c.uri);
        WString id;
        found.GetAttribute(u"id", id);
        EXPECT_EQ(id, c.id) << Utf8Of(c.localName) << " in " << Utf8Of(c.uri);
    }
    EXPECT_TRUE(middle.FindChild(u"b:x").IsValid()) << "FindChild does not resolve";
    EXPECT_FALSE(middle.FindChild(u"A:x").IsValid());

    EXPECT_EQ(middle.FindOrCreateChild(u"a:y", u"urn:5", true), middle.FindChild(u"a:y"));
    EXPECT_FALSE(middle.FindOrCreateChild(u"new", nullptr, false).IsValid());
    const XmlElement made = middle.FindOrCreateChild(u"new", nullptr, true);
    EXPECT_TRUE(made.IsValid());
    EXPECT_EQ(middle.FindChild(u"new"), made);
}

TEST(XmlElement, RemoveChildrenKeepsTheSiblingWalkWhole) {
    XmlDocument document;
    XmlElement root =
        document.LoadFromTextW(u"<r><a><deep><deeper/></deep></a><b/><a/><c>1</c><a/><b/><a/></r>");
    ASSERT_TRUE(root.IsValid());
    root.RemoveChildren(u"A");
    EXPECT_EQ(Walk(root).size(), 7u) << "exact names only";
    root.RemoveChildren(u"a");
    EXPECT_EQ(Walk(root), (std::vector<std::string>{"b", "c", "b"}));
    root.CreateChild(u"d", nullptr);
    root.CreateChild(u"a", nullptr);
    EXPECT_EQ(Walk(root), (std::vector<std::string>{"b", "c", "b", "d", "a"}));
    root.RemoveChildren(u"b");
    EXPECT_EQ(Walk(root), (std::vector<std::string>{"c", "d", "a"}));
    EXPECT_EQ(SavedXml(document), "<r><c>1</c><d/><a/></r>");
}

}  // namespace
}  // namespace qav
