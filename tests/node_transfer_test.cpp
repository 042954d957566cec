// SPDX-License-Identifier: Apache-2.0
// A transfer that the node stops part-way reports the system's errno.

#include "support/world_test.hpp"

#include <sys/resource.h>

#include <libfpga.hpp>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::World;
using fpga_test::WorldTest;
using namespace tavrin_fpga;

TEST_F(WorldTest, WriteStoppedPartWayGivesErrno)
{
    Board board;
    board.presentChip(Location::local, 0);
    inWorld(board, [](World& world) {
        // Files of this process may not reach past 0x24: of 16 bytes
        // written at block 2 (0x20), the first four land and the rest fails.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{0x24, 0x24};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        std::vector<char> data(16, 0x5A);
        EXPECT_EQ(rawNormalAccess(Operation::write, 2, 0, 16, data), -EFBIG);
        std::vector<std::uint8_t> landed(16, 0);
        std::fill_n(landed.begin(), 4, 0x5A);
        EXPECT_EQ(world.peekNormal(Location::local, 0, 2, 0, 16), landed);
    });
}

} // namespace
