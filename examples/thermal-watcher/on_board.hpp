// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <unistd.h>

#include <libfpga-sim.hpp>

/** What the tests' simulations run with: the fpga-sim of this build
 *  (FPGA_SIM, given by meson.build). */
inline fpga_sim::Simulation::Options onBoardOptions()
{
    fpga_sim::Simulation::Options options;
    options.fpgaSim = FPGA_SIM;
    return options;
}

/** Why a test skips where fpga-sim cannot run. */
inline constexpr const char* cannotSimulate =
    "fpga-sim needs /dev/fuse open for reading and writing";

inline bool canSimulate()
{
    return ::access("/dev/fuse", R_OK | W_OK) == 0;
}
