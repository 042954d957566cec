// SPDX-License-Identifier: Apache-2.0
// Time of each measured call through the library beside its floor (the same
// system calls made with plain POSIX calls), and their ratio.
//
//     access-benchmark [--benchmark_* flags]
//
// Runs in a private mount namespace holding the benchmark board; needs root
// or unprivileged user namespaces. Ratios are printed after Google
// Benchmark's own table, from the CPU time per call: with repetitions the
// fastest repetition ("min", least disturbed by other load on the machine)
// and the median, otherwise the single run.

#include "bench_calls.hpp"
#include "sim/world.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace
{

using fpga_bench::Call;

constexpr const char* librarySuffix = "/library";
constexpr const char* floorSuffix = "/floor";

/** Google Benchmark's console output, then one ratio line per call. */
class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
        {
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Iteration)
            {
                minNs[name] = medianNs[name] = run.GetAdjustedCPUTime();
            }
            else if (run.aggregate_name == "min")
            {
                minNs[name] = run.GetAdjustedCPUTime();
            }
            else if (run.aggregate_name == "median")
            {
                medianNs[name] = run.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-20s %11s %11s %7s %13s\n", "call", "library ns",
                    "floor ns", "ratio", "median ratio");
        for (const Call& call : fpga_bench::calls())
        {
            const std::string lib = call.name + librarySuffix;
            const std::string flo = call.name + floorSuffix;
            if (!minNs.contains(lib) || !minNs.contains(flo))
            {
                continue;
            }
            std::printf("%-20s %11.0f %11.0f %7.3f %13.3f\n", call.name.c_str(),
                        minNs[lib], minNs[flo], minNs[lib] / minNs[flo],
                        medianNs[lib] / medianNs[flo]);
        }
    }

  private:
    std::map<std::string, double> minNs;
    std::map<std::string, double> medianNs;
};

void runCall(benchmark::State& state, int (*call)())
{
    if (int rc = call(); rc != 0)
    {
        state.SkipWithError(("call failed: " + std::to_string(rc)).c_str());
        return;
    }
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(call());
    }
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        static fpga_sim::World world(fpga_bench::benchBoard());
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "cannot build the benchmark board: %s\n",
                     e.what());
        return 1;
    }

    for (const Call& call : fpga_bench::calls())
    {
        for (const auto& [suffix, fn] : {std::pair{librarySuffix, call.library},
                                         std::pair{floorSuffix, call.floor}})
        {
            benchmark::RegisterBenchmark((call.name + suffix).c_str(), runCall,
                                         fn)
                ->ComputeStatistics("min", [](const std::vector<double>& v) {
                    return *std::min_element(v.begin(), v.end());
                });
        }
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
