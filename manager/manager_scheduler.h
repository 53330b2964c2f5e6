// The protocol manager's main scheduler: the scheduler with its reference count. The
// last Release destroys it, which aborts every job still in it.
//
// Threads: as Scheduler; AddRef and Release from any thread.
#pragma once

#include "core/ref_counted.h"
#include "core/scheduler.h"

namespace qav {

class ManagerScheduler final : public RefCountedObject<Scheduler> {
  public:
    ManagerScheduler() = default;

  private:
    ~ManagerScheduler() override = default;
};

}  // namespace qav
