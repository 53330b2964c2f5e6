#include "core/ref_counted.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace qav {
namespace {

std::vector<std::string> gEvents;
using Events = std::vector<std::string>;
Events TakeEvents() {
    return std::exchange(gEvents, {});
}

class Counted : public RefCountedObject<RefCounted> {
  public:
    explicit Counted(std::string name) : m_name(std::move(name)) {}
    int32_t AddRef() override {
        gEvents.push_back("add " + m_name);
        return RefCountedObject::AddRef();
    }
    int32_t Release() override {
        gEvents.push_back("release " + m_name);
        return RefCountedObject::Release();
    }
    RefPtr<Counted> child;

  protected:
    ~Counted() override { gEvents.push_back("delete " + m_name); }

  private:
    std::string m_name;
};

TEST(RefPtr, AddsTheNewReferenceBeforeReleasingTheOld) {
    gEvents.clear();
    RefPtr<Counted> holder(new Counted("owner"));
    holder->child = new Counted("child");  // kept alive only by the owner
    Counted* child = holder->child.get();
    TakeEvents();
    holder = child;
    EXPECT_EQ(TakeEvents(), (Events{"add child", "release owner", "delete owner", "release child"}))
        << "the child outlives its owner";

    RefPtr<Counted>& same = holder;
    holder.Assign(child);  // the held pointer: neither added nor released
    holder = same;
    holder = std::move(same);  // self-move keeps the object
    EXPECT_EQ(holder.get(), child);
    EXPECT_TRUE(TakeEvents().empty());

    RefPtr<Counted> moved(std::move(holder));
    EXPECT_EQ(holder.get(), nullptr);
    EXPECT_TRUE(TakeEvents().empty()) << "a move takes the reference along";
    moved.Reset();
    EXPECT_EQ(TakeEvents(), (Events{"release child", "delete child"}));
}

}  // namespace
}  // namespace qav
