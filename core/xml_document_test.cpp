#include "core/xml_document.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/format.h"
#include "core/test_support.h"
#include "core/xml_escape.h"
#include "core/xml_test_support.h"

namespace qav {
namespace {

using test_support::SavedXml;
using test_support::Utf8Of;

WString Write(const XmlDocument& document) {
    WString out;
    EXPECT_TRUE(XmlDocument::ToXmlText(*document.GetBlock(), out));
    EXPECT_EQ(XmlDocument::GetXmlTextLength(*document.GetBlock()), out.size()) << Utf8Of(out);
    return out;
}

// The text written after parsing `input`, or "FAIL".
WString Reparse(WStringView input) {
    XmlDocument document;
    if (!XmlDocument::ParseXmlText(*document.GetBlock(), input)) {
        return u"FAIL";
    }
    return Write(document);
}

TEST(XmlDocument, WritesTheWireFormOfTreesBuiltInCode) {
    XmlDocument document;
    XmlNode* root = document.CreateRoot(u"qav:Message", kQavNamespaceUri).GetNode();
    root->m_attributes[u"qav:Text"] = u"a<b";
    XmlNode::Create(document.GetBlock(), u"qav:Parameter", kQavNamespaceUri, root);
    EXPECT_EQ(Write(document), WString(u"<qav:Message qav:Text=\"a&lt;b\" "
                                       u"xmlns:qav=\"urn:qav:relay:2026\"><qav:Parameter/>"
                                       u"</qav:Message>"));

    // Code-unit order: a surrogate (0xD83D) sorts before U+FFFD, upper case before lower.
    root = document.CreateRoot(u"r", nullptr).GetNode();
    for (const WChar* name : {u"b", u"\uFFFD", u"\U0001F600", u"B", u"a", u"Z"}) {
        root->m_attributes[name] = u"";
    }
    root->m_text = WString(u"\0\"&'<>", 6);
    EXPECT_EQ(Write(document), WString(u"<r B=\"\" Z=\"\" a=\"\" b=\"\" \U0001F600=\"\" "
                                       u"\uFFFD=\"\">&null;&quot;&amp;&apos;&lt;&gt;</r>"));

    root = document.CreateRoot(u"r", nullptr).GetNode();
    root->m_attributes[u"v"] = WString(u"\0\t", 2);
    root->m_text = u" \tx ";
    XmlNode::Create(document.GetBlock(), u"c", nullptr, root)->m_text = u"\nA";
    XmlNode::Create(document.GetBlock(), u"d", nullptr, root)->m_text = u"\rB";
    EXPECT_EQ(Write(document),
              WString(u"<r v=\"&null;\t\"><c>&#10;A</c><d>&#13;B</d>&#32;\tx </r>"));
    EXPECT_EQ(Reparse(Write(document)), Write(document));
}

TEST(XmlDocument, ParsesTheAcceptedSubsetAndRejectsTheRest) {
    struct Case {
        WStringView input;
        WStringView written;  // "FAIL" when the parse must fail
    };
    const Case cases[] = {
        {u"", u"FAIL"},
        {u" \t\r\n", u"FAIL"},
        {u"<a/><b/>", u"FAIL"},
        {u"<a>", u"FAIL"},
        {u"<a><b></a>", u"FAIL"},
        {u"<a></a >", u"FAIL"},
        {u"<a></b>", u"FAIL"},
        {u"< a/>", u"FAIL"},
        {u"<a b/>", u"FAIL"},
        {u"<a b=c/>", u"FAIL"},
        {u"<a b='c/>", u"FAIL"},
        {u"<a/ >", u"FAIL"},
        {u"<!-- c --><a/>", u"FAIL"},
        {u"<a><!-- c --></a>", u"FAIL"},
        {u"<?xml?><a/>", u"FAIL"},
        {u"x<a/>", u"FAIL"},
        {u"<a/>x", u"FAIL"},
        {u"<a>x", u"FAIL"},
        {u"<a", u"FAIL"},
        {u"</a>", u"FAIL"},
        {u"<a/>", u"<a/>"},
        {u" <a ></a> ", u"<a/>"},
        {u"<a b='x\"y' c=\"x'y\"/>", u"<a b=\"x&quot;y\" c=\"x&apos;y\"/>"},
        {u"<a b='1' b='2' c = '3'/>", u"<a b=\"1\" c=\"3\"/>"},
        {u"<a c='1' b='2' a='3' b='4' c='5' a='6'/>", u"<a a=\"3\" b=\"2\" c=\"1\"/>"},
        {u"<a>  hi  </a>", u"<a>hi  </a>"},
        {u"<a>x<b/>y</a>", u"<a><b/>xy</a>"},
        {u"<a>\n  <b>\n  </b>\n</a>", u"<a><b/></a>"},
        {u"<a>&#65;&#x41;&#X41;&gt;&lt;&amp;&quot;&apos;</a>",
         u"<a>AAA&gt;&lt;&amp;&quot;&apos;</a>"},
        {u"<a b='&null;'>&null;</a>", u"<a b=\"&null;\">&null;</a>"},
        {u"<a>&foo; &# none</a>", u"<a>&amp;foo; &amp;# none</a>"},
        {u"<a b='&#'>;</a>", u"<a b=\"&amp;#\">;</a>"},
        {u"<a>&#x1F600;&#xZZ;&#99999999999;</a>", u"<a>\U0001F600\uFFFD\uFFFD</a>"},
        // Beyond U+10FFFF, or a surrogate: no character, and never its low bits (a NUL
        // here).
        {u"<a b='&#x110000;'>&#x110000;&#1114112;&#x10FFFF;</a>",
         u"<a b=\"\uFFFD\">\uFFFD\uFFFD\U0010FFFF</a>"},
        {u"<a>&#xD800;&#xDFFF;&#55296;&#xD7FF;&#xE000;</a>",
         u"<a>\uFFFD\uFFFD\uFFFD\uD7FF\uE000</a>"},
        {u"<a>&#32;x</a>", u"<a>&#32;x</a>"},
        {u"<?xml version='1.0'?><r/>", u"<?xml version='1.0' encoding='UTF-8'?><r/>"},
        {u"<?xml version=\"1.0\" encoding=\"UTF-16\" ?>\r\n<r/>",
         u"<?xml version='1.0' encoding='UTF-8'?><r/>"},
        {u"<r><?pi a='1'?></r>", u"<?xml version='1.0' encoding='UTF-8'?><r/>"},
        {WStringView(u"<a/>\0<b/>", 9), u"<a/>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Reparse(c.input), c.written) << "input: " << Utf8Of(c.input);
    }
}

// A character reference is read without wrapping in every decoder (the UTF-16 and the
// UTF-8 parser, in text and in attributes, and XmlDecodeEntities): one beyond 32 bits, or
// with no digits, names no character and reads as U+FFFD, never as its low bits (a NUL, or
// markup such as '<' or '/').
TEST(XmlDocument, CharacterReferencesBeyondAnyCharacterNeverWrap) {
    const struct {
        const char16_t* reference;
        WString decoded;
    } kCases[] = {
        {u"&#x100000000;", u"\uFFFD"},
        {u"&#x10000003C;", u"\uFFFD"},
        {u"&#x10000002F;", u"\uFFFD"},
        {u"&#X1000000000000000000000041;", u"\uFFFD"},
        {u"&#x;", u"\uFFFD"},
        {u"&#X;", u"\uFFFD"},
        {u"&#;", u"\uFFFD"},
        {u"&#4294967357;", u"\uFFFD"},            // 2^32 + '='
        {u"&#18446744073709551676;", u"\uFFFD"},  // 2^64 + '<'
        {u"&#x41G;", u"\uFFFD"},
        {u"&#00000000000000000000065;", u"A"},
        {u"&#x0000000000000000000041;", u"A"},
        {u"&#65x;", u"A"},  // decimal digits end at the first other character
        {u"&#x0;", WString(1, u'\0')},
    };
    for (const auto& c : kCases) {
        const WString reference = c.reference;
        const WString text = u"<a b='" + reference + u"'>" + reference + u"</a>";
        const std::string utf8 = Utf8Of(text);
        for (const bool wide : {true, false}) {
            XmlDocument document;
            const XmlElement root =
                wide ? document.LoadFromTextW(text.c_str())
                     : document.LoadFromText(utf8.data(), static_cast<int>(utf8.size()));
            WString decoded;
            EXPECT_TRUE(root.GetText(decoded)) << utf8;
            EXPECT_EQ(decoded, c.decoded) << utf8 << (wide ? " as UTF-16" : " as UTF-8");
            EXPECT_TRUE(root.GetAttribute(u"b", decoded)) << utf8;
            EXPECT_EQ(decoded, c.decoded) << utf8 << (wide ? " as UTF-16" : " as UTF-8");
        }
        WString decoded = reference;
        XmlDecodeEntities(decoded);
        EXPECT_EQ(decoded, c.decoded) << utf8;
        decoded.clear();
        EXPECT_EQ(XmlDecodeEntity(reference, 0, decoded), reference.size()) << utf8;
        EXPECT_EQ(decoded, c.decoded) << utf8;
    }
}

TEST(XmlDocument, DeclaresANamespaceOnlyWhereItIsNotInScope) {
    XmlDocument document;
    XmlDocumentBlock* block = document.GetBlock();
    XmlNode* root = document.CreateRoot(u"qav:Root", kQavNamespaceUri).GetNode();
    XmlNode* same = XmlNode::Create(block, u"qav:Same", kQavNamespaceUri, root);
    XmlNode* other = XmlNode::Create(block, u"qav:Other", u"urn:other", root);
    XmlNode* plain = XmlNode::Create(block, u"Plain", u"urn:plain", other);
    EXPECT_TRUE(same->m_attributes.empty());
    EXPECT_EQ(other->m_attributes.at(u"xmlns:qav"), u"urn:other");
    EXPECT_EQ(plain->m_attributes.at(u"xmlns"), u"urn:plain");
    EXPECT_EQ(XmlNode::NamespaceAttributeName(u"p:"), u"xmlns:p");

    WString local, uri;
    EXPECT_TRUE(XmlNode::ResolveName(same, local, uri));
    EXPECT_EQ(local, u"Same");
    EXPECT_EQ(uri, kQavNamespaceUri);
    XmlNode* deep = XmlNode::Create(block, u"qav:Deep", nullptr, plain);
    EXPECT_TRUE(XmlNode::ResolveName(deep, local, uri));
    EXPECT_EQ(uri, u"urn:other") << "the nearest declaration wins";
    XmlNode* undeclared = XmlNode::Create(block, u"x:Y", nullptr, root);
    EXPECT_FALSE(XmlNode::ResolveName(undeclared, local, uri));
    EXPECT_TRUE(uri.empty());
    EXPECT_EQ(undeclared->m_index, 2u);

    WString written;
    XmlNode::WriteAttributesNoNamespaces(other->m_attributes, written);
    EXPECT_TRUE(written.empty());
}

// A broken sequence in UTF-8 text becomes U+FFFD and the rest of the text is kept; an
// overlong form never turns into markup.
TEST(XmlDocument, BrokenUtf8BecomesReplacementCharacters) {
    const struct {
        std::string bytes;
        WString written;
    } cases[] = {
        {"<a>\xC3\x28</a>", u"<a>\uFFFD(</a>"},
        {"<a b='caf\xE9'>caf\xE9 au lait</a>", u"<a b=\"caf\uFFFD\">caf\uFFFD au lait</a>"},
        {"<a b='\xC0\xBC'>\xC0\xBCx\xC0\xAF</a>",
         u"<a b=\"\uFFFD\uFFFD\">\uFFFD\uFFFDx\uFFFD\uFFFD</a>"},
        {"<a>\xED\xA0\xBD\xED\xB8\x80\xED\xA0\x80</a>", u"<a>\U0001F600\uFFFD\uFFFD\uFFFD</a>"},
    };
    for (const auto& c : cases) {
        XmlDocument document;
        ASSERT_NE(document.LoadFromText(c.bytes.data(), static_cast<int>(c.bytes.size())), nullptr)
            << c.bytes;
        EXPECT_EQ(Write(document), c.written) << c.bytes;
    }
}

TEST(XmlDocument, FailedParseKeepsTheTreeAndHandlesShareTheBlock) {
    XmlDocument document;
    ASSERT_NE(document.LoadFromText("<a b='1'><c/></a>", 17), nullptr);
    const WString before = Write(document);
    for (const char* bad : {"<x>", "<a/><a/>", "", "<a>\xC3\x28"}) {
        EXPECT_EQ(document.LoadFromText(bad, static_cast<int>(strlen(bad))), nullptr) << bad;
        EXPECT_EQ(Write(document), before) << bad;
    }
    // A processing instruction before the failure still marks the document.
    EXPECT_EQ(document.LoadFromTextW(u"<?xml version='1.0'?><x>"), nullptr);
    EXPECT_EQ(Write(document), u"<?xml version='1.0' encoding='UTF-8'?>" + before);

    XmlDocument copy(document);
    XmlDocument other;
    other = copy;
    other = other;
    EXPECT_EQ(other.GetBlock(), document.GetBlock());
    EXPECT_EQ(document.GetBlock()->m_referenceCount.load(), 3);
    EXPECT_EQ(SavedXml(other), "<?xml version='1.0' encoding='UTF-8'?><a b=\"1\"><c/></a>");
    XmlDocument empty;
    std::string utf8 = "x";
    empty.SaveToString(utf8);
    EXPECT_EQ(utf8, "") << "saving an empty document clears the output";
}

// LoadFromText reads well-formed UTF-8 as it is and other bytes through the lenient
// decoder; either way the outcome (tree, success, declaration flag, the tree kept on a
// failure) is that of parsing the decoded text. Pieces are joined at random: markup,
// references, well-formed sequences of every length, and what the lenient decoder turns
// into markup or NUL or stops at (overlong forms, stray and missing continuations).
// Names are searched for their end many bytes at a time: a name of any length, at any
// offset, holding control bytes that end nothing or bytes beyond ASCII, and ended by
// any white space or mark, must read as it does unit by unit in the UTF-16 parse.
TEST(XmlDocument, NamesEndWhereverTheyFallInTheText) {
    const std::string_view units[] = {"n", "\x01", "\x1F", "\xC3\xA9", ":", "-"};
    const std::string_view tagEnds[] = {" ", "\t", "\n", "\r", "/", ">"};
    const std::string_view attributeEnds[] = {"=", " =", "\t=", "\r\n="};
    for (size_t length = 1; length <= 40; ++length) {
        for (size_t shift = 0; shift < 17; shift += 4) {
            std::string name = "e";
            std::string attribute = "a";
            for (size_t i = 1; i < length; ++i) {
                name.append(units[(i * 7 + shift) % std::size(units)]);
                attribute.append(units[(i * 5 + length) % std::size(units)]);
            }
            const std::string_view tagEnd = tagEnds[(length + shift) % std::size(tagEnds)];
            std::string text = std::string(shift, ' ') + "<" + name;
            if (tagEnd == "/" || tagEnd == ">") {
                text += std::string(tagEnd) + (tagEnd == "/" ? ">" : "</" + name + ">");
            } else {
                text += std::string(tagEnd) + attribute +
                        std::string(attributeEnds[length % std::size(attributeEnds)]) + "'v'/>";
            }
            XmlDocument direct;
            XmlDocument decoded;
            WString wide;
            Utf8ToWide(text.data(), static_cast<int>(text.size()), wide, nullptr);
            ASSERT_TRUE(direct.LoadFromText(text.data(), static_cast<int>(text.size())).IsValid())
                << text;
            ASSERT_TRUE(XmlDocument::ParseXmlText(*decoded.GetBlock(), wide)) << text;
            WString expectedName;
            Utf8ToWide(name.data(), static_cast<int>(name.size()), expectedName, nullptr);
            EXPECT_EQ(WStringView(direct.GetBlock()->m_root->m_name), expectedName) << text;
            ASSERT_EQ(Write(direct), Write(decoded)) << text;
        }
    }
}

// Short tokens are decoded into the parser's own array and long ones into a heap
// buffer: values and texts of every length around the change decode whole.
TEST(XmlDocument, TokensOfEveryLengthDecodeWhole) {
    const std::string_view pieces[] = {"x", "\xC3\xA9", "&amp;", "\xE4\xB8\xAD", "&#x1F600;"};
    const WStringView decoded[] = {u"x", u"\u00e9", u"&", u"\u4e2d", u"\U0001F600"};
    for (size_t length = 100; length < 300; ++length) {
        std::string bytes;
        WString expected;
        for (size_t i = 0; i < length; ++i) {
            const size_t piece = (i * i + length) % std::size(pieces);
            bytes.append(pieces[piece]);
            expected.append(decoded[piece]);
        }
        const std::string text =
            "<r v='" + bytes + "' w='" + std::string(length, 'w') + "'>" + bytes + "</r>";
        XmlDocument document;
        ASSERT_TRUE(document.LoadFromText(text.data(), static_cast<int>(text.size())).IsValid())
            << length;
        const XmlNode& root = *document.GetBlock()->m_root;
        EXPECT_EQ(WStringView(root.m_attributes.at(u"v")), expected) << length;
        EXPECT_EQ(root.m_attributes.at(u"w").size(), length);
        EXPECT_EQ(WStringView(root.m_text), expected) << length;
    }
}

TEST(XmlDocument, Utf8TextParsesAsItsUtf16Form) {
    using namespace std::string_view_literals;
    const std::string_view pieces[] = {
        "<a>", "</a>", "<b x='", "' y=\"1\"", "'>", "/>", "<c/>", "text", " ", "<?xml v='1'?>",
        "&amp;", "&#x1F600;", "&#", ";", "\0"sv,
        // Well-formed sequences of two, three (one a surrogate) and four bytes.
        "\xC3\xA9", "\xE4\xB8\xAD", "\xED\xA0\x80", "\xF0\x9F\x98\x80",
        // What the lenient decoder reads as '<' or NUL, or stops at.
        "\xC0\xBC", "\xE0\x80\xBC", "\xF4\x90\x80\xBC", "\xC0\x80", "\x80", "\xC3", "\xF0\x9F",
        "\xC3\x28",
        // The same where the parse skips bytes: an instruction's name, a repeated
        // attribute's value, a reference's digits.
        "<?p\xC3 k='v'?>", "<d x='1' x='\xC3'/>", "&#1\xC3;"};
    std::mt19937 random(2026);
    const auto pick = [&](size_t bound) { return static_cast<size_t>(random() % bound); };
    for (int round = 0; round < 4000; ++round) {
        std::string bytes;
        for (size_t count = 1 + pick(10); count > 0; --count) {
            bytes.append(pieces[pick(std::size(pieces))]);
        }
        if (round % 3 == 0) {
            bytes = "<r k='" + bytes.substr(0, bytes.size() / 2) + "'>" +
                    bytes.substr(bytes.size() / 2) + "</r>";
        }
        XmlDocument direct;
        XmlDocument decoded;
        for (XmlDocument* document : {&direct, &decoded}) {
            ASSERT_NE(document->LoadFromTextW(u"<kept k='\u00e9'/>"), nullptr);
        }
        const bool directOk =
            direct.LoadFromText(bytes.data(), static_cast<int>(bytes.size())).IsValid();
        WString wide;
        Utf8ToWide(bytes.data(), static_cast<int>(bytes.size()), wide, nullptr);
        const bool decodedOk = XmlDocument::ParseXmlText(*decoded.GetBlock(), wide);
        std::string shown;
        HexEncodeToString(bytes.data(), static_cast<int>(bytes.size()), true, shown);
        ASSERT_EQ(directOk, decodedOk) << shown;
        ASSERT_EQ(Write(direct), Write(decoded)) << shown;
    }
}

// Random trees over the characters that matter to the writer and the parser.
class TreeGenerator {
  public:
    explicit TreeGenerator(uint32_t seed) : m_random(seed) {}

    void Fill(XmlDocument& document) {
        XmlNode* root = document.CreateRoot(Name(), nullptr).GetNode();
        std::vector<XmlNode*> nodes{root};
        const int count = Pick(40);
        for (int i = 0; i < count; ++i) {
            XmlNode* node = XmlNode::Create(document.GetBlock(), Name(), nullptr,
                                            nodes[Pick(static_cast<int>(nodes.size()))]);
            nodes.push_back(node);
        }
        for (XmlNode* node : nodes) {
            for (int i = Pick(3); i > 0; --i) {
                node->m_attributes[node->NewString(Name())] = Text();
            }
            node->m_text = Pick(2) == 0 ? WString() : Text();
        }
    }

  private:
    int Pick(int bound) { return static_cast<int>(m_random() % static_cast<uint32_t>(bound)); }
    WString Name() {
        static const WStringView kNames[] = {u"a", u"b", u"qav:Value", u"x-y.z", u"\u00e9", u"A"};
        return WString(kNames[Pick(6)]);
    }
    WString Text() {
        static const WChar kUnits[] = {u'\0', u' ', u'\t', u'\r', u'\n', u'&', u'#',   u';',
                                       u'<',  u'>', u'"',  u'\'', u'x',  u'9', 0xD83D, 0xFFFF};
        WString text;
        for (int i = Pick(8); i > 0; --i) {
            text.push_back(kUnits[Pick(16)]);
        }
        return text;
    }
    std::mt19937 m_random;
};

void ExpectSameTree(const XmlNode& expected, const XmlNode& actual) {
    std::vector<std::pair<const XmlNode*, const XmlNode*>> pending{{&expected, &actual}};
    while (!pending.empty()) {
        auto [e, a] = pending.back();
        pending.pop_back();
        ASSERT_EQ(e->m_name, a->m_name);
        ASSERT_EQ(e->m_attributes, a->m_attributes) << Utf8Of(e->m_name);
        ASSERT_EQ(e->m_text, a->m_text) << Utf8Of(e->m_name);
        ASSERT_EQ(e->m_children.size(), a->m_children.size()) << Utf8Of(e->m_name);
        for (size_t i = 0; i < e->m_children.size(); ++i) {
            ASSERT_EQ(a->m_children[i]->m_index, i);
            ASSERT_EQ(a->m_children[i]->m_parent, a);
            pending.emplace_back(e->m_children[i], a->m_children[i]);
        }
    }
}

TEST(XmlDocument, RandomTreesSurviveWritingAndParsing) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        XmlDocument built;
        TreeGenerator(seed).Fill(built);
        const WString text = Write(built);
        XmlDocument parsed;
        ASSERT_NE(parsed.LoadFromTextW(text.c_str()), nullptr)
            << "seed " << seed << ": " << Utf8Of(text);
        ExpectSameTree(*built.GetBlock()->m_root, *parsed.GetBlock()->m_root);
        EXPECT_EQ(Write(parsed), text) << "seed " << seed;
        EXPECT_EQ(SavedXml(built), Utf8Of(text))
            << "seed " << seed << ": UTF-8 written straight from the tree";
    }
}

TEST(XmlDocument, DeepAndPathologicalInputsNeedNoRecursionNorQuadraticTime) {
    constexpr size_t kDepth = 1000000;
    WString text;
    text.reserve(kDepth * 7);
    for (size_t i = 0; i < kDepth; ++i)
        text.append(u"<a>");
    for (size_t i = 0; i < kDepth; ++i)
        text.append(u"</a>");
    {
        XmlDocument document;
        ASSERT_TRUE(XmlDocument::ParseXmlText(*document.GetBlock(), text));
        WString written;
        ASSERT_TRUE(XmlDocument::ToXmlText(*document.GetBlock(), written));
        EXPECT_EQ(written.size(), kDepth * 7 - 3);
        EXPECT_EQ(XmlDocument::GetXmlTextLength(*document.GetBlock()), written.size());
        EXPECT_EQ(written.find(u"<a/>"), (kDepth - 1) * 3);
    }                         // destroyed here
    text.resize(kDepth * 3);  // never closed: the partial tree is destroyed
    XmlDocument unclosed;
    EXPECT_FALSE(XmlDocument::ParseXmlText(*unclosed.GetBlock(), text));
    const std::string bytes = Utf8Of(text);
    EXPECT_EQ(unclosed.LoadFromText(bytes.data(), static_cast<int>(bytes.size())), nullptr);

    WString references(u"<a>");
    for (size_t i = 0; i < (1u << 19); ++i)
        references.append(u"&#");
    references.append(u"</a>");
    XmlDocument document;
    ASSERT_TRUE(XmlDocument::ParseXmlText(*document.GetBlock(), references));
    EXPECT_EQ(document.GetBlock()->m_root->m_text.size(), size_t{1} << 20);

    // Names in falling order, every one twice: the first value stays, in name order.
    constexpr int kNames = 200000;
    WString attributes(u"<a");
    for (int pass = 1; pass <= 2; ++pass) {
        for (int i = kNames - 1; i >= 0; --i) {
            attributes.append(FormatWString(u" n%06d='%d'", i, pass));
        }
    }
    attributes.append(u"/>");
    XmlDocument many;
    ASSERT_TRUE(XmlDocument::ParseXmlText(*many.GetBlock(), attributes));
    const XmlAttributeMap& parsed = many.GetBlock()->m_root->m_attributes;
    ASSERT_EQ(parsed.size(), size_t{kNames});
    int index = 0;
    for (const auto& [name, value] : parsed) {
        ASSERT_EQ(WString(name), FormatWString(u"n%06d", index)) << index;
        ASSERT_EQ(WString(value), u"1") << index;
        ++index;
    }
}

TEST(XmlDocument, FilesAreUtf8WithAByteOrderMarkAndReplacedWhole) {
    test_support::ScratchDirectory directory;
    const std::string path = directory.Narrow("settings.xml");
    XmlDocument document;
    XmlNode* root = document.CreateRoot(u"qav:Settings", kQavNamespaceUri).GetNode();
    root->m_attributes[u"qav:Name"] = u"caf\u00e9 \"&\" <\U0001F600>";
    XmlNode::Create(document.GetBlock(), u"qav:Item", nullptr, root)->m_text = u" one";
    test_support::WriteBytes(path, "old content that is longer than the new one ....");

    ASSERT_TRUE(document.SaveToFile(directory.Wide("settings.xml")));
    const std::string bytes = test_support::ReadBytes(path);
    ASSERT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(bytes.substr(3), SavedXml(document));

    XmlDocument reread;
    ASSERT_NE(reread.LoadFromFile(directory.Wide("settings.xml")), nullptr);
    const WString saved = Write(document);
    EXPECT_EQ(Write(reread), saved);

    if (access("/usr/bin/xmllint", X_OK) == 0) {
        // A surrogate pair goes out as two 3-byte sequences, which a strict checker
        // refuses; the checked file keeps to the basic plane.
        root->m_attributes[u"qav:Name"] = u"caf\u00e9 \"&\" <\u20ac>\t";
        ASSERT_TRUE(document.SaveToFile(directory.Wide("checked.xml")));
        const std::string command =
            "/usr/bin/xmllint --noout --encode UTF-8 " + directory.Narrow("checked.xml") + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    test_support::CapturingTextLogger logger;
    EXPECT_FALSE(document.SaveToFile(directory.Wide("missing/settings.xml")));
    EXPECT_FALSE(XmlDocument().SaveToFile(directory.Wide("empty.xml")));
    test_support::WriteBytes(directory.Narrow("bad.xml"), "<a>");
    EXPECT_EQ(reread.LoadFromFile(directory.Wide("bad.xml")), nullptr);
    EXPECT_EQ(reread.LoadFromFile(directory.Wide("none.xml")), nullptr);
    EXPECT_EQ(Write(reread), saved) << "failed reads keep the tree";
    const std::vector<std::string> lines = logger.Lines();
    const auto logged = [&lines](const std::string& part) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(part) != std::string::npos;
        });
    };
    EXPECT_TRUE(logged("Invalid XML file \"" + directory.Narrow("bad.xml") + "\": \"<a>\""));
    EXPECT_TRUE(logged("Cannot read XML file \"" + directory.Narrow("none.xml") + "\""));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory.Path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    names.erase(std::remove(names.begin(), names.end(), "checked.xml"), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"bad.xml", "settings.xml"}))
        << "no temporary file is left behind";
}

}  // namespace
}  // namespace qav
