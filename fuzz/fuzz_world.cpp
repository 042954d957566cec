// SPDX-License-Identifier: Apache-2.0
#include "fuzz_world.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

namespace fpga_fuzz
{
namespace
{

std::unique_ptr<fpga_sim::World> current;

} // namespace

void enterWorld()
{
    try
    {
        current = std::make_unique<fpga_sim::World>(fpga_sim::Board{});
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "cannot build the board: %s\n", e.what());
        std::abort();
    }
}

fpga_sim::World& world()
{
    return *current;
}

void expectSame(const std::string& library, const std::string& expected)
{
    if (library != expected)
    {
        std::fprintf(
            stderr, "outcomes differ\n  library:  \"%s\"\n  expected: \"%s\"\n",
            library.c_str(), expected.c_str());
        std::abort();
    }
}

} // namespace fpga_fuzz
