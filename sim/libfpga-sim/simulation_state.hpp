// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "libfpga-sim.hpp"

#include <string>

namespace fpga_sim
{

// Not part of the API: none of its members is exported.
struct [[gnu::visibility("hidden")]] Simulation::State
{
    Options options;
    std::string dir;
    int pid = -1;
    int status = -1;

    std::string file(const char* name) const
    {
        return dir + "/" + name;
    }
};

} // namespace fpga_sim
