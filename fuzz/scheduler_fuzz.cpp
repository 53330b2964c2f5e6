// Drives the scheduler with an operation sequence read from the input (schedule, the two
// removal and find families, clock steps forward and back, polls, abort-all, dumps) and
// checks it after every step against a model: the valid jobs as a multiset sorted by due
// time. Jobs may ask to run again, schedule a child and remove themselves while running.
//
// Every job carries a unique tag as its second parameter, so the model can tell which
// job ran or was aborted whatever order the heap gives to equal due times.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "core/scheduler.h"
#include "fuzz/fuzz_support.h"

namespace {

using qav::JobRunFunction;
using qav::ScheduledJob;
using qav::Scheduler;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "scheduler_fuzz: %s\n", what);
        std::abort();
    }
}

int64_t gRaw = 0;
int64_t ReadRaw() {
    return gRaw;
}

class FuzzScheduler : public Scheduler {
  public:
    int32_t AddRef() override { return 1; }
    int32_t Release() override { return 1; }
};

struct Behaviour {
    int repeats = 0;          // how many more times the job asks to run again
    int64_t spawnDelay = -1;  // schedules a child from its run when not negative
    bool removeSelf = false;  // removes itself while it runs
};

enum class Kind { kRun, kSpawn, kRunEnd, kAbort };
struct Event {
    Kind kind;
    uint32_t tag;
    uint32_t other = 0;  // the child's tag
    bool again = false;
    bool removed = false;
};

std::map<uint32_t, Behaviour> gBehaviour;
void AbortFunction(Scheduler&, uint32_t, uint32_t p2);
std::vector<Event> gEvents;
uint32_t gNextTag = 1;

void RunJob(Scheduler& scheduler, ScheduledJob* object, JobRunFunction function, uint32_t p1,
            uint32_t tag, bool& again) {
    gEvents.push_back({Kind::kRun, tag});
    Behaviour& behaviour = gBehaviour[tag];
    if (behaviour.spawnDelay >= 0) {
        const uint32_t child = gNextTag++;
        gBehaviour[child] = Behaviour{};
        gEvents.push_back({Kind::kSpawn, tag, child});
        scheduler.Schedule(behaviour.spawnDelay, "child", object, function,
                           object != nullptr ? nullptr : &AbortFunction, p1, child);
    }
    bool removed = false;
    if (behaviour.removeSelf) {
        removed = scheduler.RemoveTasks2(object, function, p1, tag);
        Check(removed, "a running job finds itself to remove");
        Check(!scheduler.FindTask1(object, function, p1, tag), "removed while running");
    }
    again = behaviour.repeats > 0;
    if (again) {
        --behaviour.repeats;
    }
    gEvents.push_back({Kind::kRunEnd, tag, 0, again, removed});
}

struct FuzzJob : ScheduledJob {
    void Run(Scheduler& scheduler, uint32_t p1, uint32_t p2, bool& again) override {
        RunJob(scheduler, this, nullptr, p1, p2, again);
    }
    void Abort(Scheduler&, uint32_t, uint32_t p2) override {
        gEvents.push_back({Kind::kAbort, p2});
    }
};
FuzzJob gObjects[3];

void RunF(Scheduler& s, uint32_t p1, uint32_t p2, bool& again) {
    RunJob(s, nullptr, &RunF, p1, p2, again);
}
void RunG(Scheduler& s, uint32_t p1, uint32_t p2, bool& again) {
    RunJob(s, nullptr, &RunG, p1, p2, again);
}
void AbortFunction(Scheduler&, uint32_t, uint32_t p2) {
    gEvents.push_back({Kind::kAbort, p2});
}
const JobRunFunction kFunctions[2] = {&RunF, &RunG};

struct ModelJob {
    uint32_t tag;
    int64_t period;
    ScheduledJob* object;
    JobRunFunction function;
    uint32_t p1;
    bool isNew;  // scheduled during the poll under way
};

class Model {
  public:
    void Add(int64_t delay, const ModelJob& job) {
        m_jobs.emplace(m_clock + (delay > 0 ? delay : 0), job);
    }
    std::multimap<int64_t, ModelJob>::iterator FindTag(uint32_t tag) {
        for (auto it = m_jobs.begin(); it != m_jobs.end(); ++it) {
            if (it->second.tag == tag) {
                return it;
            }
        }
        return m_jobs.end();
    }
    static bool Matches(const ModelJob& job, const ScheduledJob* object, JobRunFunction function) {
        return (object != nullptr && job.object == object) ||
               (function != nullptr && job.function == function);
    }
    int Count(const ScheduledJob* object, JobRunFunction function, bool withParameters, uint32_t p1,
              uint32_t tag) const {
        int count = 0;
        for (const auto& [due, job] : m_jobs) {
            count += Matches(job, object, function) &&
                     (!withParameters || (job.p1 == p1 && job.tag == tag));
        }
        return count;
    }

    // The aborts logged since the last call must be exactly those of `tags`.
    void ExpectAborts(std::vector<uint32_t> tags) {
        for (const Event& event : gEvents) {
            Check(event.kind == Kind::kAbort, "only aborts expected");
            bool found = false;
            for (uint32_t& tag : tags) {
                if (tag == event.tag) {
                    tag = 0;
                    found = true;
                    break;
                }
            }
            Check(found, "an abort of a job that was not removed, or twice");
        }
        for (uint32_t tag : tags) {
            Check(tag == 0, "a removed job was not aborted");
        }
        gEvents.clear();
    }

    void Remove(const ScheduledJob* object, JobRunFunction function, bool withParameters,
                uint32_t p1, uint32_t tag, int removed) {
        std::vector<uint32_t> tags;
        for (auto it = m_jobs.begin(); it != m_jobs.end();) {
            if (Matches(it->second, object, function) &&
                (!withParameters || (it->second.p1 == p1 && it->second.tag == tag))) {
                tags.push_back(it->second.tag);
                it = m_jobs.erase(it);
            } else {
                ++it;
            }
        }
        Check(removed == static_cast<int>(tags.size()), "removal count");
        ExpectAborts(tags);
    }

    // Replays the events of a poll (or of GetTimeToNextTask's loop) on the model.
    void ApplyPoll() {
        std::vector<uint32_t> pendingAborts;
        for (size_t i = 0; i < gEvents.size(); ++i) {
            const Event& event = gEvents[i];
            if (event.kind == Kind::kAbort) {
                bool found = false;
                for (uint32_t& tag : pendingAborts) {
                    found = found || (tag == event.tag && (tag = 0, true));
                }
                Check(found, "abort without a removal during a run");
                continue;
            }
            Check(event.kind == Kind::kRun, "a run begins");
            auto it = FindTag(event.tag);
            Check(it != m_jobs.end(), "ran a job that is not scheduled");
            Check(!it->second.isNew, "ran a job scheduled during the same poll");
            Check(it->first <= m_clock, "ran a job before its time");
            Check(it == m_jobs.begin() || m_jobs.begin()->first == it->first,
                  "ran a job while an earlier one waits");
            ModelJob job = it->second;
            m_jobs.erase(it);
            for (++i; i < gEvents.size() && gEvents[i].kind == Kind::kSpawn; ++i) {
                const Behaviour& parent = gBehaviour[event.tag];
                Add(parent.spawnDelay, ModelJob{gEvents[i].other, parent.spawnDelay, job.object,
                                                job.function, job.p1, true});
            }
            Check(i < gEvents.size() && gEvents[i].kind == Kind::kRunEnd &&
                      gEvents[i].tag == event.tag,
                  "a run ends");
            if (gEvents[i].removed) {
                pendingAborts.push_back(event.tag);
            } else if (gEvents[i].again) {
                job.isNew = true;
                Add(job.period, job);
            }
        }
        for (uint32_t tag : pendingAborts) {
            Check(tag == 0, "a job removed while running was not aborted");
        }
        gEvents.clear();
        // Only a job scheduled during the poll, at the top with an equal due time, may
        // hold back an old job that is due.
        int64_t newestBlocker = INT64_MAX;
        for (auto& [due, job] : m_jobs) {
            if (job.isNew) {
                newestBlocker = std::min(newestBlocker, due);
            }
        }
        for (auto& [due, job] : m_jobs) {
            Check(job.isNew || due > m_clock || newestBlocker <= due, "a due job did not run");
        }
        for (auto& [due, job] : m_jobs) {
            job.isNew = false;
        }
    }

    int CountDue() const {
        int count = 0;
        for (const auto& [due, job] : m_jobs) {
            count += due <= m_clock;
        }
        return count;
    }

    std::multimap<int64_t, ModelJob> m_jobs;
    int64_t m_clock = 0;  // the scheduler's clock: raw steps forward only
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qav::Stopwatch::SetClockForTesting(true, 1, &ReadRaw);
    gRaw = 1000000;
    gBehaviour.clear();
    gEvents.clear();
    gNextTag = 1;
    qav::fuzz::FuzzInput input(data, size);
    {
        auto owned = std::make_unique<FuzzScheduler>();
        FuzzScheduler& scheduler = *owned;
        Model model;
        uint32_t lastTags[4] = {};
        for (int step = 0; step < 400 && !input.Done(); ++step) {
            const uint8_t op = input.Byte();
            const uint8_t a = input.Byte();
            const uint8_t b = input.Byte();
            ScheduledJob* object = (a & 3) < 3 ? &gObjects[a & 3] : nullptr;
            JobRunFunction function = ((a >> 2) & 3) < 2 ? kFunctions[(a >> 2) & 1] : nullptr;
            const uint32_t p1 = (a >> 4) & 1;
            const uint32_t tag = lastTags[(a >> 5) & 3] + ((a >> 7) & 1);
            switch (op % 10) {
                case 0:
                case 1: {  // schedule a job with either an object or a function
                    const uint32_t newTag = gNextTag++;
                    Behaviour behaviour;
                    behaviour.repeats = (b >> 6) & 3;
                    behaviour.spawnDelay = (b & 0x20) ? (b & 3) * 10 : -1;
                    behaviour.removeSelf = (b & 0x10) != 0;
                    gBehaviour[newTag] = behaviour;
                    const int64_t delay = static_cast<int64_t>(b & 0x0F) * 10 - 20;
                    const bool useObject = (a & 3) < 3;
                    ScheduledJob* jobObject = useObject ? object : nullptr;
                    JobRunFunction jobFunction = useObject ? nullptr : kFunctions[(a >> 2) & 1];
                    scheduler.Schedule(delay, "job", jobObject, jobFunction,
                                       useObject ? nullptr : &AbortFunction, p1, newTag);
                    model.Add(delay, ModelJob{newTag, delay > 0 ? delay : 0, jobObject, jobFunction,
                                              p1, false});
                    lastTags[step & 3] = newTag;
                    break;
                }
                case 2:
                    model.Remove(object, function, false, 0, 0,
                                 scheduler.RemoveTasks1(object, function));
                    break;
                case 3:
                    model.Remove(object, function, true, p1, tag,
                                 scheduler.RemoveTasks2(object, function, p1, tag) ? 1 : 0);
                    break;
                case 4:
                    Check(scheduler.FindTask2(object, function) ==
                              (model.Count(object, function, false, 0, 0) > 0),
                          "FindTask2");
                    Check(scheduler.FindTask1(object, function, p1, tag) ==
                              (model.Count(object, function, true, p1, tag) > 0),
                          "FindTask1");
                    break;
                case 5: {  // the raw clock steps, sometimes back
                    const int64_t step = static_cast<int64_t>(b) - 64;
                    gRaw += step;
                    if (step > 0) {
                        model.m_clock += step;
                    }
                    Check(scheduler.CountDueTasks() == model.CountDue(), "CountDueTasks");
                    break;
                }
                case 6:
                    scheduler.Poll();
                    model.ApplyPoll();
                    break;
                case 7: {
                    int64_t next = -1;
                    const bool hasNext = scheduler.GetTimeToNextTask(next);
                    model.ApplyPoll();
                    Check(hasNext == !model.m_jobs.empty(), "GetTimeToNextTask result");
                    if (hasNext) {
                        const int64_t wait = model.m_jobs.begin()->first - model.m_clock;
                        Check(next == (wait > 0 ? wait : 0), "GetTimeToNextTask time");
                    }
                    break;
                }
                case 8: {
                    scheduler.AbortAll();
                    std::vector<uint32_t> tags;
                    for (const auto& [due, job] : model.m_jobs) {
                        tags.push_back(job.tag);
                    }
                    model.m_jobs.clear();
                    model.ExpectAborts(tags);
                    break;
                }
                case 9: {
                    char text[300];
                    std::memset(text, '#', sizeof text);
                    const size_t capacity = b;
                    const int written = scheduler.Print(text, capacity);
                    Check(text[capacity] == '#', "Print wrote past its buffer");
                    Check(written >= 0 && (capacity == 0 ||
                                           (static_cast<size_t>(written) < capacity &&
                                            std::strlen(text) == static_cast<size_t>(written))),
                          "Print length");
                    break;
                }
            }
            Check(scheduler.GetQueueLength() >= static_cast<int>(model.m_jobs.size()),
                  "a valid job went missing from the heap");
            Check(gEvents.empty(), "a callback outside a poll or a removal");
        }
        // Destruction aborts every job left.
        std::vector<uint32_t> tags;
        for (const auto& [due, job] : model.m_jobs) {
            tags.push_back(job.tag);
        }
        owned.reset();
        model.ExpectAborts(tags);
    }
    qav::Stopwatch::ResetClockForTesting();
    return 0;
}
