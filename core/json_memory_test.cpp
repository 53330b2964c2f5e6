// What JSON trees keep resident, shape by shape: many small trees, mid-size trees, one
// large tree, a tree edited for a long time, threads that parse and go idle. Each row
// runs in a child process of its own (this program, filtered to that row), so that what
// other tests left in the heap does not count, and is held to its own bar.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <new>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/json_object.h"
#include "core/memory_test_support.h"
#include "core/test_support.h"

namespace qav {
namespace {

constexpr const char* kChildVariable = "QAV_TEST_JSON_MEMORY_CHILD";

using test_support::kMiB;
using test_support::Mebibytes;

size_t ResidentBytes() {
    return test_support::ReadMemoryFigures().resident;
}

size_t AddressSpaceBytes() {
    return test_support::ReadMemoryFigures().addressSpace;
}

// About `bytes` of records such as messages carry: names, strings long and short, with
// escapes and non-ASCII text, numbers, nested arrays and objects.
std::string Document(size_t bytes) {
    std::string text = "{\"version\":3,\"records\":[";
    for (uint32_t id = 1; text.size() < bytes; ++id) {
        const std::string number = std::to_string(id);
        text += (id > 1 ? ",\n" : "");
        text += "{\"id\":" + number + ",\"name\":\"record " + number +
                " caf\xC3\xA9 \\\"quoted\\\" \xE4\xB8\xAD\xE6\x96\x87\",\"enabled\":true,"
                "\"scale\":" +
                std::to_string(id % 997) +
                ".25,\"tags\":[\"alpha\",\"a tag longer than a short string\",null],"
                "\"position\":{\"x\":" +
                std::to_string(id % 4000) + ",\"y\":-" + std::to_string(id % 3000) +
                ",\"history\":[[1,2],[3," + number + "],{\"at\":1.5e3}]},\"note\":\"line\\n" +
                std::string(id % 40, 'n') + "\"}";
    }
    text += "]}";
    return text;
}

// About `bytes` of small values close together, as lists of readings or ids carry: a
// value for every few bytes of text.
std::string DenseDocument(size_t bytes) {
    std::string text = "[";
    for (uint32_t id = 1; text.size() < bytes; ++id) {
        const std::string number = std::to_string(id % 100);
        text += (id > 1 ? "," : "");
        text += "{\"id\":" + number + ",\"on\":true,\"xy\":[" + number + ",-1,0.5]}";
    }
    text += "]";
    return text;
}

constexpr const char* kSmallMessage = "{\"type\":\"ack\",\"id\":12345}";

std::string Padded(std::string text, size_t bytes) {
    text.resize(std::max(text.size(), bytes), ' ');
    return text;
}

// An object whose one member is a string of about `bytes`.
std::string LongString(size_t bytes) {
    std::string text = "{\"text\":\"";
    for (uint32_t i = 0; text.size() + 2 < bytes; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    return text + "\"}";
}

// What a shape keeps: the resident size when it starts, its inputs made, and when it
// is measured, with everything it holds still alive.
struct Probe {
    size_t before = 0;
    size_t measured = 0;
    bool failed = false;

    void Start() { before = ResidentBytes(); }
    void Measure() { measured = ResidentBytes(); }
};

struct Shape {
    const char* name;
    size_t barBytes;  // at most this much more than at the start
    void (*build)(Probe& probe);
};

void PrintTo(const Shape& shape, std::ostream* out) {
    *out << shape.name;
}

void LiveTrees(Probe& probe, const std::string& text, size_t count) {
    std::vector<JsonObject> trees(count);
    probe.Start();
    for (JsonObject& tree : trees) {
        probe.failed |= !tree.FromUtf8Text(text);
    }
    probe.Measure();
}

const Shape kShapes[] = {
    {"ManySmallTrees", 48 * kMiB, [](Probe& probe) { LiveTrees(probe, kSmallMessage, 100000); }},
    {"MidSizeTreesOf10KB", 48 * kMiB,
     [](Probe& probe) { LiveTrees(probe, DenseDocument(10000), 200); }},
    {"MidSizeTreesOf40KB", 180 * kMiB,
     [](Probe& probe) { LiveTrees(probe, DenseDocument(40000), 200); }},
    {"OneLargeTreeDropped", 40 * kMiB,
     [](Probe& probe) {
         const std::string text = Document(16 * kMiB);
         probe.Start();
         {
             JsonObject tree;
             probe.failed |= !tree.FromUtf8Text(text);
             probe.failed |= ResidentBytes() < probe.before + 16 * kMiB;  // smaller than thought
         }
         probe.Measure();
     }},
    // A parse that replaces a value's content does not keep what the old content took.
    {"OneLargeTreeThenSmallOnesInTheSameValue", 40 * kMiB,
     [](Probe& probe) {
         const std::string text = Document(16 * kMiB);
         probe.Start();
         JsonObject value;
         probe.failed |= !value.FromUtf8Text(text);
         for (int i = 0; i < 1000; ++i) {
             probe.failed |= !value.FromUtf8Text(kSmallMessage);
         }
         probe.Measure();
     }},
    // A parsed tree whose member texts all grow, a unit at a time, from 1 to 512 units.
    {"ATreeEditedWithDriftingSizes", 12 * kMiB,
     [](Probe& probe) {
         constexpr int kMembers = 1000;
         std::string text = "{";
         std::vector<WString> names;
         for (int i = 0; i < kMembers; ++i) {
             const std::string name = "m" + std::to_string(i);
             text += (i > 0 ? ",\"" : "\"") + name + "\":\"x\"";
             names.emplace_back(name.begin(), name.end());
         }
         text += "}";
         WString member;
         member.reserve(512);
         probe.Start();
         JsonObject tree;
         probe.failed |= !tree.FromUtf8Text(text);
         while (member.size() < 512) {
             member.push_back(u'x');
             for (const WString& name : names) {
                 tree.SetMemberString(name, member);
             }
         }
         WString last;
         probe.failed |= !tree.GetMemberWString(names.back(), last) || last != member;
         probe.Measure();
     }},
    // A second handle to the value does not keep the trees that later parses replace.
    {"OneLargeTreeThenSmallOnesWithASecondHandle", 10 * kMiB,
     [](Probe& probe) {
         const std::string text = Document(16 * kMiB);
         probe.Start();
         JsonObject value;
         const JsonObject second = value;
         probe.failed |= !value.FromUtf8Text(text);
         JsonObject kept = value;
         for (int i = 0; i < 1000; ++i) {
             probe.failed |= !kept.FromUtf8Text(kSmallMessage);
         }
         probe.Measure();
     }},
    // A small tree costs what it holds whatever white space pads its text.
    {"PaddedMessagesOf65535Bytes", 16 * kMiB,
     [](Probe& probe) { LiveTrees(probe, Padded(kSmallMessage, 65535), 1000); }},
    {"PaddedMessagesOf65536Bytes", 16 * kMiB,
     [](Probe& probe) { LiveTrees(probe, Padded(kSmallMessage, 65536), 1000); }},
    {"LongStringsOf70KB", 48 * kMiB,
     [](Probe& probe) { LiveTrees(probe, LongString(70000), 200); }},
    {"DenseArraysOf65536Bytes", 260 * kMiB,
     [](Probe& probe) { LiveTrees(probe, DenseDocument(65536), 200); }},
};

// 32 threads each parse a large tree and drop it, then wait: the resident size while they
// wait, and once they ended, stays low whatever their heaps kept. The bar is on the
// whole process.
TEST(JsonMemory, IdleThreadsKeepNothingOfTheTreesTheyParsed) {
    if (!test_support::MeasuresInOwnProcess(kChildVariable)) {
        return;
    }
    constexpr int kThreads = 32;
    const std::string text = Document(4 * kMiB);
    std::atomic<int> failed{0};
    std::latch parsed(kThreads);
    std::latch release(1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            {
                JsonObject tree;
                if (!tree.FromUtf8Text(text)) {
                    failed.fetch_add(1);
                }
            }
            parsed.count_down();
            release.wait();
        });
    }
    parsed.wait();
    const size_t idle = ResidentBytes();
    release.count_down();
    for (std::thread& thread : threads) {
        thread.join();
    }
    const size_t ended = ResidentBytes();
    std::printf("resident with %d idle threads %.1f MiB, after they ended %.1f MiB\n", kThreads,
                Mebibytes(idle), Mebibytes(ended));
    EXPECT_EQ(failed.load(), 0);
    EXPECT_LE(idle, 64 * kMiB);
    EXPECT_LE(ended, 64 * kMiB);
}

class JsonMemoryShape : public ::testing::TestWithParam<Shape> {};

TEST_P(JsonMemoryShape, StaysWithinItsBar) {
    if (!test_support::MeasuresInOwnProcess(kChildVariable)) {
        return;
    }
    const Shape& shape = GetParam();
    Probe probe;
    shape.build(probe);
    const size_t added = probe.measured > probe.before ? probe.measured - probe.before : 0;
    std::printf("%s: +%.1f MiB resident (bar %.0f MiB)\n", shape.name, Mebibytes(added),
                Mebibytes(shape.barBytes));
    EXPECT_FALSE(probe.failed) << "a parse failed or a tree held less than it should";
    EXPECT_LE(added, shape.barBytes);
}

INSTANTIATE_TEST_SUITE_P(Shapes, JsonMemoryShape, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                             return std::string(info.param.name);
                         });

// The same tree built through the value operations, which put every node on the heap
// one by one: what a tree costs when no parse measures it.
JsonObject HeapCopy(const JsonObject& value) {
    JsonObject copy;
    const JsonValue* node = value.FindNode();
    if (node == nullptr) {
        return copy;
    }
    if (const JsonVariablesMap* members = node->GetMembers()) {
        JsonVariablesMap& into = copy.MakeObject();
        for (const auto& [name, member] : *members) {
            into.Set(WStringView(name), HeapCopy(member));
        }
    } else if (const JsonArray* elements = node->GetElements()) {
        JsonArray& into = copy.MakeArray();
        for (const JsonObject& element : *elements) {
            into.push_back(HeapCopy(element));
        }
    } else if (node->GetType() == kJsonString) {
        copy.GetNode()->SetWString(node->GetString());
    } else {
        JsonValue* to = copy.GetNode();
        to->SetNumber(node->GetNumber());
        if (node->GetType() == kJsonInteger) {
            to->SetInteger(node->GetInteger());
        } else if (node->GetType() == kJsonBool) {
            to->SetBool(node->GetBool());
        } else if (node->GetType() == kJsonNull) {
            to->SetType(kJsonNull);
        }
    }
    return copy;
}

struct SweepRow {
    const char* shape;
    size_t bytes;
};

void PrintTo(const SweepRow& row, std::ostream* out) {
    *out << row.shape << row.bytes;
}

std::string SweepText(const SweepRow& row) {
    const std::string shape = row.shape;
    if (shape == "Padded") {
        return Padded(kSmallMessage, row.bytes);
    }
    return shape == "String" ? LongString(row.bytes) : DenseDocument(row.bytes);
}

// Sizes on both sides of where the heap's share of a tree ends and of the length from
// which an older parser took a region by the text's length, and a sweep between.
const SweepRow kSweep[] = {
    {"Padded", 16 << 10},  {"Padded", 65535},     {"Padded", 65536},   {"Padded", 1 << 20},
    {"Padded", 3 << 20},   {"String", 16 << 10},  {"String", 65535},   {"String", 65536},
    {"String", 300 << 10}, {"String", 600 << 10}, {"String", 3 << 20}, {"Dense", 16 << 10},
    {"Dense", 40 << 10},   {"Dense", 65535},      {"Dense", 65536},    {"Dense", 100 << 10},
    {"Dense", 300 << 10},  {"Dense", 1 << 20},    {"Dense", 3 << 20},
};

class JsonMemorySweep : public ::testing::TestWithParam<SweepRow> {};

// Live parsed trees take at most 1.25 times what the same trees take built on the heap
// one node at a time, plus 4 MiB, at every text size.
TEST_P(JsonMemorySweep, ParsedTreesCostWhatTheyHold) {
    if (!test_support::MeasuresInOwnProcess(kChildVariable)) {
        return;
    }
    const SweepRow& row = GetParam();
    const std::string text = SweepText(row);
    const size_t count = std::clamp<size_t>((8 * kMiB) / row.bytes, 1, 400);
    std::vector<JsonObject> parsed(count);
    const size_t start = ResidentBytes();
    for (JsonObject& tree : parsed) {
        ASSERT_TRUE(tree.FromUtf8Text(text));
    }
    const size_t afterParse = ResidentBytes();
    std::vector<JsonObject> copies;
    copies.reserve(count);
    const size_t beforeCopies = ResidentBytes();
    for (const JsonObject& tree : parsed) {
        copies.push_back(HeapCopy(tree));
    }
    const size_t afterCopies = ResidentBytes();
    const size_t parsedBytes = afterParse - std::min(afterParse, start);
    const size_t heapBytes = afterCopies - std::min(afterCopies, beforeCopies);
    std::printf("%s %zu bytes, %zu trees: parsed +%.1f MiB, on the heap +%.1f MiB\n", row.shape,
                row.bytes, count, Mebibytes(parsedBytes), Mebibytes(heapBytes));
    EXPECT_LE(parsedBytes, heapBytes + heapBytes / 4 + 4 * kMiB);
}

INSTANTIATE_TEST_SUITE_P(Sizes, JsonMemorySweep, ::testing::ValuesIn(kSweep),
                         [](const ::testing::TestParamInfo<SweepRow>& info) {
                             return std::string(info.param.shape) +
                                    std::to_string(info.param.bytes);
                         });

// Live trees hold about as much address space as they hold memory: what a parse did not
// use went back.
TEST(JsonMemory, LiveTreesHoldAddressSpaceAsTheyHoldMemory) {
    if (!test_support::MeasuresInOwnProcess(kChildVariable)) {
        return;
    }
    const std::string dense = DenseDocument(4 * kMiB);
    const std::string document = Document(4 * kMiB);
    std::vector<JsonObject> trees(8);
    const size_t resident = ResidentBytes();
    const size_t space = AddressSpaceBytes();
    for (size_t i = 0; i < trees.size(); ++i) {
        ASSERT_TRUE(trees[i].FromUtf8Text(i % 2 == 0 ? dense : document));
    }
    const size_t addedResident = ResidentBytes() - resident;
    const size_t addedSpace = AddressSpaceBytes() - space;
    std::printf("8 trees: +%.1f MiB resident, +%.1f MiB address space\n", Mebibytes(addedResident),
                Mebibytes(addedSpace));
    EXPECT_LE(addedSpace, 2 * addedResident + 64 * kMiB);
}

// An allocation that fails inside a large parse leaves nothing behind once the value
// goes: the parse's arena was sealed on the way out, so its last holder frees it.
TEST(JsonMemory, AFailedAllocationInAParseLeavesNothingOpen) {
    if (!test_support::MeasuresInOwnProcess(kChildVariable)) {
        return;
    }
    const std::string text = DenseDocument(16 * kMiB);
    const size_t before = AddressSpaceBytes();
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = before + 96 * kMiB;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limited), 0);
    bool threw = false;
    {
        JsonObject value;
        try {
            value.FromUtf8Text(text);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
    }
    ASSERT_EQ(setrlimit(RLIMIT_AS, &old), 0);
    const size_t after = AddressSpaceBytes();
    std::printf("address space %.1f MiB before, %.1f MiB after\n", Mebibytes(before),
                Mebibytes(after));
    EXPECT_TRUE(threw) << "the parse found room after all";
    EXPECT_LE(after, before + 16 * kMiB);
}

}  // namespace
}  // namespace qav
