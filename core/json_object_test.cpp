#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/json_arena.h"
#include "core/json_object.h"
#include "core/ref_counted.h"
#include "core/text_utils.h"

namespace qav {
namespace {

std::string Written(const JsonObject& value) {
    std::string out;
    value.ToText(out);
    return out;
}

// The arena a parsed value's first member or element lives in; null for the heap.
const JsonArena* ArenaOfValues(const JsonObject& value) {
    const JsonValue* node = value.FindNode();
    if (node == nullptr) {
        return nullptr;
    }
    if (const JsonVariablesMap* members = node->GetMembers(); members && !members->empty()) {
        return members->begin()->second.FindNode()->GetArena();
    }
    if (const JsonArray* elements = node->GetElements(); elements && !elements->empty()) {
        return elements->front().FindNode()->GetArena();
    }
    return nullptr;
}

JsonObject Number(double number) {
    JsonObject value;
    value.GetNode()->SetNumber(number);
    return value;
}

TEST(JsonObject, WritesTheCompactForm) {
    JsonObject object;
    object.SetMemberString(u"b", u"x");
    JsonObject one;
    one.GetNode()->SetInteger(1);
    object.SetMember(u"a", one);
    EXPECT_EQ(Written(object), "{ \"a\":1, \"b\":\"x\" }");

    JsonObject list;
    list.MakeArray().push_back(Number(3.14159265));
    list.MakeArray().push_back(Number(1e20));
    list.MakeArray().push_back(Number(std::numeric_limits<double>::infinity()));
    list.MakeArray().push_back(Number(std::nan("")));
    list.MakeArray().push_back(Number(-0.0));
    list.MakeArray().emplace_back();  // an empty handle
    list.MakeArray().emplace_back().MakeArray();
    list.MakeArray().emplace_back().MakeObject();
    list.MakeArray().emplace_back().GetNode()->SetBool(false);
    list.MakeArray().push_back(Number(123.456789));
    list.MakeArray().push_back(Number(0.1));
    EXPECT_EQ(Written(list),
              "[ 3.14159265, 1e+20, null, null, 0, null, [  ], {  }, false, 123.456789, 0.1 ]");

    // UTF-8 is real for pairs; a lone surrogate, which UTF-8 cannot carry, is escaped.
    JsonObject text;
    text.GetNode()->SetWString(u"/\"\\\x01\x7f\u00e9\U0001F600\xd800");
    EXPECT_EQ(Written(text), "\"\\/\\\"\\\\\\u0001\x7f\xC3\xA9\xF0\x9F\x98\x80\\ud800\"");
    WString wide = u">";
    JsonObject::AppendString(text.GetNode()->GetString(), wide);
    EXPECT_EQ(wide, u">\"\\/\\\"\\\\\\u0001\x7f\u00e9\U0001F600\\ud800\"");

    EXPECT_EQ(Written(JsonObject()), "null");

    // Strings whose escape ends where the writer's internal pieces do.
    for (size_t length = 240; length < 270; ++length) {
        JsonObject edge;
        edge.GetNode()->SetWString(WString(length, u'a') + u"\x01");
        EXPECT_EQ(Written(edge), "\"" + std::string(length, 'a') + "\\u0001\"") << length;
        wide.clear();
        edge.AppendText(wide);
        EXPECT_EQ(wide, u"\"" + WString(length, u'a') + u"\\u0001\"") << length;
    }
}

// The writer's rule, one unit at a time.
template <typename String>
String EscapedOneByOne(const WString& text) {
    using Char = typename String::value_type;
    String out(1, '"');
    for (size_t i = 0; i < text.size(); ++i) {
        const WChar c = text[i];
        const char* shortForm = c == u'"'    ? "\\\""
                                : c == u'\\' ? "\\\\"
                                : c == u'/'  ? "\\/"
                                : c == u'\b' ? "\\b"
                                : c == u'\t' ? "\\t"
                                : c == u'\n' ? "\\n"
                                : c == u'\f' ? "\\f"
                                : c == u'\r' ? "\\r"
                                             : nullptr;
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
                          text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (shortForm != nullptr) {
            out.append(shortForm, shortForm + 2);
        } else if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF && !pair)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out.append(escape, escape + 6);
        } else {
            WString unit(1, c);
            if (pair) {
                unit.push_back(text[++i]);
            }
            if constexpr (sizeof(Char) == 2) {
                out += unit;
                continue;
            }
            std::string utf8;
            EXPECT_TRUE(WideToUtf8Strict(unit, utf8));
            out.append(utf8.begin(), utf8.end());
        }
    }
    out.push_back('"');
    return out;
}

TEST(JsonObject, WritesEveryStringAsTheRuleOneUnitAtATime) {
    // Runs of plain ASCII of every length between escapes, non-ASCII units, pairs and
    // lone surrogates, long enough to span several of the writer's pieces.
    const WChar kOthers[] = {u'"', u'\\', u'/', u'\n', 0x01, 0x7F, 0xE9, 0x4E2D, 0xD83D, 0xDE00};
    std::mt19937 random(20261207);
    for (int round = 0; round < 400; ++round) {
        WString text;
        const size_t length = random() % 700;
        while (text.size() < length) {
            text.append(random() % 20, static_cast<WChar>(u'a' + random() % 26));
            text.push_back(kOthers[random() % std::size(kOthers)]);
        }
        JsonObject value;
        value.GetNode()->SetWString(text);
        EXPECT_EQ(Written(value), EscapedOneByOne<std::string>(text)) << round;
        WString wide;
        value.AppendText(wide);
        EXPECT_EQ(wide, EscapedOneByOne<WString>(text)) << round;
    }
}

TEST(JsonObject, HandlesShareOneValue) {
    JsonObject first;
    JsonObject second = first;  // both empty: nothing is shared yet
    first.SetMemberString(u"a", u"1");
    EXPECT_EQ(second.FindNode(), nullptr);

    second = first;
    second.SetMemberText(u"b", u"2");
    EXPECT_EQ(Written(first), "{ \"a\":\"1\", \"b\":\"2\" }");

    // A null or empty value removes the member; so does a member turned null in place.
    first.SetMember(u"a", JsonObject());
    JsonObject member = first.GetMember(u"b");
    member.GetNode()->SetType(kJsonNull);
    EXPECT_EQ(Written(second), "{  }");
    EXPECT_EQ(first.GetNode()->GetMembers()->size(), 1u);

    // MakeObject keeps members; either container is dropped when the type changes.
    first.MakeObject();
    EXPECT_EQ(first.GetNode()->GetMembers()->size(), 1u);
    first.MakeArray();
    EXPECT_EQ(first.GetNode()->GetMembers(), nullptr);
    first.GetNode()->SetInteger(5);
    EXPECT_EQ(first.GetNode()->GetElements(), nullptr);
    EXPECT_EQ(Written(second), "5");
}

TEST(JsonObject, ReadsMemberTextOnlyFromStrings) {
    JsonObject object;
    ASSERT_TRUE(object.FromText(u"{\"s\":\"\u00e9\",\"n\":1,\"o\":{}}"));
    std::string narrow = "kept";
    WString wide = u"kept";
    EXPECT_TRUE(object.GetMemberString(u"s", narrow));
    EXPECT_TRUE(object.GetMemberWString(u"s", wide));
    EXPECT_EQ(narrow, "\xC3\xA9");
    EXPECT_EQ(wide, u"\u00e9");
    const auto absent = [&](WStringView name) {
        return !object.GetMemberString(name, narrow) && !object.GetMemberWString(name, wide);
    };
    EXPECT_TRUE(absent(u"n"));
    EXPECT_TRUE(absent(u"o"));
    EXPECT_TRUE(absent(u"missing"));
    EXPECT_EQ(narrow, "\xC3\xA9");
    EXPECT_FALSE(object.GetMember(u"n").GetMember(u"x").FindNode());
}

TEST(JsonObject, TakesUtf8WithoutLosingWhatFollowsABrokenSequence) {
    const struct {
        std::string utf8;
        WString wide;
        std::string readBack;
    } kCases[] = {
        {"a\xC3\xA9", u"a\u00e9", "a\xC3\xA9"},
        {"\xF0\x9F\x98\x80", u"\U0001F600", "\xF0\x9F\x98\x80"},
        // The system's own encoder writes a pair as two three-byte sequences.
        {"\xED\xA0\xBD\xED\xB8\x80", u"\U0001F600", "\xF0\x9F\x98\x80"},
        // A lone encoded surrogate is no character.
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"a\x80"
         "b",
         u"a\uFFFDb",
         "a\xEF\xBF\xBD"
         "b"},
        {"\xE2\x82x", u"\uFFFDx", "\xEF\xBF\xBDx"},
        {"\xC0\xAF", u"\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF4\x90\x80", u"\uFFFD\uFFFD\uFFFD", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"z\xF0\x9F", u"z\uFFFD", "z\xEF\xBF\xBD"},
    };
    for (const auto& test : kCases) {
        JsonObject object;
        object.MakeObject()[u"s"].SetString(test.utf8);
        std::string readBack;
        EXPECT_TRUE(object.GetMemberString(u"s", readBack));
        EXPECT_EQ(object.GetMember(u"s").GetNode()->GetString(), test.wide) << test.utf8;
        EXPECT_EQ(readBack, test.readBack) << test.utf8;
    }
}

// A lone surrogate has no UTF-8 form: GetMemberString gives it as U+FFFD, so what it
// hands out is always real UTF-8, which SetString reads back as U+FFFD, and the text is
// stable from then on. Pairs keep their four bytes.
TEST(JsonObject, ALoneSurrogateLeavesAsTheReplacementCharacter) {
    const struct {
        WString wide;
        std::string utf8;
    } kCases[] = {
        {WString(1, 0xD800), "\xEF\xBF\xBD"},
        {u"x" + WString(1, 0xDFFF) + u"y", "x\xEF\xBF\xBDy"},
        {WString{0xDBFF, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
        {WString{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
    };
    for (const auto& test : kCases) {
        JsonObject object;
        object.SetMemberString(u"s", test.wide);
        std::string narrow;
        ASSERT_TRUE(object.GetMemberString(u"s", narrow));
        EXPECT_EQ(narrow, test.utf8);
        WString strict;
        EXPECT_TRUE(Utf8ToWideStrict(narrow, strict)) << "not real UTF-8: " << narrow;

        JsonObject back;
        back.SetString(narrow);
        WString expected = test.wide;
        for (size_t i = 0; i < expected.size(); ++i) {
            const bool paired = i + 1 < expected.size() && expected[i] >= 0xD800 &&
                                expected[i] <= 0xDBFF && expected[i + 1] >= 0xDC00 &&
                                expected[i + 1] <= 0xDFFF;
            if (paired) {
                ++i;
            } else if (expected[i] >= 0xD800 && expected[i] <= 0xDFFF) {
                expected[i] = 0xFFFD;
            }
        }
        EXPECT_EQ(back.GetNode()->GetString(), expected) << test.utf8;
        JsonObject again;
        again.SetMember(u"s", back);
        std::string twice;
        ASSERT_TRUE(again.GetMemberString(u"s", twice));
        EXPECT_EQ(twice, narrow);
    }
}

TEST(JsonObject, WrittenTextParsesBackToItself) {
    JsonObject value;
    ASSERT_TRUE(value.FromText(
        u" {\"list\":[1,-2.5e-7,TRUE,null,\"\\u0000\\ud800\\t\",{\"\":[[]]}],\"\u4e2d\":{}, "
        u"\"z\":\"\U0001F600/\"}"));
    WString first;
    value.AppendText(first);
    JsonObject again;
    ASSERT_TRUE(again.FromText(first.c_str()));
    WString second;
    again.AppendText(second);
    EXPECT_EQ(first, second);

    std::string utf8;
    again.ToText(utf8);
    WString decoded;
    ASSERT_TRUE(Utf8ToWideStrict(utf8, decoded));
    EXPECT_EQ(decoded, first);
}

// Every size a block can be asked for gets a block that holds it (the address sanitizer
// sees a write past a block whose kept size is too small), and a long array keeps its
// elements while its element block moves through every kept size and beyond.
TEST(JsonObject, BlocksOfEverySizeHoldWhatIsAskedFor) {
    const size_t kSizes[] = {1,    8,    9,    120,   128,   129,   256,   257,  1000,
                             1024, 1025, 4097, 32768, 65535, 65536, 65537, 99999};
    const RefPtr<JsonArena> arena(JsonArena::ForTree(1024));
    for (const size_t bytes : kSizes) {
        auto* block = static_cast<unsigned char*>(arena->Allocate(bytes));
        std::memset(block, 0xA5, bytes);
        EXPECT_EQ(block[bytes - 1], 0xA5) << bytes;
        arena->Free(block, bytes);
    }
    arena->Seal();

    JsonObject list;
    JsonArray& elements = list.MakeArray();
    constexpr int kCount = 20000;  // beyond the largest kept block of handles
    for (int i = 0; i < kCount; ++i) {
        elements.emplace_back().GetNode()->SetInteger(i);
    }
    int wrong = 0;
    for (int i = 0; i < kCount; ++i) {
        wrong += elements[static_cast<size_t>(i)].FindNode()->GetInteger() != i ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0);
}

// A value keeps the memory of the tree it came from for as long as it lives, wherever
// it goes: taken out of a dropped tree, put into another one, its container moved or
// swapped into a value of another tree. The sanitizer builds see any node, text or
// block used after its memory went.
TEST(JsonObject, ValuesOutliveTheTreeTheyCameFrom) {
    const auto parsed = [](const char* text) {
        JsonObject value;
        EXPECT_TRUE(value.FromUtf8Text(text)) << text;
        EXPECT_NE(ArenaOfValues(value), nullptr);
        return value;
    };
    JsonObject kept;
    {
        JsonObject source = parsed(
            "{\"keep\":{\"list\":[1,\"a text longer than the inline form\"],"
            "\"name longer than the inline form\":true},\"drop\":\"x\"}");
        kept = source.GetMember(u"keep");
    }
    EXPECT_EQ(Written(kept),
              "{ \"list\":[ 1, \"a text longer than the inline form\" ], "
              "\"name longer than the inline form\":true }");

    // Put into another tree, the value is still shared: a change through one handle
    // shows through the other tree.
    JsonObject target = parsed("{\"a\":1}");
    target.SetMember(u"moved", kept);
    kept.SetMemberString(u"added", u"through the first handle, longer than inline");
    kept = JsonObject();
    EXPECT_EQ(Written(target),
              "{ \"a\":1, \"moved\":{ \"added\":\"through the first handle, longer than "
              "inline\", \"list\":[ 1, \"a text longer than the inline form\" ], "
              "\"name longer than the inline form\":true } }");

    // Containers moved or swapped between trees take their memory along.
    JsonObject other = parsed("{\"b\":[\"from the other tree, longer than inline\",2]}");
    JsonArray elements;
    {
        JsonObject source = parsed("[\"elements of a dropped tree, longer than inline\",3]");
        elements = std::move(*source.GetNode()->GetElements());
    }
    std::swap(*target.GetNode()->GetMembers(), *other.GetNode()->GetMembers());
    target.GetNode()->GetMembers()->at(u"b").MakeArray().swap(elements);
    other = JsonObject();
    elements.emplace_back().GetNode()->SetWString(u"grown after its tree went");
    EXPECT_EQ(Written(target),
              "{ \"b\":[ \"elements of a dropped tree, longer than inline\", 3 ] }");
    WString text;
    for (const JsonObject& element : elements) {
        element.AppendText(text);
    }
    EXPECT_EQ(text, u"\"from the other tree, longer than inline\"2\"grown after its tree went\"");
}

// A tree parsed from a large text keeps to what its parse took: what it takes in later
// lives on the heap and goes when it is replaced, and a parse into the value starts a
// tree afresh instead of keeping the old one's memory.
TEST(JsonObject, ATreeEditedAgainAndAgainKeepsToWhatItsParseTook) {
    JsonObject tree;
    const std::string text =
        "{\"list\":[1,2,{\"x\":\"a text longer than the inline form\"}],"
        "\"name\":\"value\"}";
    ASSERT_TRUE(tree.FromUtf8Text(text));
    const JsonArena* arena = ArenaOfValues(tree);
    ASSERT_NE(arena, nullptr);
    EXPECT_EQ(tree.GetMember(u"name").GetNode()->GetArena(), arena);
    EXPECT_EQ(tree.GetNode()->GetArena(), nullptr) << "the value parsed into lives on the heap";
    const size_t used = arena->UsedBytes();
    for (int round = 0; round < 200; ++round) {
        tree.SetMemberString(u"text", WString(static_cast<size_t>(100 + round % 7), u'x'));
        tree.GetMember(u"list").MakeArray().emplace_back().GetNode()->SetInteger(round);
        tree.GetMember(u"list").MakeArray().erase(tree.GetMember(u"list").MakeArray().begin());
        ASSERT_TRUE(tree.GetMember(u"list").FromUtf8Text("[\"parsed into a member\",[1,2,3]]"));
    }
    EXPECT_EQ(arena->UsedBytes(), used);
    EXPECT_EQ(tree.GetMember(u"text").GetNode()->GetArena(), nullptr);
    EXPECT_EQ(Written(tree),
              "{ \"list\":[ \"parsed into a member\", [ 1, 2, 3 ] ], \"name\":\"value\", "
              "\"text\":\"" +
                  std::string(100 + 199 % 7, 'x') + "\" }");

    // Parsed again, the value holds a tree of its own: nothing of the old arena is in it.
    const JsonObject oldName = tree.GetMember(u"name");
    ASSERT_TRUE(tree.FromUtf8Text("{\"small\":true}"));
    EXPECT_NE(ArenaOfValues(tree), oldName.FindNode()->GetArena());
    EXPECT_EQ(Written(tree), "{ \"small\":true }");
    ASSERT_TRUE(tree.FromUtf8Text(text));
    EXPECT_NE(tree.GetMember(u"name").GetNode()->GetArena(), nullptr);

    // A handle shared with another sees the parse, as the node is parsed into in place.
    JsonObject shared = tree;
    ASSERT_TRUE(tree.FromUtf8Text("[1]"));
    EXPECT_EQ(Written(shared), "[ 1 ]");

    // The text parsed may lie in the tree it replaces: here a member's name.
    JsonObject named;
    ASSERT_TRUE(named.FromUtf8Text("{\"[\\\"in a name\\\"]\":1}"));
    ASSERT_TRUE(named.FromText(named.GetNode()->GetMembers()->begin()->first.c_str()));
    EXPECT_EQ(Written(named), "[ \"in a name\" ]");
}

// The text padded with white space to `bytes`: the same tree from texts of every length.
std::string Padded(std::string text, size_t bytes) {
    text.resize(std::max(text.size(), bytes), ' ');
    return text;
}

// What a parse does to the value parsed into does not depend on the length of the text
// the value was parsed from before, nor on where its tree lived: its node stays, and so
// does a container of the kind the new text gives, holding the new content.
TEST(JsonObject, AParseKeepsTheValuesNodeAndContainerWhateverTheTextsBefore) {
    for (const size_t bytes : {size_t{0}, size_t{65535}, size_t{65536}, size_t{70000}}) {
        JsonObject value;
        ASSERT_TRUE(value.FromUtf8Text(Padded("{\"a\":[1,2],\"b\":\"x\"}", bytes))) << bytes;
        JsonValue* node = value.GetNode();
        JsonVariablesMap& members = value.MakeObject();
        ASSERT_TRUE(value.FromUtf8Text("{\"c\":1}")) << bytes;
        EXPECT_EQ(value.GetNode(), node) << bytes;
        ASSERT_EQ(members.size(), 1u) << bytes;
        EXPECT_EQ(WStringView(members.begin()->first), u"c") << bytes;
        EXPECT_EQ(node->GetMembers(), &members) << bytes;

        ASSERT_TRUE(value.FromUtf8Text(Padded("[[1],\"y\"]", bytes))) << bytes;
        JsonArray& elements = value.MakeArray();
        ASSERT_TRUE(value.FromText(u"[true]")) << bytes;
        EXPECT_EQ(value.GetNode(), node) << bytes;
        ASSERT_EQ(elements.size(), 1u) << bytes;
        EXPECT_TRUE(elements[0].FindNode()->GetBool()) << bytes;

        // Another kind: the node stays and takes it.
        ASSERT_TRUE(value.FromUtf8Text(Padded("\"text\"", bytes))) << bytes;
        EXPECT_EQ(value.GetNode(), node) << bytes;
        EXPECT_EQ(node->GetString(), u"text") << bytes;
    }
}

// A failed parse leaves the value as the text before it left it, whatever that text's
// length: untouched when the text fails before its first value, otherwise what was built.
TEST(JsonObject, AFailedParseLeavesTheSameValueWhateverTheTextBefore) {
    const struct {
        const char* text;
        const char* left;
    } kCases[] = {
        {"", "{ \"keep\":\"me\" }"},
        {"   ", "{ \"keep\":\"me\" }"},
        {"xyz", "{ \"keep\":\"me\" }"},
        {"1e999", "{ \"keep\":\"me\" }"},
        {"}", "{ \"keep\":\"me\" }"},
        {"[1,2,x]", "[ 1, 2, null ]"},
        {"{\"a\":1,\"b\":[2,", "{ \"a\":1 }"},
        {"\"cut", "\"cut\""},
        {"7 8", "7"},
    };
    for (const auto& failure : kCases) {
        for (const size_t bytes : {size_t{0}, size_t{65535}, size_t{65536}, size_t{1} << 20}) {
            JsonObject value;
            ASSERT_TRUE(value.FromUtf8Text(Padded("{\"keep\":\"me\"}", bytes)));
            EXPECT_FALSE(value.FromUtf8Text(failure.text)) << failure.text;
            EXPECT_EQ(Written(value), failure.left) << failure.text << " after " << bytes;
            JsonObject shared;
            ASSERT_TRUE(shared.FromUtf8Text(Padded("{\"keep\":\"me\"}", bytes)));
            const JsonObject other = shared;
            EXPECT_FALSE(shared.FromText(
                WString(failure.text, failure.text + std::strlen(failure.text)).c_str()));
            EXPECT_EQ(Written(other), failure.left) << failure.text << " after " << bytes;
        }
    }
}

// The text parsed may lie in the value's own tree, at any depth and whatever its size:
// the old content lives until the parse is done (the address sanitizer sees any read of
// it after it went).
TEST(JsonObject, TheTextParsedMayLieInTheValuesOwnTree) {
    for (const size_t bytes : {size_t{0}, size_t{70000}}) {
        for (const bool shared : {false, true}) {
            JsonObject value;
            ASSERT_TRUE(value.FromUtf8Text(
                Padded("{\"[\\\"in a name, longer than inline\\\", {\\\"x\\\":1}]\":1,"
                       "\"b\":{\"\\\"deeper name, longer than inline\\\"\":2},"
                       "\"42\":3,\"{}\":4}",
                       bytes)));
            const JsonObject other = shared ? value : JsonObject();
            const auto name = value.GetNode()->GetMembers()->lower_bound(WStringView(u"["));
            ASSERT_TRUE(value.FromText(name->first.c_str()));
            EXPECT_EQ(Written(value), "[ \"in a name, longer than inline\", { \"x\":1 } ]");

            ASSERT_TRUE(value.FromUtf8Text(
                Padded("{\"b\":{\"\\\"deeper name, longer than inline\\\"\":2}}", bytes)));
            const WChar* deeper =
                value.GetMember(u"b").GetNode()->GetMembers()->begin()->first.c_str();
            ASSERT_TRUE(value.FromText(deeper));
            EXPECT_EQ(Written(value), "\"deeper name, longer than inline\"");

            for (const char* text : {"{\"42\":1}", "{\"{}\":1}", "{\"[1, 2, \":1}"}) {
                ASSERT_TRUE(value.FromUtf8Text(Padded(text, bytes)));
                const bool parses = std::strcmp(text, "{\"[1, 2, \":1}") != 0;
                EXPECT_EQ(value.FromText(value.GetNode()->GetMembers()->begin()->first.c_str()),
                          parses)
                    << text;
            }
        }
    }
}

// Trees share nothing across threads: several threads parse, write and drop trees at
// once, and a tree made on one thread is dropped on another (the thread sanitizer sees
// any memory that the threads' trees would share).
TEST(JsonObject, TreesOfSeveralThreadsShareNothing) {
    const std::string text =
        "{\"list\":[1,2.5,\"a text longer than the inline form\"],"
        "\"object\":{\"name\":\"value\",\"flag\":true}}";
    std::string expected;
    JsonObject handedOver;
    ASSERT_TRUE(handedOver.FromUtf8Text(text));
    handedOver.ToText(expected);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            JsonObject kept = i == 0 ? std::move(handedOver) : JsonObject();
            for (int round = 0; round < 50; ++round) {
                JsonObject tree;
                std::string written;
                if (!tree.FromUtf8Text(text)) {
                    ++wrong;
                }
                tree.ToText(written);
                wrong += written != expected ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

// Values of one parsed tree that share no node may each be on a thread of their own:
// here the tree is dropped and the members of each pair go to two threads, which read,
// edit, write and drop them at once, the last of them taking the tree's memory along.
TEST(JsonObject, MembersOfOneTreeLiveOnThreadsOfTheirOwn) {
    constexpr int kPairs = 500;
    std::string text = "{";
    for (int i = 0; i < kPairs; ++i) {
        const std::string number = std::to_string(i);
        text += (i > 0 ? "," : "") + std::string("\"a") + number +
                "\":{\"list\":[1,2,\"a text longer than the inline form\"],\"n\":\"x\"},"
                "\"b" +
                number + "\":[{\"k\":true},\"another text longer than inline\"]";
    }
    text += "}";
    const auto work = [](std::vector<JsonObject> values, const std::string& expected,
                         std::atomic<int>& wrong) {
        for (JsonObject& value : values) {
            JsonObject copy = value;
            std::string written;
            copy.ToText(written);
            wrong += written != expected ? 1 : 0;
            for (int edit = 0; edit < 8; ++edit) {
                copy.MakeArray().emplace_back().GetNode()->SetWString(u"added on this thread");
                copy.MakeObject();
            }
            value = JsonObject();
        }
    };
    std::atomic<int> wrong{0};
    for (int round = 0; round < 40; ++round) {
        std::vector<JsonObject> first;
        std::vector<JsonObject> second;
        {
            JsonObject tree;
            ASSERT_TRUE(tree.FromUtf8Text(text));
            ASSERT_NE(ArenaOfValues(tree), nullptr);
            for (int i = 0; i < kPairs; ++i) {
                const std::string number = std::to_string(i);
                first.push_back(
                    tree.GetMember(WString(u"a") + WString(number.begin(), number.end())));
                second.push_back(
                    tree.GetMember(WString(u"b") + WString(number.begin(), number.end())));
            }
        }
        std::thread one(
            work, std::move(first),
            "{ \"list\":[ 1, 2, \"a text longer than the inline form\" ], \"n\":\"x\" }",
            std::ref(wrong));
        std::thread other(work, std::move(second),
                          "[ { \"k\":true }, \"another text longer than inline\" ]",
                          std::ref(wrong));
        one.join();
        other.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

// A tree nested a million deep through the value operations is written, and dropped
// both by a change of its type and by its last handle, without the machine stack
// growing with its depth.
TEST(JsonObject, ATreeNestedAMillionDeepIsWrittenAndDropped) {
    constexpr int kDepth = 1000000;
    JsonObject tree;
    tree.GetNode()->SetInteger(7);
    for (int i = 0; i < kDepth; ++i) {
        JsonObject outer;
        if (i % 2 == 0) {
            outer.MakeArray().push_back(std::move(tree));
        } else {
            outer.SetMember(u"a", tree);
        }
        tree = std::move(outer);
    }
    std::string expected;
    for (int i = kDepth - 1; i >= 0; --i) {
        expected += i % 2 == 0 ? "[ " : "{ \"a\":";
    }
    expected += "7";
    for (int i = 0; i < kDepth; ++i) {
        expected += i % 2 == 0 ? " ]" : " }";
    }
    EXPECT_TRUE(Written(tree) == expected) << "the written text differs";

    // The lower half is kept by a handle of its own while the upper half goes with the
    // root's type; then the lower half goes with its handle.
    JsonObject lower = tree;
    for (int level = 0; level < kDepth / 2; ++level) {
        lower = lower.FindNode()->GetMembers() != nullptr ? lower.GetMember(u"a")
                                                          : lower.FindNode()->GetElements()->at(0);
    }
    tree.GetNode()->SetInteger(1);
    EXPECT_EQ(Written(tree), "1");
    EXPECT_EQ(Written(lower).size(), expected.size() / 2 + 1);
    lower = JsonObject();
    EXPECT_EQ(Written(lower), "null");
}

}  // namespace
}  // namespace qav
