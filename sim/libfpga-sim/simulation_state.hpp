// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "libfpga-sim.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace fpga_sim
{

// Not part of the API: none of its members is exported.
struct [[gnu::visibility("hidden")]] Simulation::State
{
    Options options;
    std::string dir;
    int pid = -1;
    int status = -1;

    // The trace's records read so far, and the bytes of the file they
    // took: each wait reads only what came since.
    std::vector<TraceRecord> records;
    std::uint64_t traceRead = 0;

    std::string file(const char* name) const
    {
        return dir + "/" + name;
    }
};

} // namespace fpga_sim
