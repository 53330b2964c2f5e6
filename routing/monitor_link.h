// The monitor on whose behalf an automatic connection runs: each context it opens carries
// the monitor's id and attached object, and counts as one more of its connections.
//
// Threads: any; the fields are atomic or set before the link is handed out.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/ref_counted.h"

namespace qav {

class MonitorLink final : public RefCountedObject<RefCounted> {
  public:
    MonitorLink(int32_t id, RefCounted* attachedObject)
        : m_id(id), m_attachedObject(attachedObject) {}

    int32_t GetId() const { return m_id; }
    RefCounted* GetAttachedObject() const { return m_attachedObject.get(); }
    int32_t GetConnectionCount() const { return m_connectionCount.load(); }
    // Returns the new count.
    int32_t AddConnection() { return m_connectionCount.fetch_add(1) + 1; }

  private:
    ~MonitorLink() override = default;

    const int32_t m_id;
    const RefPtr<RefCounted> m_attachedObject;
    std::atomic<int32_t> m_connectionCount{0};
};

}  // namespace qav
