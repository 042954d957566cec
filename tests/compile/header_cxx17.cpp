// SPDX-License-Identifier: Apache-2.0
// A user of the library that compiles below C++20.
#include <libfpga.hpp>
