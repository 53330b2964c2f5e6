#include "core/trace_frame.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/test_support.h"
#include "core/format.h"
#include "core/wide_text.h"

namespace qav {
namespace {

using test_support::GuardedPages;

std::string Report(const TraceFrame* frame, size_t size = 200) {
    char buffer[4096];
    const int length = WriteStateReport(frame, buffer, size);
    return std::string(buffer, static_cast<size_t>(length));
}

TraceFrame Frame(const char* tag, TraceFrame* previous = nullptr) {
    return TraceFrame{tag, nullptr, nullptr, previous, nullptr, nullptr};
}

std::string Hex16(const void* pointer) {
    return "0x" + FormatString("%p", pointer);
}

TEST(TraceFrame, ScopesFollowTheCallStackAndShowLiveValues) {
    std::string inner;
    std::string afterUnwind;
    {
        QAV_TRACE("OUT::Run");
        int32_t iCount = 0;
        QAV_TRACE_VAR("iCount", iCount, kTraceInt32);
        TraceFrame* outer = qavTraceScope.frame();
        try {
            QAV_TRACE("IN::Step");
            const char* szName = "job";
            QAV_TRACE_VAR("szName", szName, kTraceText);
            EXPECT_EQ(platform::GetAllocExVarsStorage(nullptr, nullptr), outer->m_slot)
                << "one slot per thread";
            iCount = 1234567;  // reports read the variable when they are written
            inner = Report(qavTraceScope.frame());
            throw std::runtime_error("unwind");
        } catch (const std::runtime_error&) {
        }
        afterUnwind = Report(*outer->m_slot);  // the inner frame must be gone
    }
    EXPECT_EQ(inner, "IN::Step szName=\"job\"\r\nOUT::Run iCount=1,234,567\r\n");
    EXPECT_EQ(afterUnwind, "OUT::Run iCount=1,234,567\r\n");
}

struct ValueCase {
    const char* label;
    int32_t type;
    uint64_t value;  // the variable's bytes, little end first
    std::string expected;
};

TEST(WriteStateReport, RendersEveryTypeCode) {
    GuardedPages pages;
    static const char kText[] = "abc";
    static const WChar kWide[] = u"h\u00E9\u20AC\U0001F600";
    const auto address = [](const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); };
    const ValueCase cases[] = {
        {"int32 negative", kTraceInt32, static_cast<uint32_t>(-1000), "-1,000"},
        {"int32 zero", kTraceInt32, 0, "0"},
        {"int32 minimum", kTraceInt32, static_cast<uint32_t>(INT32_MIN), "-2,147,483,648"},
        {"int16 minimum", kTraceInt16, static_cast<uint16_t>(INT16_MIN), "-32,768"},
        {"int64 minimum", kTraceInt64, static_cast<uint64_t>(INT64_MIN),
         "-9,223,372,036,854,775,808"},
        {"enum", kTraceEnum, 0xDEADBEEF, "0xDEADBEEF"},
        {"code above 11", 12, 0xFFFFFFFF, "0xFFFFFFFF"},
        {"negative code", -5, 7, "0x00000007"},
        {"byte", kTraceByte, 0xAB, "0xAB"},
        {"flags", kTraceFlags, 0x1F, "0x001F"},
        {"bool true", kTraceBool, 2, "True"},
        {"mask", kTraceMask, 0x80000001, "0b10000000000000000000000000000001"},
        {"pointer null", kTracePointer, 0, "NULL"},
        {"pointer good", kTracePointer, address(kText), Hex16(kText)},
        {"pointer bad", kTracePointer, address(pages.Unreadable()),
         "(BAD)" + Hex16(pages.Unreadable())},
        {"text", kTraceText, address(kText), "\"abc\""},
        {"text unreadable", kTraceText, address(pages.Unreadable()), "INVALID"},
        {"text running into a bad page", kTraceText, address(pages.AtPageEnd("tail")), "\"tail\""},
        {"wide text as UTF-8 unit by unit", kTraceWideText, address(kWide),
         "\"h\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD\xED\xB8\x80\""},
        {"wide text null", kTraceWideText, 0, "NULL"},
        {"wide text odd address", kTraceWideText, address(kWide) + 1, "NULL"},
        {"wide text unreadable", kTraceWideText, address(pages.Unreadable()), "INVALID"},
    };
    for (const ValueCase& c : cases) {
        uint64_t variable = c.value;
        TraceVariable record;
        TraceFrame frame = Frame("T::F");
        frame.AddVariable(record, "v", &variable, c.type);
        EXPECT_EQ(Report(&frame), "T::F v=" + c.expected + "\r\n") << c.label;
    }
}

TEST(WriteStateReport, SkipsOrStopsAtUnreadableParts) {
    GuardedPages pages;
    int32_t good = 5;
    TraceVariable records[4];
    TraceFrame outer = Frame("OUT::F");
    TraceFrame inner = Frame("IN::F", &outer);
    inner.AddVariable(records[0], pages.Unreadable(), &good, kTraceInt32);  // name unreadable
    inner.AddVariable(records[1], "bad", pages.Unreadable(), kTraceInt32);  // value unreadable
    inner.AddVariable(records[2], "good", &good, kTraceInt32);
    EXPECT_EQ(Report(&inner), "IN::F good=5\r\nOUT::F\r\n") << "unreadable variables are skipped";

    // A variable record that cannot be read ends that frame's list, not the report.
    records[2].m_next = reinterpret_cast<TraceVariable*>(pages.Unreadable());
    records[3] = TraceVariable{"never", &good, kTraceInt32, nullptr};
    EXPECT_EQ(Report(&inner), "IN::F good=5\r\nOUT::F\r\n");

    TraceFrame nullTag = Frame(nullptr, &inner);
    EXPECT_EQ(Report(&nullTag), "IN::F good=5\r\nOUT::F\r\n") << "a null tag is invisible";

    outer.m_previous = reinterpret_cast<TraceFrame*>(pages.Unreadable());
    EXPECT_EQ(Report(&outer), "OUT::F\r\n") << "an unreadable frame ends the report";
    outer.m_previous = reinterpret_cast<TraceFrame*>(reinterpret_cast<char*>(&inner) + 4);
    EXPECT_EQ(Report(&outer), "OUT::F\r\n") << "a misaligned frame ends the report";
    outer.m_previous = nullptr;

    TraceFrame badTag = Frame(pages.Unreadable(), &outer);
    EXPECT_EQ(Report(&badTag), "") << "an unreadable tag ends the report";
    TraceFrame cutTag = Frame(pages.AtPageEnd("CUT::F"), &outer);
    EXPECT_EQ(Report(&cutTag), "") << "a tag without a readable end ends the report";

    EXPECT_EQ(Report(reinterpret_cast<TraceFrame*>(pages.Unreadable())), "");
    EXPECT_EQ(Report(nullptr), "");

    TraceFrame loop = Frame(nullptr);
    loop.m_previous = &loop;
    EXPECT_EQ(Report(&loop), "") << "a loop of invisible frames must end";
}

TEST(WriteStateReport, KeepsWithinTheRoom) {
    // "T::F v=" leaves 193 characters of room after the name.
    const std::string longText(500, 'x');
    const char* szLong = longText.c_str();
    TraceVariable record;
    TraceFrame frame = Frame("T::F");
    frame.AddVariable(record, "v", &szLong, kTraceText);
    // Characters are copied while at least 15 characters of room remain: 192 - 14.
    EXPECT_EQ(Report(&frame), "T::F v=\"" + std::string(178, 'x') + "\"\r\n");

    // A room of exactly 40 after the name hides a mask; 41 shows it.
    uint32_t mask = 1;
    for (const auto& [tagLength, shown] : {std::pair{157, false}, std::pair{156, true}}) {
        const std::string tag(static_cast<size_t>(tagLength), 'M');
        TraceVariable maskRecord;
        TraceFrame maskFrame = Frame(tag.c_str());
        maskFrame.AddVariable(maskRecord, "m", &mask, kTraceMask);
        const std::string value = shown ? "0b" + std::string(31, '0') + "1" : "";
        EXPECT_EQ(Report(&maskFrame), tag + " m=" + value + "\r\n") << "tag of " << tagLength;
    }

    // Values too long for what is left write nothing, and the list goes on.
    const std::string tag(170, 'T');
    const std::u16string wide(20, u'w');
    const WChar* wszWide = wide.c_str();
    int64_t big = INT64_MIN;
    int8_t flag = 1;
    TraceVariable records[3];
    TraceFrame tight = Frame(tag.c_str());
    tight.AddVariable(records[0], "w", &wszWide, kTraceWideText);
    tight.AddVariable(records[1], "b", &big, kTraceInt64);
    tight.AddVariable(records[2], "f", &flag, kTraceBool);
    EXPECT_EQ(Report(&tight), tag + " w= b= f=True\r\n");
}

TEST(WriteStateReport, NeverPassesTwoHundredOrTheSizeGiven) {
    int32_t values[8] = {-2000000000, 1, 2, 3, 4, 5, 6, 7};
    TraceVariable records[8][8];
    TraceFrame frames[8];
    for (int i = 0; i < 8; ++i) {
        frames[i] = Frame("DEEP::Frame", i > 0 ? &frames[i - 1] : nullptr);
        for (int j = 0; j < 8; ++j) {
            frames[i].AddVariable(records[i][j], "iValue", &values[j], kTraceInt32);
        }
    }
    for (size_t size : {size_t{4096}, size_t{200}, size_t{57}, size_t{11}, size_t{3}, size_t{0}}) {
        char buffer[4096];
        std::memset(buffer, '#', sizeof buffer);
        const int length = WriteStateReport(&frames[7], buffer, size);
        const size_t limit = std::min<size_t>(size, 200);
        EXPECT_LE(static_cast<size_t>(length), limit) << "size " << size;
        EXPECT_EQ(buffer[limit], '#') << "written past the room, size " << size;
        if (size >= 200) {
            EXPECT_GT(length, 180) << "a deep chain should nearly fill the room";
        }
    }
}

}  // namespace
}  // namespace qav
