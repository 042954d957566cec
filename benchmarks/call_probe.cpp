// SPDX-License-Identifier: Apache-2.0
// Runs one measured call a given number of times on the benchmark board,
// between two marker system calls, for strace and callgrind:
//
//     call-probe CALL [library|floor] [COUNT]
//     call-probe --list
//
// CALL is a name from the benchmark table (e.g. rawNormalAccess/1). The call
// runs once first, so that the process-wide caches are filled, then COUNT
// times (default 1) inside measuredCalls(), between
// access("/call-probe/begin") and access("/call-probe/end"). Exits non-zero
// when a call fails. --list prints the names of the calls, one a line.

#include "bench_calls.hpp"
#include "sim/world.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace
{

/** The calls that callgrind counts (--toggle-collect=measuredCalls*). */
[[gnu::noinline]] int measuredCalls(int (*call)(), unsigned long count)
{
    int failed = 0;
    for (unsigned long i = 0; i < count; ++i)
    {
        failed |= call() != 0 ? 1 : 0;
    }
    return failed;
}

int usage()
{
    std::fprintf(stderr, "usage: call-probe CALL [library|floor] [COUNT]\n"
                         "       call-probe --list\n"
                         "calls:");
    for (const fpga_bench::Call& call : fpga_bench::calls())
    {
        std::fprintf(stderr, " %s", call.name.c_str());
    }
    std::fprintf(stderr, "\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 4)
    {
        return usage();
    }
    if (argc == 2 && std::string(argv[1]) == "--list")
    {
        for (const fpga_bench::Call& call : fpga_bench::calls())
        {
            std::printf("%s\n", call.name.c_str());
        }
        return 0;
    }
    const fpga_bench::Call* call = fpga_bench::findCall(argv[1]);
    const std::string side = argc > 2 ? argv[2] : "library";
    if (call == nullptr || (side != "library" && side != "floor"))
    {
        return usage();
    }
    const unsigned long count = argc > 3 ? std::stoul(argv[3]) : 1;
    int (*fn)() = side == "library" ? call->library : call->floor;

    try
    {
        fpga_sim::World world(fpga_bench::benchBoard());
        if (fn() != 0)
        {
            std::fprintf(stderr, "%s failed on the benchmark board\n", argv[1]);
            return 1;
        }
        ::access("/call-probe/begin", F_OK);
        const int failed = measuredCalls(fn, count);
        ::access("/call-probe/end", F_OK);
        return failed;
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "cannot build the benchmark board: %s\n",
                     e.what());
        return 1;
    }
}
