// SPDX-License-Identifier: Apache-2.0
// Arguments at the limits of a 32-bit std::size_t, as on the BMC. Each
// refused value below encodes to a file position that wraps, modulo 2^32,
// into the node's window; only range checks made on every argument (never
// on the position, never after masking a field) refuse it. On a 64-bit
// build the values merely lie out of range; the cases are here for the
// armhf run.

#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_sim::World;
using fpga_test::JournalCapture;
using fpga_test::Logged;
using fpga_test::WorldTest;
using namespace tavrin_fpga;
using ::testing::ElementsAre;

using Bytes = std::vector<std::uint8_t>;

constexpr auto read = Operation::read;
constexpr std::size_t sizeMax = std::numeric_limits<std::size_t>::max();

TEST_F(WorldTest, ValuesThatWrapToAValidPositionAreRefused)
{
    const struct
    {
        const char* node;
        std::uint64_t wrappedPosition; // the position modulo 2^32
        std::function<int(std::span<char>)> access;
        const char* format;
        std::map<std::string, std::string> fields;
        const char* function;
        int rc;
    } rows[] = {
        // block * 16 = 2^32
        {"/dev/fpga-cdev",
         0,
         [](std::span<char> b) {
             return rawNormalAccess(read, 0x10000000, 0, 1, b);
         },
         "Invalid block:{BLOCK}\n",
         {{"BLOCK", "268435456"}},
         "normalAccess",
         -EINVAL},
        // 16 + offset = 2^32
        {"/dev/fpga-r1",
         0,
         [](std::span<char> b) {
             return rawRemoteNormalAccess(1, read, 1, 0xFFFFFFF0, 1, b);
         },
         "Invalid offset:{OFFSET}\n",
         {{"OFFSET", "4294967280"}},
         "normalAccess",
         -EINVAL},
        // block << 24 = 2^32
        {"/dev/fpga-adi",
         0,
         [](std::span<char> b) {
             return rawAdiAccess(read, 0x100, 0, 0, 0, 1, b);
         },
         "Invalid block:{BLOCK}\n",
         {{"BLOCK", "256"}},
         "adiAccess",
         -EINVAL},
        // offset << 20 = 2^32
        {"/dev/fpga-adi",
         0,
         [](std::span<char> b) {
             return rawAdiAccess(read, 0, 0x1000, 0, 0, 1, b);
         },
         "Invalid offset:{OFFSET}\n",
         {{"OFFSET", "4096"}},
         "adiAccess",
         -EINVAL},
        // page << 4 = 2^32 + 0x12340
        {"/dev/fpga-adi",
         0x12340,
         [](std::span<char> b) {
             return rawAdiAccess(read, 0, 0, 0x10001234, 0, 1, b);
         },
         "Invalid page:{PAGE}\n",
         {{"PAGE", "268440116"}},
         "adiAccess",
         -EINVAL},
        // The remote page field keeps 12 bits: masking before the check
        // would turn the largest 32-bit page into 0xFFF.
        {"/dev/fpga-r2-adi",
         0xFFF0,
         [](std::span<char> b) {
             return rawRemoteAdiAccess(2, read, 0, 0, 0xFFFFFFFF, 0, 1, b);
         },
         "Invalid page:{PAGE}\n",
         {{"PAGE", "4294967295"}},
         "adiAccess",
         -EINVAL},
        // pageDataOffset + 1 = 2^32
        {"/dev/fpga-r3-adi",
         0,
         [](std::span<char> b) {
             return rawRemoteAdiAccess(3, read, 0, 0, 0, 0xFFFFFFFF, 1, b);
         },
         "Invalid pageDataOffset:{OFFSET}\n",
         {{"OFFSET", "4294967295"}},
         "adiAccess",
         -EINVAL},
        // The largest 32-bit remote index names no chip and no node.
        {"/dev/fpga-r3",
         0,
         [](std::span<char> b) {
             return rawRemoteNormalAccess(0xFFFFFFFF, read, 0, 0, 1, b);
         },
         "RMT:{R} Chip{ID} not detected\n",
         {{"R", "True"}, {"ID", "4294967295"}},
         "normalAccess",
         -ENODEV},
    };
    Board board;
    board.presentChip(Location::local, 0);
    for (std::size_t index : {0, 1, 2, 3})
    {
        board.presentChip(Location::remote, index);
    }
    inWorld(board, [&](World& world) {
        JournalCapture journal;
        for (const auto& row : rows)
        {
            SCOPED_TRACE(row.format);
            world.poke(row.node, row.wrappedPosition, {0xA5});
            std::vector<char> buffer(1, 0);
            EXPECT_EQ(row.access(buffer), row.rc);
            EXPECT_EQ(buffer[0], 0) << "the wrapped position was read";
            EXPECT_THAT(
                journal.drain(),
                ElementsAre(Logged(row.format, row.fields, row.function)));
        }
    });
}

TEST_F(WorldTest, LengthAtTheLimitMovesTheBuffer)
{
    Board board;
    board.presentChip(Location::local, 0);
    board.presentChip(Location::remote, 1);
    board.setBytes(Location::local, 0, Mode::normal, 0x3FC, {1, 2, 3, 4});
    inWorld(board, [](World& world) {
        for (const std::size_t length : {std::size_t{0xFFFFFFFF}, sizeMax})
        {
            SCOPED_TRACE(length);
            std::vector<char> buffer(4, 0);
            EXPECT_EQ(rawNormalAccess(read, 63, 12, length, buffer), 0);
            EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), (Bytes{1, 2, 3, 4}));

            // The last four bytes of a remote ADI window.
            EXPECT_EQ(rawRemoteAdiAccess(1, Operation::write, 63, 15, 0xFFF, 12,
                                         length, buffer),
                      0);
            EXPECT_EQ(world.peek("/dev/fpga-r1-adi", 0x3FF0FFFC, 4),
                      (Bytes{1, 2, 3, 4}));
            EXPECT_EQ(world.nodeSize("/dev/fpga-r1-adi"), fpga_sim::adiWindow);
        }
    });
}

} // namespace
