#include "connection/connection_context.h"

#include <gtest/gtest.h>

namespace qav {
namespace {

TEST(ConnectionContext, ParseHttpRangeAcceptsOnlyOneDecimalRange) {
    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    auto parse = [&](const char* range) {  // "parsed first count"; null: no request
        const HttpRequestHeaders request{"", "", "", range != nullptr ? range : "", ""};
        context->SetCurrentRequest(range != nullptr ? &request : nullptr);
        int64_t first = -7, count = -7;
        const bool parsed = context->ParseHttpRange(first, count);
        return std::to_string(parsed) + " " + std::to_string(first) + " " + std::to_string(count);
    };
    for (const auto& [range, result] : std::initializer_list<std::pair<const char*, const char*>>{
             {"bytes=100-", "1 100 0"},  // open end
             {"bytes=0-99", "1 0 100"},
             {"bytes=-499", "1 0 500"},  // "-" first: from byte 0
             {"bytes=200-100", "1 200 0"},
             {"bytes=1-9223372036854775807", "1 1 9223372036854775807"}}) {
        EXPECT_EQ(parse(range), result) << range;
    }
    // Refused: no request, too short, no "-", non-digits, several ranges, beyond 63 bits.
    for (const char* range :
         {static_cast<const char*>(nullptr), "bytes=5", "bytes=55", "items=0-99", "bytes=a-5",
          "bytes=5-9x", "bytes=+5-9", "bytes= 5-9", "bytes=--5", "bytes=0-10,20-30",
          "bytes=9223372036854775808-", "bytes=0-9223372036854775807"}) {
        EXPECT_EQ(parse(range), "0 0 0") << (range != nullptr ? range : "no request");
    }
}

}  // namespace
}  // namespace qav
