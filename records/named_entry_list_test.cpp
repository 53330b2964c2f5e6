#include "records/named_entry_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace qav {
namespace {

struct Named {
    bool operator==(const Named&) const = default;
    WString m_name;
    int32_t m_value = 0;
};

int32_t FirstByScan(const std::vector<Named>& entries, WStringView name) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].m_name == name) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

// Inserts and erases anywhere, with names that repeat, against a plain vector: the list
// keeps the same entries in the same order and finds the first of each name as a scan
// would.
TEST(NamedEntryList, FindsTheFirstOfEachNameThroughInsertsAndErases) {
    const WString names[] = {u"a", u"b", u"c", u"d", u"e", u""};
    NamedEntryList<Named> list = {{u"c", 1}, {u"a", 2}, {u"c", 3}};
    std::vector<Named> model = list.Entries();
    uint32_t random = 12345;
    const auto next = [&random](uint32_t bound) {
        random = random * 1103515245u + 12345u;
        return (random >> 8) % bound;
    };
    for (int step = 0; step < 3000; ++step) {
        if (model.empty() || next(3) != 0) {
            const size_t position = next(static_cast<uint32_t>(model.size() + 1));
            const WString& name = names[next(6)];
            list.Insert(position, name).m_value = step;
            model.insert(model.begin() + static_cast<std::ptrdiff_t>(position), Named{name, step});
        } else {
            const size_t position = next(static_cast<uint32_t>(model.size()));
            list.Erase(position);
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(position));
        }
        ASSERT_EQ(list, model) << "step " << step;
        for (const WString& name : names) {
            ASSERT_EQ(list.Find(name), FirstByScan(model, name)) << "step " << step;
        }
        ASSERT_EQ(list.Find(u"absent"), -1);
    }
}

}  // namespace
}  // namespace qav
