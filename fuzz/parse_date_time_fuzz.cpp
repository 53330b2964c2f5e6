// Feeds arbitrary text to the date parser, read two ways: byte pairs as UTF-16 units and
// single bytes widened. Whatever parses as an existing date must survive the trips
// through seconds and through its own text unchanged.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/date_time.h"
#include "fuzz/fuzz_support.h"

namespace {

int32_t DaysInMonth(const qav::DateTime& date) {
    static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return date.month == 2 && qav::IsLeapYear(date.year) ? 29 : kDays[date.month - 1];
}

using qav::fuzz::Check;

void ParseAndCheck(qav::WStringView text) {
    qav::DateTime date;
    if (!qav::ParseDateTime(text, date)) {
        return;
    }
    // The parser reads nothing but four- and two-digit numbers.
    Check(date.year >= 0 && date.year <= 9999 && date.month >= 0 && date.month <= 99);

    // Even dates out of range must convert without faulting.
    qav::DateTime converted;
    qav::SecondsToDateTime(qav::DateTimeToSeconds(date), converted);

    char digits[20];
    Check(qav::FormatDateTimeDigits(date, digits) == 19 && digits[19] == '\0');
    qav::WString wide;
    qav::DateTimeToWString(date, wide);
    Check(wide.size() == 19);
    for (size_t i = 0; i < 19; ++i) {
        Check(wide[i] == static_cast<unsigned char>(digits[i]) && wide[i] == text[i]);
    }
    qav::DateTime reparsed;
    Check(qav::ParseDateTime(wide, reparsed) && reparsed == date);

    if (qav::IsValidDateTime(date) && date.day <= DaysInMonth(date)) {
        Check(converted == date);
    }
}

}  // namespace

// Texts live in arrays of exactly their length, so that a read past the end is caught.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t pairCount = size / 2;
    std::unique_ptr<qav::WChar[]> pairs(new qav::WChar[pairCount]);
    for (size_t i = 0; i < pairCount; ++i) {
        pairs[i] = static_cast<qav::WChar>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    ParseAndCheck(qav::WStringView(pairs.get(), pairCount));

    std::unique_ptr<qav::WChar[]> widened(new qav::WChar[size]);
    for (size_t i = 0; i < size; ++i) {
        widened[i] = data[i];
    }
    ParseAndCheck(qav::WStringView(widened.get(), size));
    return 0;
}
