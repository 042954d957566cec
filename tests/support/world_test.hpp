// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/board.hpp"
#include "sim/world.hpp"

#include <functional>
#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

/**
 * @file world_test.hpp
 * @brief Runs a test body in a fresh forked process that owns a World, and
 *        observes what the library does to its files.
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
 * fresh process; add SCOPED_TRACE to name the row. Only the failures of the
 * body count for its process; a crash or an escaping exception fails it.
 */
namespace fpga_test
{

/** @brief Whether private namespaces work here (probed once per process). */
bool namespacesAvailable();

/** @brief Fixture that skips when namespaces are unavailable and offers
 *         inWorld(). */
class WorldTest : public ::testing::Test
{
  protected:
    void SetUp() override;

    /** @brief Fork, build the World of @p board in the child, run @p body
     *         there and fail unless it passed. */
    static void inWorld(const fpga_sim::Board& board,
                        const std::function<void(fpga_sim::World&)>& body);
};

/**
 * @brief Open descriptors as "N -> target", but sockets (libsystemd opens
 *        the journal's client socket on the first entry and keeps it, which
 *        is no leak) and the listing's own. Compare two snapshots around the
 *        calls.
 */
std::set<std::string> openFds();

/** @brief what() of the std::invalid_argument that @p call throws, or ""
 *         when it throws none: compare it with what the standard library
 *         throws for the same text, to see an exception passed on as is. */
template <typename Call>
std::string invalidArgument(Call call)
{
    try
    {
        call();
    }
    catch (const std::invalid_argument& e)
    {
        return e.what();
    }
    return {};
}

/**
 * @brief How @p path was opened and written while @p body ran, one letter
 *        per event, oldest first: 'O' opened, 'M' written, 'C' closed after
 *        writing, 'c' closed without (inotify: nothing else in the test
 *        world can observe an open). @throws std::system_error
 *
 *     EXPECT_EQ(fileEvents(path, [] { resetFpga(); }), "OMCOMC");
 */
std::string fileEvents(const std::string& path,
                       const std::function<void()>& body);

} // namespace fpga_test
