// Shared main of the benchmark programs. Every benchmark is registered as a pair,
// "<case>/qav" and "<case>/anchor", where the anchor is a well-known library or the
// bare system call doing the same job; a case with several anchors names them
// "<case>/anchor-<library>". After the run, each pair's ratio of CPU time
// per iteration is printed, so that a noisy machine still gives a meaningful figure.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            std::string name = run.benchmark_name();
            // A case timed by the wall clock (UseRealTime, e.g. a round trip through
            // another thread) is compared by that time: its own CPU time says nothing.
            m_times[name] = run.run_name.time_type.empty() ? run.GetAdjustedCPUTime()
                                                           : run.GetAdjustedRealTime();
            m_order.push_back(name);
        }
    }

    void PrintRatios() const {
        std::printf("\n%-60s %12s\n", "case (qav time / anchor time)", "ratio");
        const std::string suffix = "/qav";
        for (const std::string& name : m_order) {
            const auto at = name.find(suffix);
            if (at == std::string::npos) {
                continue;
            }
            // "<case>/anchor<tail>" alone, or several "<case>/anchor-<library><tail>",
            // where <tail> is what follows "/qav" (the arguments).
            const std::string head = name.substr(0, at) + "/anchor";
            const std::string tail = name.substr(at + suffix.size());
            for (const std::string& anchor : m_order) {
                if (anchor.size() < head.size() + tail.size() || !anchor.starts_with(head) ||
                    !anchor.ends_with(tail)) {
                    continue;
                }
                const std::string library =
                    anchor.substr(head.size(), anchor.size() - head.size() - tail.size());
                if (!library.empty() && library[0] != '-') {
                    continue;
                }
                std::string label = name;
                label.erase(at, suffix.size());
                if (!library.empty()) {
                    label += " vs " + library.substr(1);
                }
                const double anchorTime = m_times.at(anchor);
                if (anchorTime > 0) {
                    std::printf("%-60s %12.3f\n", label.c_str(), m_times.at(name) / anchorTime);
                }
            }
        }
    }

  private:
    std::map<std::string, double> m_times;
    std::vector<std::string> m_order;
};

}  // namespace

int main(int argc, char** argv) {
    // The C library serves a large block from fresh pages until a block that large has
    // been freed, and from then on from its heap: left alone, a case's time would depend
    // on which cases ran before it in the same process. Fixed as a long-running process
    // settles, every case and its anchors run under the same settings.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
