// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/board.hpp"
#include "sim/world.hpp"

#include <functional>

#include <gtest/gtest.h>

/**
 * @file world_test.hpp
 * @brief Runs a test body in a fresh forked process that owns a World.
 *
 * The library keeps process-wide state (its sysfs directory and HPM caches,
 * the journal socket), so first use matters and every case needs a process
 * of its own. Usage:
 *
 *     TEST_F(WorldTest, Something)
 *     {
 *         fpga_sim::Board board;
 *         board.presentChip(Location::local, 0);
 *         inWorld(board, [](fpga_sim::World& world) {
 *             EXPECT_EQ(...);   // reported with file:line as usual
 *         });
 *     }
 *
 * Use EXPECT_* (or ASSERT_*, which only leaves the body) inside the body.
 * A table-driven test may call inWorld() once per row, each row then gets a
 * fresh process; add SCOPED_TRACE to name the row.
 */
namespace fpga_test
{

/** @brief How a forked body ended. */
enum class Outcome
{
    passed,
    failed,
    skipped, ///< private namespaces are unavailable
};

/**
 * @brief Fork, build the World of @p board in the child and run @p body.
 *
 * Failures inside the child print as normal gtest failures; the parent
 * learns the outcome from the exit status. A crash counts as failed.
 */
Outcome runInWorld(const fpga_sim::Board& board,
                   const std::function<void(fpga_sim::World&)>& body);

/** @brief Whether private namespaces work here (probed once per process). */
bool namespacesAvailable();

/** @brief Fixture that skips when namespaces are unavailable and offers
 *         inWorld(). */
class WorldTest : public ::testing::Test
{
  protected:
    void SetUp() override;

    /** @brief runInWorld() with the outcome checked by the fixture. */
    static void inWorld(const fpga_sim::Board& board,
                        const std::function<void(fpga_sim::World&)>& body);
};

} // namespace fpga_test
