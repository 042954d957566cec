// SPDX-License-Identifier: Apache-2.0
// A test of a libfpga user that compiles below C++20.
#include <libfpga-sim.hpp>
