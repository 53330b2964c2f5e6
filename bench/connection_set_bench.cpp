// The connection set at 10 and at 10,000 contexts: adding and removing a context, and
// finding one by id and by transport, against plain std::unordered_maps of the same keys
// that hold the same references (the set keeps one map per key, a lock and an order of
// its own besides). The figures per operation should not grow with the count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "bench/bench_support.h"
#include "connection/connection_set.h"
#include "network/scripted_connection_stream.h"

namespace {

using qav::ConnectionContext;
using qav::ConnectionSet;
using qav::ConnectionStream;
using qav::RefPtr;
using Stream = qav::test_support::ScriptedConnectionStream;

// `count` contexts with a transport each, and a probing order over them.
struct Population {
    explicit Population(int64_t count) {
        for (int64_t i = 0; i < count; ++i) {
            RefPtr<ConnectionContext> context(new qav::RefCountedObject<ConnectionContext>);
            RefPtr<Stream> stream(new Stream);
            context->SetStream(stream.get());
            contexts.push_back(context);
            streams.push_back(stream);
        }
        qav::bench::Random random;
        for (size_t i = 0; i < 4096; ++i) {
            probes.push_back(random.Next(static_cast<uint32_t>(count)));
        }
        extra = new qav::RefCountedObject<ConnectionContext>;
        extraStream = new Stream;
        extra->SetStream(extraStream.get());
    }

    std::vector<RefPtr<ConnectionContext>> contexts;
    std::vector<RefPtr<Stream>> streams;
    std::vector<uint32_t> probes;
    RefPtr<ConnectionContext> extra;
    RefPtr<Stream> extraStream;
};

// What the anchor keeps: a map per key, each entry holding a reference.
struct AnchorMaps {
    std::unordered_map<int32_t, RefPtr<ConnectionContext>> byId;
    std::unordered_map<const ConnectionStream*, RefPtr<ConnectionContext>> byStream;

    void Add(ConnectionContext* context, const ConnectionStream* stream) {
        byId.emplace(context->GetContextId(), context);
        byStream.emplace(stream, context);
    }
    void Remove(ConnectionContext* context, const ConnectionStream* stream) {
        byStream.erase(stream);
        byId.erase(context->GetContextId());
    }
};

void Fill(ConnectionSet& set, const Population& population) {
    for (const RefPtr<ConnectionContext>& context : population.contexts) {
        set.AddContext(context.get());
    }
}

void Fill(AnchorMaps& maps, const Population& population) {
    for (size_t i = 0; i < population.contexts.size(); ++i) {
        maps.Add(population.contexts[i].get(), population.streams[i].get());
    }
}

void AddRemoveQav(benchmark::State& state) {
    Population population(state.range(0));
    ConnectionSet set;
    Fill(set, population);
    for (auto _ : state) {
        benchmark::DoNotOptimize(set.AddContext(population.extra.get()));
        benchmark::DoNotOptimize(set.RemoveContext(population.extra.get()));
    }
    state.SetItemsProcessed(state.iterations());
}

void AddRemoveAnchor(benchmark::State& state) {
    Population population(state.range(0));
    AnchorMaps maps;
    Fill(maps, population);
    for (auto _ : state) {
        maps.Add(population.extra.get(), population.extraStream.get());
        maps.Remove(population.extra.get(), population.extraStream.get());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

// Looks up probes of the population in `container` (the set or the anchor's maps) through
// `find`, which answers the found context with a reference, as the set does.
template <typename Container, typename Find>
void RunFinds(benchmark::State& state, Find find) {
    Population population(state.range(0));
    Container container;
    Fill(container, population);
    size_t next = 0;
    for (auto _ : state) {
        const uint32_t index = population.probes[next++ & 4095];
        RefPtr<ConnectionContext> found = find(container, population, index);
        benchmark::DoNotOptimize(found.get());
    }
    state.SetItemsProcessed(state.iterations());
}

template <typename Map, typename Key>
RefPtr<ConnectionContext> FindInMap(const Map& map, const Key& key) {
    const auto it = map.find(key);
    return it != map.end() ? it->second : nullptr;
}

void FindByIdQav(benchmark::State& state) {
    RunFinds<ConnectionSet>(state, [](ConnectionSet& set, Population& population, uint32_t i) {
        return set.FindContextById(population.contexts[i]->GetContextId());
    });
}

void FindByIdAnchor(benchmark::State& state) {
    RunFinds<AnchorMaps>(state, [](AnchorMaps& maps, Population& population, uint32_t i) {
        return FindInMap(maps.byId, population.contexts[i]->GetContextId());
    });
}

void FindByStreamQav(benchmark::State& state) {
    RunFinds<ConnectionSet>(state, [](ConnectionSet& set, Population& population, uint32_t i) {
        return set.FindContextByStream(population.streams[i].get());
    });
}

void FindByStreamAnchor(benchmark::State& state) {
    RunFinds<AnchorMaps>(state, [](AnchorMaps& maps, Population& population, uint32_t i) {
        return FindInMap(maps.byStream, population.streams[i].get());
    });
}

BENCHMARK(AddRemoveQav)->Name("add_remove/qav")->Arg(10)->Arg(10000);
BENCHMARK(AddRemoveAnchor)->Name("add_remove/anchor")->Arg(10)->Arg(10000);
BENCHMARK(FindByIdQav)->Name("find_by_id/qav")->Arg(10)->Arg(10000);
BENCHMARK(FindByIdAnchor)->Name("find_by_id/anchor")->Arg(10)->Arg(10000);
BENCHMARK(FindByStreamQav)->Name("find_by_stream/qav")->Arg(10)->Arg(10000);
BENCHMARK(FindByStreamAnchor)->Name("find_by_stream/anchor")->Arg(10)->Arg(10000);

}  // namespace
