// Messages per second into the in-memory log, from one thread and from eight at once.
// The anchor keeps the same rules with the standard library: a try-lock on a std::mutex,
// a lost-message counter, a wall-clock stamp, a std::deque of shared_ptr holding at most
// 200 entries. "kept" is the share of the calls whose message reached the queue (the
// rest were lost to a busy lock and counted).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "core/log_message.h"
#include "records/log_sink.h"

namespace {

class AnchorSink {
  public:
    using Message = std::shared_ptr<const std::string>;

    void Add(const Message& message) {
        std::unique_lock<std::mutex> lock(m_mutex, std::try_to_lock);
        if (!lock.owns_lock()) {
            m_lost.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const int64_t now = std::chrono::system_clock::now().time_since_epoch().count();
        if (const int32_t lost = m_lost.exchange(0, std::memory_order_relaxed); lost > 0) {
            char text[64];
            std::snprintf(text, sizeof text, "%d message%s could not be logged", lost,
                          lost == 1 ? "" : "s");
            Append(now, std::make_shared<const std::string>(text));
        }
        Append(now, message);
    }

    void Format(const char* format, int value) {
        char text[500];
        std::snprintf(text, sizeof text, format, value);
        Add(std::make_shared<const std::string>(text));
    }

    uint32_t TotalCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_totalCount;
    }

  private:
    void Append(int64_t time, const Message& message) {
        while (m_queue.size() >= 200) {
            m_queue.pop_front();
        }
        m_queue.emplace_back(time, message);
        ++m_totalCount;
    }

    std::mutex m_mutex;
    std::deque<std::pair<int64_t, Message>> m_queue;
    std::atomic<int32_t> m_lost{0};
    uint32_t m_totalCount = 0;
};

qav::LogSink& SharedSink() {
    static qav::LogSink sink;
    return sink;
}

AnchorSink& SharedAnchor() {
    static AnchorSink sink;
    return sink;
}

// Every thread passes the loop's start and end together, so thread 0 sees the whole run.
template <typename Sink, typename Call>
void Run(benchmark::State& state, Sink& sink, Call call) {
    const uint32_t before = state.thread_index() == 0 ? sink.TotalCount() : 0;
    for (auto _ : state) {
        call();
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        const double calls = static_cast<double>(state.iterations()) * state.threads();
        state.counters["kept"] = (sink.TotalCount() - before) / calls;
    }
}

struct QavTotal {
    uint32_t TotalCount() { return SharedSink().GetTotalCount(); }
};

void LogShared(benchmark::State& state) {
    static const qav::LogMessage message(u"Connection lost");
    QavTotal total;
    Run(state, total, [] { SharedSink().Log(qav::kSeverityError, message); });
}

void LogSharedAnchor(benchmark::State& state) {
    static const AnchorSink::Message message =
        std::make_shared<const std::string>("Connection lost");
    Run(state, SharedAnchor(), [] { SharedAnchor().Add(message); });
}

void LogFormat(benchmark::State& state) {
    QavTotal total;
    Run(state, total, [] { SharedSink().LogFormat(qav::kSeverityError, "Queue length %d", 42); });
}

void LogFormatAnchor(benchmark::State& state) {
    Run(state, SharedAnchor(), [] { SharedAnchor().Format("Queue length %d", 42); });
}

}  // namespace

BENCHMARK(LogShared)->Name("log_shared_message/qav")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(LogSharedAnchor)
    ->Name("log_shared_message/anchor")
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime();
BENCHMARK(LogFormat)->Name("log_format/qav")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(LogFormatAnchor)->Name("log_format/anchor")->Threads(1)->Threads(8)->UseRealTime();
