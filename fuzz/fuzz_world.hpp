// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/world.hpp"

#include <stdexcept>
#include <string>

/**
 * @file fuzz_world.hpp
 * @brief What the fuzz targets share: the simulated board they run on and
 *        the comparison of outcomes.
 */
namespace fpga_fuzz
{

/** @brief Enter a private namespace holding a board with the driver's
 *         directory and no chip attributes; aborts when that fails. */
void enterWorld();

/** @brief The world that enterWorld() built. */
fpga_sim::World& world();

/**
 * @brief The outcome of @p read as text: "value " and what it returned, or
 *        "invalid_argument " and the exception's text. Any other exception
 *        passes on (and ends the fuzzer as a finding).
 */
template <typename Read>
std::string outcomeOf(Read read)
{
    try
    {
        return "value " + read();
    }
    catch (const std::invalid_argument& e)
    {
        return std::string("invalid_argument ") + e.what();
    }
}

/** @brief Abort, printing both, when the library's outcome differs from
 *         the expected one. */
void expectSame(const std::string& library, const std::string& expected);

} // namespace fpga_fuzz
