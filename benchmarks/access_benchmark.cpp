// SPDX-License-Identifier: Apache-2.0
// Time of each measured call through the library beside its floor (the same
// system calls made with plain POSIX calls), and their ratio.
//
//     access-benchmark [--in-place] [--benchmark_* flags]
//
// Runs in a private mount namespace holding the benchmark board; needs root
// or unprivileged user namespaces. Ratios are printed after Google
// Benchmark's own table, from the CPU time per call: with repetitions the
// fastest repetition ("min", least disturbed by other load on the machine)
// and the median, otherwise the single run.
//
// With --in-place it builds no board and runs only the library's calls on
// whatever serves the driver's paths already: as the command of fpga-sim or
// of fuse-floor. Their work is then done in the serving process, so these
// runs are timed by the wall clock, and the counter "server_cpu" gives the
// CPU time per call of the serving process (the parent; all its threads,
// from the scheduler's statistics in /proc). A call the served board cannot
// answer is reported as an error.

#include "bench_calls.hpp"
#include "sim/world.hpp"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
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
        bool header = false;
        for (const Call& call : fpga_bench::calls())
        {
            const std::string lib = call.name + librarySuffix;
            const std::string flo = call.name + floorSuffix;
            if (!minNs.contains(lib) || !minNs.contains(flo))
            {
                continue;
            }
            if (!std::exchange(header, true))
            {
                std::printf("\n%-20s %11s %11s %7s %13s\n", "call",
                            "library ns", "floor ns", "ratio", "median ratio");
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

/** CPU time so far of all threads of process @p pid, in ns; 0 when the
 *  scheduler's statistics cannot be read. */
double processCpuNs(pid_t pid)
{
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(
             "/proc/" + std::to_string(pid) + "/task", error))
    {
        std::ifstream stats(task.path() / "schedstat");
        unsigned long long onCpu = 0;
        stats >> onCpu;
        total += static_cast<double>(onCpu);
    }
    return total;
}

/** runCall() on files served by the parent process, whose CPU time per
 *  call it adds as a counter. */
void runServedCall(benchmark::State& state, int (*call)())
{
    const double before = processCpuNs(::getppid());
    runCall(state, call);
    state.counters["server_cpu"] = benchmark::Counter(
        processCpuNs(::getppid()) - before, benchmark::Counter::kAvgIterations);
}

/** Removes @p flag from the arguments; whether it was there. */
bool takeFlag(int& argc, char** argv, std::string_view flag)
{
    char** const end = argv + argc;
    char** const kept = std::remove_if(argv + 1, end, [&](const char* arg) {
        return arg == flag;
    });
    argc -= static_cast<int>(end - kept);
    return kept != end;
}

} // namespace

int main(int argc, char** argv)
{
    const bool inPlace = takeFlag(argc, argv, "--in-place");
    try
    {
        if (!inPlace)
        {
            static fpga_sim::World world(fpga_bench::benchBoard());
        }
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
            if (inPlace && fn == call.floor)
            {
                continue;
            }
            auto* bench = benchmark::RegisterBenchmark(
                (call.name + suffix).c_str(), inPlace ? runServedCall : runCall,
                fn);
            bench->ComputeStatistics("min", [](const std::vector<double>& v) {
                return *std::min_element(v.begin(), v.end());
            });
            if (inPlace)
            {
                bench->UseRealTime();
            }
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
