// Shared main of the benchmark programs. Every benchmark is registered as a pair,
// "<case>/qav" and "<case>/anchor", where the anchor is a well-known library or the
// bare system call doing the same job. After the run, each pair's ratio of CPU time
// per iteration is printed, so that a noisy machine still gives a meaningful figure.
#include <benchmark/benchmark.h>

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
            m_times[name] = run.GetAdjustedCPUTime();
            m_order.push_back(name);
        }
    }

    void PrintRatios() const {
        std::printf("\n%-60s %12s\n", "case (qav time / anchor time)", "ratio");
        for (const std::string& name : m_order) {
            const std::string suffix = "/qav";
            auto at = name.find(suffix);
            if (at == std::string::npos) {
                continue;
            }
            std::string anchor = name;
            anchor.replace(at, suffix.size(), "/anchor");
            auto found = m_times.find(anchor);
            if (found == m_times.end() || found->second <= 0) {
                continue;
            }
            std::string label = name;
            label.erase(at, suffix.size());
            std::printf("%-60s %12.3f\n", label.c_str(), m_times.at(name) / found->second);
        }
    }

  private:
    std::map<std::string, double> m_times;
    std::vector<std::string> m_order;
};

}  // namespace

int main(int argc, char** argv) {
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
